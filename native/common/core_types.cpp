// Binding of the core module's record types with their instance-size check.
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

} // namespace zd
