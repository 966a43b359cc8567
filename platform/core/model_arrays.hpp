// NumPy helpers of the model side of _core: contiguous views of object
// arrays, broadcasting of numbers and arrays to a shape, and the classes of
// _arrayexpr once that module is loaded.
#pragma once

#include "core.hpp"
#include "zd_numpy.hpp"

namespace core {

// A C-contiguous object array with the cells of `o` (the array itself when it
// already is one).
py::object contiguous_objects(PyObject *o);
inline PyObject **object_data(PyObject *arr) {
    return reinterpret_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
}
inline Py_ssize_t array_size(PyObject *arr) {
    return PyArray_SIZE(reinterpret_cast<PyArrayObject *>(arr));
}
bool is_ndarray(PyObject *o);

// The values of a number or array-like of any shape, in C order, unchanged.
void flat_doubles(PyObject *o, const char *what, std::vector<double> &out);

// The shape of an ndarray as a vector.
std::vector<Py_ssize_t> array_shape(PyObject *arr);
py::object shape_tuple(const std::vector<Py_ssize_t> &shape);
// Shape of a matrix object (its `shape` attribute).
std::vector<Py_ssize_t> object_shape(PyObject *o);

// Calls f(pointer to the source item) for every position of `shape` in C
// order, broadcasting `src` by NumPy's rules (it may not have more cells).
template <class F>
void broadcast_each(PyArrayObject *src, const std::vector<Py_ssize_t> &shape, const char *what,
                    F &&f);
[[noreturn]] void raise_broadcast(PyArrayObject *src, const std::vector<Py_ssize_t> &shape,
                                  const char *what);

// The classes of _arrayexpr, or NULL while it is not loaded.
struct ArrayClasses {
    PyTypeObject *MVar, *MLinExpr, *MQuadExpr, *MNLExpr, *MConstr, *MQConstr, *MGenConstr;
};
const ArrayClasses *array_classes();
// Name of the element array of a matrix handle (MVar, MConstr, MQConstr,
// MGenConstr), or NULL for any other object.
const char *handle_array_name(PyObject *o);

template <class F>
void broadcast_each(PyArrayObject *src, const std::vector<Py_ssize_t> &shape, const char *what,
                    F &&f) {
    int snd = PyArray_NDIM(src);
    int nd = (int)shape.size();
    if (snd > nd)
        raise_broadcast(src, shape, what);
    std::vector<Py_ssize_t> strides((size_t)nd, 0);
    for (int i = 0; i < snd; ++i) {
        int t = nd - snd + i;
        npy_intp d = PyArray_DIM(src, i);
        if (d == shape[(size_t)t])
            strides[(size_t)t] = PyArray_STRIDE(src, i);
        else if (d != 1)
            raise_broadcast(src, shape, what);
    }
    Py_ssize_t n = shape_size(shape);
    if (n == 0)
        return;
    const char *p = PyArray_BYTES(src);
    if (nd == 0) {
        f(p);
        return;
    }
    Py_ssize_t inner = shape[(size_t)nd - 1], istride = strides[(size_t)nd - 1];
    Py_ssize_t outer = n / inner;
    std::vector<Py_ssize_t> idx((size_t)nd, 0);
    for (Py_ssize_t o = 0; o < outer; ++o) {
        const char *q = p;
        for (Py_ssize_t i = 0; i < inner; ++i, q += istride)
            f(q);
        for (int d = nd - 2; d >= 0; --d) {
            size_t ud = (size_t)d;
            if (++idx[ud] < shape[ud]) {
                p += strides[ud];
                break;
            }
            p -= strides[ud] * (shape[ud] - 1);
            idx[ud] = 0;
        }
    }
}

} // namespace core
