// MLinExpr + number or numeric array on a temporary left operand: the sum is
// built in the temporary itself (its in-place addition) instead of in a copy,
// where that gives the very result the copy would.
#include "../ownmembers.hpp"
#include "../temporary.hpp"
#include "mlinexpr_arith.hpp"

namespace {

using namespace arith;
using operand::MLinExpr_cls;

bool numeric_array(py::handle o) {
    if (!PyArray_CheckExact(o.ptr()))
        return false;
    char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(o.ptr()))->kind;
    return kind == 'i' || kind == 'u' || kind == 'f';
}

// Every cell a plain LinExpr that no other array, name or weak reference holds.
bool cells_private(PyArrayObject *learr) {
    if (PyArray_TYPE(learr) != NPY_OBJECT || !PyArray_IS_C_CONTIGUOUS(learr))
        return false;
    auto **cell = reinterpret_cast<PyObject **>(PyArray_DATA(learr));
    const npy_intp n = PyArray_SIZE(learr);
    for (npy_intp i = 0; i < n; ++i) {
        PyObject *c = cell[i];
        if (!c || Py_REFCNT(c) != 1 || !cells::exact_linexpr(c) ||
            arrayexpr::has_weak_references(c) ||
            reinterpret_cast<LinExprObject *>(c)->cont_ref != Py_None)
            return false;
    }
    return true;
}

} // namespace

namespace mlinexpr {

py::object add_into_temporary(py::handle self, py::handle other, bool fresh) {
    PyObject *s = self.ptr();
    if (Py_REFCNT(s) != 1 || Py_TYPE(s) != reinterpret_cast<PyTypeObject *>(MLinExpr_cls().ptr()))
        return py::object();
    const bool array = numeric_array(other);
    if (!array && !is_scalar(other))
        return py::object();
    // The general path's members (copy, __iadd__, the compact builders) are
    // called, not skipped, once one of them is replaced.
    if (!arrayexpr::own_members())
        return py::object();
    if (is_compact(self)) {
        if (!keep_compact(MLinExpr_cls()))
            return py::object();
        py::object c = self.attr(ZD_STR("_const"));
        if (!arrayexpr::sole_owned_array(c.ptr()) ||
            PyArray_TYPE(reinterpret_cast<PyArrayObject *>(c.ptr())) != NPY_DOUBLE ||
            length(self.attr(ZD_STR("_matmulparts"))) > 1)
            return py::object();
        if (array) {
            py::object shape = self.attr(ZD_STR("shape"));
            py::object joint = zd::global(ZD_STR("_broadcast_shapes"))(shape, other.attr("shape"));
            if (!zd::check(PyObject_RichCompareBool(joint.ptr(), shape.ptr(), Py_EQ)))
                return py::object();
        }
        if (!fresh && PyArray_SIZE(reinterpret_cast<PyArrayObject *>(c.ptr())) <
                          arrayexpr::kTemporaryMinCells)
            return py::object();
    } else {
        if (array)
            return py::object();
        py::object learr = self.attr(ZD_STR("_learr"));
        if (!arrayexpr::sole_owned_array(learr.ptr()) ||
            (!fresh && PyArray_SIZE(reinterpret_cast<PyArrayObject *>(learr.ptr())) <
                           arrayexpr::kTemporaryMinCells) ||
            !cells_private(reinterpret_cast<PyArrayObject *>(learr.ptr())))
            return py::object();
    }
    if (!fresh && !arrayexpr::is_temporary(s))
        return py::object();
    if (is_compact(self)) {
        // What the compact in-place addition does: the constants only.
        attr_inplace(self, ZD_STR("_const"), array ? zd::borrow(other.ptr()) : to_float(other),
                     false);
        return zd::borrow(s);
    }
    return op_iadd(self, other);
}

} // namespace mlinexpr
