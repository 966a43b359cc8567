// Binding of the core module's record types with their instance-size check.
#include "core_records.hpp"
#include "zd.hpp"

namespace zd {

py::object bind_core_type(py::handle core, const char *core_name, const char *name,
                          Py_ssize_t expected) {
    py::object t = steal(PyObject_GetAttrString(core.ptr(), name));
    if (!PyType_Check(t.ptr()))
        raisef(PyExc_TypeError, "%.200s.%.200s is not a type object", core_name, name);
    auto *tp = reinterpret_cast<PyTypeObject *>(t.ptr());
    Py_ssize_t basic = tp->tp_basicsize;
    Py_ssize_t item = tp->tp_itemsize;
    if (item) {
        Py_ssize_t align = expected % 8 ? expected % 8 : 8;
        if (item < align)
            item = align;
    }
    if (basic + item < expected)
        raisef(PyExc_ValueError,
               "%.200s.%.200s size changed, may indicate binary incompatibility. "
               "Expected %zd from C header, got %zd from PyObject",
               core_name, name, expected, basic + item);
    if (basic > expected &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%s.%s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         core_name, name, expected, basic) < 0)
        throw_error();
    return t;
}

void bind_core_record_types(PyTypeObject **linexpr, PyTypeObject **quadexpr) {
    static const char core_name[] = "zudirivi._core";
    load_step();
    py::object core = import(core_name);
    load_step();
    py::object lin = bind_core_type(core, core_name, "LinExpr", sizeof(LinExprObject));
    load_step();
    py::object quad = bind_core_type(core, core_name, "QuadExpr", sizeof(QuadExprObject));
    // A load retried after a failure rebinds them.
    Py_XDECREF(*linexpr);
    Py_XDECREF(*quadexpr);
    *linexpr = reinterpret_cast<PyTypeObject *>(lin.release().ptr());
    *quadexpr = reinterpret_cast<PyTypeObject *>(quad.release().ptr());
}

} // namespace zd
