// Error translation, assertions and imports.
#include "zd.hpp"

#include <cstdio>
#include <cstdlib>
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

py::object import(py::handle name) {
    // A loaded module is taken from sys.modules directly: the full import
    // machinery costs far more than the lookup, and most calls find it there.
    if (PyObject *m = PyImport_GetModule(name.ptr())) {
        if (m != Py_None)
            return steal(m);
        Py_DECREF(m);
    } else if (PyErr_Occurred()) {
        throw python_error();
    }
    return steal(PyImport_Import(name.ptr()));
}

py::object import(const char *name) {
    py::object n = steal(PyUnicode_InternFromString(name));
    return import(n);
}

void args_overrun(size_t i, size_t n) noexcept {
    std::fprintf(stderr, "zudirivi: argument slot %zu read past the %zu slots of the call\n", i, n);
    std::abort();
}

py::tuple unpack(py::handle obj, Py_ssize_t n, UnpackText short_text) {
    auto too_few = [&](Py_ssize_t got) {
        if (short_text == UnpackText::Legacy)
            raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                   got == 1 ? "" : "s");
        raisef(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, got);
    };
    auto too_many = [&]() {
        raisef(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    };
    if (PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr())) {
        Py_ssize_t got = PySequence_Fast_GET_SIZE(obj.ptr());
        if (got > n)
            too_many();
        if (got < n)
            too_few(got);
        if (PyTuple_CheckExact(obj.ptr()))
            return py::reinterpret_borrow<py::tuple>(obj);
        return py::reinterpret_steal<py::tuple>(steal(PyList_AsTuple(obj.ptr())).release());
    }
    py::object it = steal(PyObject_GetIter(obj.ptr()));
    py::tuple out = py::reinterpret_steal<py::tuple>(steal(PyTuple_New(n)).release());
    Py_ssize_t got = 0;
    for (; got <= n; ++got) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw python_error();
            break;
        }
        if (got == n) {
            Py_DECREF(item);
            too_many();
        }
        PyTuple_SET_ITEM(out.ptr(), got, item);
    }
    if (got < n)
        too_few(got);
    return out;
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
