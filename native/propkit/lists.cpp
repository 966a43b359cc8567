// List attribute access: _gettypedattrlist and _settypedattrlist. Indices and
// values move as C arrays sized from the index list, one library call per
// list.
#include "convert.hpp"

#include <climits>
#include <cstdio>
#include <memory>

namespace propkit {

namespace {

// Heap buffer of n entries for one call.
template <class T>
std::unique_ptr<T[]> buffer(Py_ssize_t n) {
    return std::unique_ptr<T[]>(new T[n > 0 ? static_cast<size_t>(n) : 1]);
}

// The values of the indexed elements through the library's list getter of
// type T; an error code (or no model) raises.
template <class T>
std::unique_ptr<T[]> fetch_list(py::handle obj, const char *name, Py_ssize_t n, const int *ind,
                                int (*get)(TVXmodel *, const char *, int, const int *, T *)) {
    auto val = buffer<T>(n);
    int code = kNoModel;
    if (TVXmodel *m = owner_model(obj))
        code = get(m, name, static_cast<int>(n), ind, val.get());
    if (code != 0)
        raise_tovrix_error(py::int_(code), obj);
    return val;
}

// A new list of n items, item i the new reference make(i) (null: an error).
template <class Make>
py::object list_of(Py_ssize_t n, Make make) {
    py::object result = zd::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = make(i);
        if (!v)
            throw zd::python_error();
        PyList_SET_ITEM(result.ptr(), i, v);
    }
    return result;
}

[[noreturn]] void raise_past_end(PyObject *seq, Py_ssize_t i) {
    if (PyTuple_Check(seq))
        zd::raise(PyExc_IndexError, "tuple index out of range");
    if (PyList_Check(seq))
        zd::raise(PyExc_IndexError, "list index out of range");
    zd::raisef(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", i,
               PyArray_DIM(reinterpret_cast<PyArrayObject *>(seq), 0));
}

// A one-dimensional NumPy array of `type_num`, aligned and in native byte
// order, read in place; NumPy is never imported for the test.
bool is_1d_array_of(PyObject *seq, int type_num) {
    if (!numpy_loaded() || !PyArray_CheckExact(seq))
        return false;
    auto *arr = reinterpret_cast<PyArrayObject *>(seq);
    return PyArray_NDIM(arr) == 1 && PyArray_TYPE(arr) == type_num && PyArray_ISNOTSWAPPED(arr) &&
           PyArray_ISALIGNED(arr);
}

// Calls fn(item, i) for items 0 .. n-1 of a sequence, read by position: item
// i is seq[i]. Exact lists and tuples are read in place (a list is re-checked
// for its length at every item, since a conversion may run Python code);
// anything else is indexed as `seq[i]`.
template <class Fn>
void for_items(PyObject *seq, Py_ssize_t n, Fn &&fn) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= PyList_GET_SIZE(seq))
                raise_past_end(seq, i);
            py::object item = zd::borrow(PyList_GET_ITEM(seq, i));
            fn(item.ptr(), i);
        }
    } else if (PyTuple_CheckExact(seq)) {
        if (n > PyTuple_GET_SIZE(seq))
            raise_past_end(seq, PyTuple_GET_SIZE(seq));
        for (Py_ssize_t i = 0; i < n; ++i)
            fn(PyTuple_GET_ITEM(seq, i), i);
    } else {
        PySequenceMethods *sq = Py_TYPE(seq)->tp_as_sequence;
        bool by_position = sq && sq->sq_item;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object item;
            if (by_position) {
                item = zd::steal(PySequence_GetItem(seq, i));
            } else {
                py::object key = zd::steal(PyLong_FromSsize_t(i));
                item = zd::steal(PyObject_GetItem(seq, key.ptr()));
            }
            fn(item.ptr(), i);
        }
    }
}

template <class T>
void fill_indices_from_array(PyArrayObject *arr, Py_ssize_t n, int *out) {
    const char *data = static_cast<const char *>(PyArray_DATA(arr));
    npy_intp stride = PyArray_STRIDE(arr, 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        T v = *reinterpret_cast<const T *>(data + i * stride);
        if (v > INT_MAX || v < INT_MIN)
            zd::raise(PyExc_OverflowError, v > 0 ? "signed integer is greater than maximum"
                                                 : "signed integer is less than minimum");
        out[i] = static_cast<int>(v);
    }
}

// Entry i = seq[i] as a 32-bit int, for i from 0 to n-1.
void fill_indices(PyObject *seq, Py_ssize_t n, int *out) {
    if (PyList_CheckExact(seq)) {
        // Fast path: Python ints convert without running Python code.
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= PyList_GET_SIZE(seq))
                raise_past_end(seq, i);
            PyObject *item = PyList_GET_ITEM(seq, i);
            if (PyLong_CheckExact(item)) {
                out[i] = long_to_int32(item);
            } else {
                py::object held = zd::borrow(item);
                out[i] = to_int32(item);
            }
        }
        return;
    }
    if (is_1d_array_of(seq, NPY_INT32) || is_1d_array_of(seq, NPY_INT64)) {
        auto *arr = reinterpret_cast<PyArrayObject *>(seq);
        if (n > PyArray_DIM(arr, 0))
            raise_past_end(seq, PyArray_DIM(arr, 0));
        if (PyArray_TYPE(arr) == NPY_INT32)
            fill_indices_from_array<npy_int32>(arr, n, out);
        else
            fill_indices_from_array<npy_int64>(arr, n, out);
        return;
    }
    for_items(seq, n, [out](PyObject *item, Py_ssize_t i) { out[i] = to_int32(item); });
}

// The index list's length, which the library receives as a 32-bit count.
Py_ssize_t list_length(py::handle seq) {
    Py_ssize_t n = PyObject_Length(seq.ptr());
    if (n < 0)
        throw zd::python_error();
    if (n > INT_MAX)
        zd::raise(PyExc_OverflowError, "signed integer is greater than maximum");
    return n;
}

[[noreturn]] void raise_unsupported_type(py::handle attrname) {
    raise_attribute_text(attrname, "' has an unsupported data type");
}

// Exactly one character of one byte: a str of length 1 (its code point, at
// most U+00FF: a wider one cut to 8 bits would store another character), or
// a bytes or bytearray object of length 1 (its byte).
char one_char(PyObject *item) {
    if (PyUnicode_Check(item)) {
        if (PyUnicode_READY(item) < 0)
            throw zd::python_error();
        Py_ssize_t len = PyUnicode_GET_LENGTH(item);
        if (len != 1)
            zd::raisef(PyExc_ValueError,
                       "only single character unicode strings can be converted to Py_UCS4, got "
                       "length %zd",
                       len);
        Py_UCS4 c = PyUnicode_READ_CHAR(item, 0);
        if (c > 0xFF) {
            // The interpreter's formatter has no %X: spell the code point here.
            char hex[16];
            std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
            zd::raisef(PyExc_ValueError, "character U+%s does not fit in one byte", hex);
        }
        return static_cast<char>(c);
    }
    const char *data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_Check(item)) {
        data = PyBytes_AS_STRING(item);
        len = PyBytes_GET_SIZE(item);
    } else if (PyByteArray_Check(item)) {
        data = PyByteArray_AS_STRING(item);
        len = PyByteArray_GET_SIZE(item);
    } else {
        zd::raisef(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
                   Py_TYPE(item)->tp_name);
    }
    if (len != 1)
        zd::raisef(PyExc_TypeError, "ord() expected a character, but string of length %zd found",
                   len);
    return data[0];
}

// Any value with a float conversion, infinities mapped to the library's.
inline double item_to_double(PyObject *item, double infinity) {
    double d;
    if (PyFloat_Check(item)) {
        d = PyFloat_AS_DOUBLE(item);
    } else {
        d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred())
            throw zd::python_error();
    }
    return write_double(d, infinity);
}

void fill_doubles(PyObject *seq, Py_ssize_t n, double *out, double infinity) {
    if (is_1d_array_of(seq, NPY_FLOAT64)) {
        auto *arr = reinterpret_cast<PyArrayObject *>(seq);
        if (n > PyArray_DIM(arr, 0))
            raise_past_end(seq, PyArray_DIM(arr, 0));
        const char *data = static_cast<const char *>(PyArray_DATA(arr));
        npy_intp stride = PyArray_STRIDE(arr, 0);
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = write_double(*reinterpret_cast<const double *>(data + i * stride), infinity);
        return;
    }
    for_items(seq, n, [out, infinity](PyObject *item, Py_ssize_t i) {
        out[i] = item_to_double(item, infinity);
    });
}

} // namespace

// _gettypedattrlist(obj, attrname, attrtype, inputlist)
py::object py_gettypedattrlist(const zd::Args &a) {
    py::handle obj = a[0], attrname = a[1];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    Py_ssize_t n = list_length(a[3]);
    auto ind = buffer<int>(n);
    fill_indices(a[3].ptr(), n, ind.get());
    int type = type_code(a[2]);
    if (type < 0)
        raise_unsupported_type(attrname);

    switch (type) {
    case 0: {
        auto val = fetch_list<char>(obj, name, n, ind.get(), TVXgetcharattrlist);
        return list_of(n, [&val](Py_ssize_t i) {
            return PyUnicode_FromOrdinal(static_cast<signed char>(val[i]));
        });
    }
    case 1: {
        auto val = fetch_list<int>(obj, name, n, ind.get(), TVXgetintattrlist);
        return list_of(n, [&val](Py_ssize_t i) { return PyLong_FromLong(val[i]); });
    }
    case 2: {
        auto val = fetch_list<double>(obj, name, n, ind.get(), TVXgetdblattrlist);
        DoubleLimits lim = double_limits();
        return list_of(
            n, [&val, &lim](Py_ssize_t i) { return PyFloat_FromDouble(read_double(val[i], lim)); });
    }
    default: {
        auto val = fetch_list<const char *>(obj, name, n, ind.get(), TVXgetstrattrlist);
        // The library's texts are copied at once, before any Python code
        // runs that could change them; then each copy becomes a str.
        py::object result = zd::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *b = val[i] ? PyBytes_FromString(val[i]) : nullptr;
            if (val[i] && !b)
                throw zd::python_error();
            PyList_SET_ITEM(result.ptr(), i, b);
        }
        py::object bytestostring = zd::global(ZD_STR("_bytestostring"));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *b = PyList_GET_ITEM(result.ptr(), i);
            py::object s = zd::steal(b ? PyObject_CallOneArg(bytestostring.ptr(), b)
                                       : PyUnicode_FromStringAndSize("", 0));
            // Replaces (and releases) the copy.
            zd::check(PyList_SetItem(result.ptr(), i, s.release().ptr()));
        }
        return result;
    }
    }
}

// _settypedattrlist(obj, attrname, attrtype, indlist, newval)
py::object py_settypedattrlist(const zd::Args &a) {
    py::handle obj = a[0], attrname = a[1], newval = a[4];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    Py_ssize_t n = list_length(a[3]);
    auto ind = buffer<int>(n);
    fill_indices(a[3].ptr(), n, ind.get());
    int count = static_cast<int>(n);
    int code = kNoModel;

    // Every value is converted before the handle is fetched and the library
    // called, so a value that cannot be converted writes nothing.
    switch (type_code(a[2])) {
    case 0: {
        auto val = buffer<char>(n);
        for_items(newval.ptr(), n,
                  [&val](PyObject *item, Py_ssize_t i) { val[i] = one_char(item); });
        if (TVXmodel *m = owner_model(obj))
            code = TVXsetcharattrlist(m, name, count, ind.get(), val.get());
        break;
    }
    case 1: {
        auto val = buffer<int>(n);
        for_items(newval.ptr(), n,
                  [&val](PyObject *item, Py_ssize_t i) { val[i] = to_int32(item); });
        if (TVXmodel *m = owner_model(obj))
            code = TVXsetintattrlist(m, name, count, ind.get(), val.get());
        break;
    }
    case 2: {
        auto val = buffer<double>(n);
        fill_doubles(newval.ptr(), n, val.get(), double_limits().infinity);
        if (TVXmodel *m = owner_model(obj))
            code = TVXsetdblattrlist(m, name, count, ind.get(), val.get());
        break;
    }
    case 3: {
        // Every item passes _stringtobytes, also those past the index list;
        // the list holds the bytes until the call has returned.
        py::object stringtobytes = zd::global(ZD_STR("_stringtobytes"));
        py::object texts = zd::steal(PyList_New(0));
        py::object it = zd::steal(PyObject_GetIter(newval.ptr()));
        while (PyObject *item = PyIter_Next(it.ptr())) {
            py::object held = zd::steal(item);
            py::object b = zd::steal(PyObject_CallOneArg(stringtobytes.ptr(), item));
            if (!PyBytes_Check(b.ptr()))
                zd::raisef(PyExc_TypeError, "expected bytes, %.200s found", zd::type_name(b));
            zd::check(PyList_Append(texts.ptr(), b.ptr()));
        }
        if (PyErr_Occurred())
            throw zd::python_error();
        if (n > PyList_GET_SIZE(texts.ptr()))
            zd::raise(PyExc_IndexError, "list index out of range");
        auto val = buffer<const char *>(n);
        for (Py_ssize_t i = 0; i < n; ++i)
            val[i] = PyBytes_AS_STRING(PyList_GET_ITEM(texts.ptr(), i));
        if (TVXmodel *m = owner_model(obj))
            code = TVXsetstrattrlist(m, name, count, ind.get(), val.get());
        break;
    }
    default:
        // No list call for this type: refused, so that nothing is reported
        // as written that was not.
        raise_unsupported_type(attrname);
    }
    if (code != 0)
        raise_library_error(obj);
    return py::none();
}

} // namespace propkit
