// Error translation, assertions and imports.
#include "zd.hpp"

#include <new>

namespace zd {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const python_error &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

bool optimized() noexcept {
    return Py_OptimizeFlag != 0;
}

void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw python_error();
}

py::object import(const char *name) {
    return steal(PyImport_ImportModule(name));
}

py::object import_from(py::handle module, py::handle name) {
    PyObject *value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value)
        return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw python_error();
    PyErr_Clear();
    // The interpreter's wording for a failed `from module import name`.
    py::object pkgname = steal(PyObject_GetAttrString(module.ptr(), "__name__"));
    PyObject *path =
        PyModule_Check(module.ptr()) ? PyModule_GetFilenameObject(module.ptr()) : nullptr;
    py::object msg;
    if (!path) {
        PyErr_Clear();
        msg = steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                         name.ptr(), pkgname.ptr()));
        PyErr_SetImportError(msg.ptr(), pkgname.ptr(), nullptr);
    } else {
        py::object p = steal(path);
        msg = steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.ptr(),
                                         pkgname.ptr(), p.ptr()));
        PyErr_SetImportError(msg.ptr(), pkgname.ptr(), p.ptr());
    }
    throw python_error();
}

} // namespace zd
