// Module zudirivi._buildaid: the private helpers of the package's Model class.
#pragma once

#include "core_records.hpp"
#include "zd.hpp"

namespace buildaid {

// Core expression types bound at load (size-checked).
extern PyTypeObject *LinExpr_type;
extern PyTypeObject *QuadExpr_type;
// The built-in max, kept at load.
extern PyObject *builtin_max;

// The module's generator type, registered with collections.abc.Generator.
PyTypeObject *generator_type();
// A generator over `names` yielding mapping[name] for each name present in
// `mapping`, in order.
py::object present_values(py::handle mapping, py::handle names);

// Python truth of an object.
inline bool truthy(py::handle o) {
    return zd::check(PyObject_IsTrue(o.ptr())) == 1;
}
// isinstance(o, <module global `name`>), the global looked up at call time.
bool isinstance_global(py::handle o, py::handle name);

// `tup[0]` when len(tup) == 1, else tup itself.
py::object simplify(py::handle tup);

py::object py_simpleexpr(const zd::Args &a);
py::object py_extract_varlike_cindex(const zd::Args &a);
py::object py_extract_constrlike_cindex(const zd::Args &a);
py::object py_convert_mle_to_predvar_predval(const zd::Args &a);
py::object py_indexname(const zd::Args &a);
py::object py_simplify_tuple(const zd::Args &a);
py::object py_genexpr_key(const zd::Args &a);
py::object py_nd_indexed_names(const zd::Args &a);
py::object py_map_coldata_to_vars(const zd::Args &a);

py::object listify_init(const zd::Args &a);
py::object listify_flatten(const zd::Args &a);
py::object listify_listify(const zd::Args &a);

} // namespace buildaid
