// Shared pieces of the module zudirivi._propkit: bound native functions,
// owner access, error helpers and value conversions.
#pragma once

#include "zd.hpp"

#include "tovrix.h"

namespace propkit {

using PtrFn = void *(*)(PyObject *);
using MsgFn = PyObject *(*)(void *);

// Bound at load from the C-function tables of _exception and _util.
extern MsgFn get_env_errormsg_string;
extern MsgFn get_model_errormsg_string;
extern PtrFn ptr_fn;

// The code a call reports when it is handed no model: a NULL handle never
// reaches the library.
constexpr int kNoModel = TVX_ERROR_NULL_ARGUMENT;

// Raw handle of a pointer wrapper through _util's _ptr.
void *raw_ptr(py::handle wrapper);
// Model handle of an owner: _ptr(obj._cmodel).
TVXmodel *owner_model(py::handle obj);

// `_stringtobytes(text)`; the result must be bytes (its buffer goes to the
// library as a NUL-terminated text).
py::object to_bytes(py::handle text);
// `_bytestostring` of a copy of a library text; NULL gives "".
py::object library_text(const char *text);

// The library's last error message for an owner (its _cmodel, else its
// _cenv), or "" when it has neither.
py::object geterrormsg(py::handle obj);

// Raises AttributeError(_geterrormsg(obj)).
[[noreturn]] void raise_library_error(py::handle obj);
// Raises TovrixError(errno, argument).
[[noreturn]] void raise_tovrix_error(py::handle errno_, py::handle argument);
// "'tovrixpy.<_typename>' object has no attribute '<attrname>'"
[[noreturn]] void raise_no_attribute(py::handle obj, py::handle attrname);
// "Attribute '<attrname>' cannot be queried while optimization is in progress"
[[noreturn]] void raise_in_progress(py::handle attrname);
// AttributeError("Attribute '" + attrname + tail)
[[noreturn]] void raise_attribute_text(py::handle attrname, const char *tail);

// The attribute information triple.
struct AttrInfo {
    int type = 0;
    int size = 0;
    int settable = 0;
};
AttrInfo getattrinfo(py::handle obj, py::handle attrname, const char *uattrname);

// Data-type code matched by Python equality against 0, 1, 2, 3 in this
// order; -1 when it equals none of them.
int type_code(py::handle attrtype);

// An int, or any object with an integer conversion (__int__, a float is
// truncated), as a 32-bit int.
int to_int32(PyObject *o);

// Values the double mappings compare with, read from TVX at each call.
struct DoubleLimits {
    double infinity;
    double undefined;
};
DoubleLimits double_limits();

inline double read_double(double d, const DoubleLimits &lim) {
    if (d == lim.undefined)
        return d;
    if (d >= lim.infinity)
        return Py_HUGE_VAL;
    if (d <= -lim.infinity)
        return -Py_HUGE_VAL;
    return d;
}

inline double write_double(double d, double infinity) {
    if (d == Py_HUGE_VAL)
        return infinity;
    if (d == -Py_HUGE_VAL)
        return -infinity;
    return d;
}

// Functions of the module, one unit per group.
py::object py_geterrormsg(const zd::Args &a);
py::object py_getattrinfo(const zd::Args &a);
py::object py_getattr(const zd::Args &a);
py::object py_setattr(const zd::Args &a);
py::object py_prefetchattr(const zd::Args &a);
py::object py_gettypedattrlist(const zd::Args &a);
py::object py_settypedattrlist(const zd::Args &a);
py::object py_attrlist(const zd::Args &a);
py::object py_get_async_attr(const zd::Args &a);

} // namespace propkit
