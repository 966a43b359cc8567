// Module frame of zudirivi._util: method table, C-function table, NumPy's
// API table (imported lazily), error translation.
#define ZD_UTIL_DEFINE_NUMPY_API
#include "util.hpp"

#include <exception>
#include <new>

namespace zdutil {

void ensure_numpy() {
    if (zd_util_numpy_api)
        return;
    if (_import_array() < 0)
        throw python_error();
}

bool numpy_ready() noexcept {
    return zd_util_numpy_api != nullptr;
}

namespace {

PyMethodDef methods[] = {
    {"_broadcast_shapes", py_broadcast_shapes, METH_VARARGS,
     "_broadcast_shapes(*shapes)\n\nThe shape that NumPy broadcasting gives the shapes (ints or "
     "tuples of ints), as a tuple; one shape is returned as a tuple. ValueError when they do not "
     "broadcast."},
    {"_matmul_shape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_matmul_shape)),
     METH_VARARGS | METH_KEYWORDS,
     "_matmul_shape(shape_left, shape_right, do_raise=True)\n\nShape of the matrix product of "
     "operands of one or two dimensions. Operands that do not multiply raise ValueError, or give "
     "None when do_raise is false."},
    {"_axis_to_axeslist",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_axis_to_axeslist)),
     METH_VARARGS | METH_KEYWORDS,
     "_axis_to_axeslist(axis, ndim)\n\nOne int per axis: -1 for a summed axis, else its position "
     "in the result. axis is None (all axes), an int or a tuple of ints; IndexError for an axis "
     "that does not fit."},
    {"_isscalar", py_isscalar, METH_O,
     "_isscalar(x)\n\nTrue for one real number: int, float, bool and NumPy's integer, floating "
     "and bool scalars."},
    {"_isstr", py_isstr, METH_O, "_isstr(x)\n\nTrue for a str."},
    {"_all_refs_match",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_all_refs_match)),
     METH_VARARGS | METH_KEYWORDS,
     "_all_refs_match(a, b)\n\nTrue when every cell of the object array a is the very object at "
     "the same place of the object array b (b broadcast to a's shape)."},
    {"_bytestostring", py_bytestostring, METH_O, "_bytestostring(b)\n\nUTF-8 bytes to str."},
    {"_stringtobytes", py_stringtobytes, METH_O,
     "_stringtobytes(s)\n\nstr (or os.PathLike) to UTF-8 bytes without NUL characters."},
    {"_dense_matmul_kernel",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_dense_matmul_kernel)),
     METH_VARARGS | METH_KEYWORDS,
     "_dense_matmul_kernel(left, right, f_multiply, f_sum)\n\nMatrix product of two object "
     "arrays: cell (.., i, j) is f_sum([f_multiply(left[.., i, p], right[.., p, j]) for p]). "
     "Returns an object array (0-d for two vectors)."},
    {"_sparse_right_matmul_kernel",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sparse_right_matmul_kernel)),
     METH_VARARGS | METH_KEYWORDS,
     "_sparse_right_matmul_kernel(left, spmatrix, f_multiply, f_sum)\n\nProduct of an object "
     "array and a sparse matrix: cell (.., j) is f_sum([f_multiply(left[.., p], a) for each "
     "stored entry a at (p, j)])."},
    {"_sparse_left_matmul_kernel",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sparse_left_matmul_kernel)),
     METH_VARARGS | METH_KEYWORDS,
     "_sparse_left_matmul_kernel(spmatrix, right, f_multiply, f_sum)\n\nProduct of a sparse "
     "matrix and an object array: cell (.., i, j) is f_sum([f_multiply(a, right[.., p, j]) for "
     "each stored entry a at (i, p)])."},
    {nullptr, nullptr, 0, nullptr},
};

// The pointer wrapper type is shared by every module object, so the module
// may live in one interpreter only.
int64_t owner_interpreter = -1;

int module_exec(PyObject *module) {
    ZDU_TRY
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current == -1)
        return -1;
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return -1;
    }
    PyTypeObject *tp = ptrwrapper_type();
    if (PyModule_AddObjectRef(module, "PtrWrapper", reinterpret_cast<PyObject *>(tp)) < 0)
        return -1;

    py::dict capi;
    struct Entry {
        const char *name;
        void *fn;
        const char *signature;
    };
    const Entry entries[] = {
        {"_ptr", reinterpret_cast<void *>(&capi_ptr), "void *(PyObject *)"},
        {"_wrapptr", reinterpret_cast<void *>(&capi_wrapptr), "PyObject *(void *)"},
    };
    for (const Entry &e : entries) {
        // The capsule's name is the signature text; the literal outlives it.
        py::object cap = steal(PyCapsule_New(e.fn, e.signature, nullptr));
        capi[e.name] = cap;
    }
    if (PyModule_AddObjectRef(module, "__pyx_capi__", capi.ptr()) < 0)
        return -1;
    return 0;
    ZDU_CATCH(-1)
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zudirivi._util",
    "Utilities of the package: pointer wrapper and C-function table, shape and scalar "
    "helpers, matrix-product kernels, text helpers.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace zdutil

PyMODINIT_FUNC PyInit__util(void) {
    return PyModuleDef_Init(&zdutil::module_def);
}
