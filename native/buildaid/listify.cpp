// The class _listify: the key list of a product of index sets, and the
// broadcasting of keyword values over those keys.
#include "buildaid.hpp"

namespace buildaid {
namespace {

py::object get_attr(py::handle obj, py::handle name) {
    return zd::steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

// The index set: an exact int n stands for range(n).
py::object index_set(py::handle i) {
    if (Py_TYPE(i.ptr()) == &PyLong_Type)
        return zd::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyRange_Type), i.ptr()));
    return zd::borrow(i.ptr());
}

// One index set's elements, each with the items it contributes to a key: an
// exact tuple its items, anything else itself.
struct Factor {
    py::object items; // tuple of the set's elements
    std::vector<Py_ssize_t> width;
    std::vector<char> tracked; // whether an element brings a GC-tracked item
};

// Whether the collector may have to follow `o` (as the interpreter judges it
// when it untracks tuples of plain items).
bool may_be_tracked(PyObject *o) {
    return PyObject_IS_GC(o) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}

py::object product_keys(py::handle sets) {
    Py_ssize_t nsets = PyTuple_GET_SIZE(sets.ptr());
    std::vector<Factor> factors(nsets);
    Py_ssize_t total = 1;
    for (Py_ssize_t s = 0; s < nsets; ++s) {
        py::object set = index_set(PyTuple_GET_ITEM(sets.ptr(), s));
        Factor &f = factors[s];
        f.items = zd::steal(PySequence_Tuple(set.ptr()));
        Py_ssize_t n = PyTuple_GET_SIZE(f.items.ptr());
        f.width.resize(n);
        f.tracked.resize(n);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *e = PyTuple_GET_ITEM(f.items.ptr(), k);
            bool opened = PyTuple_CheckExact(e);
            f.width[k] = opened ? PyTuple_GET_SIZE(e) : 1;
            bool tracked = false;
            if (opened) {
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(e); ++j)
                    tracked = tracked || may_be_tracked(PyTuple_GET_ITEM(e, j));
            } else {
                tracked = may_be_tracked(e);
            }
            f.tracked[k] = tracked;
        }
    }
    for (const Factor &f : factors) {
        Py_ssize_t n = (Py_ssize_t)f.width.size();
        if (n == 0) {
            total = 0;
            break;
        }
        if (total > PY_SSIZE_T_MAX / n)
            return zd::steal(PyErr_NoMemory());
        total *= n;
    }
    py::object keys = zd::steal(PyList_New(total));
    std::vector<Py_ssize_t> idx(nsets, 0);
    for (Py_ssize_t k = 0; k < total; ++k) {
        Py_ssize_t len = 0;
        bool tracked = false;
        for (Py_ssize_t s = 0; s < nsets; ++s) {
            len += factors[s].width[idx[s]];
            tracked = tracked || factors[s].tracked[idx[s]];
        }
        PyObject *key = PyTuple_New(len);
        if (!key)
            zd::throw_error();
        PyList_SET_ITEM(keys.ptr(), k, key);
        Py_ssize_t pos = 0;
        for (Py_ssize_t s = 0; s < nsets; ++s) {
            PyObject *e = PyTuple_GET_ITEM(factors[s].items.ptr(), idx[s]);
            if (PyTuple_CheckExact(e)) {
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(e); ++j) {
                    PyObject *c = PyTuple_GET_ITEM(e, j);
                    Py_INCREF(c);
                    PyTuple_SET_ITEM(key, pos++, c);
                }
            } else {
                Py_INCREF(e);
                PyTuple_SET_ITEM(key, pos++, e);
            }
        }
        // A key of numbers and strings can be in no cycle: the collector
        // need not walk a million of them (it would untrack them itself).
        if (!tracked)
            PyObject_GC_UnTrack(key);
        for (Py_ssize_t s = nsets; s-- > 0;) {
            if (++idx[s] < (Py_ssize_t)factors[s].width.size())
                break;
            idx[s] = 0;
        }
    }
    return keys;
}

// [val] * self.len
py::object repeated(py::handle self, py::handle val) {
    py::object one = zd::steal(PyList_New(1));
    PyList_SET_ITEM(one.ptr(), 0, val.inc_ref().ptr());
    py::object n = get_attr(self, ZD_STR("len"));
    return zd::steal(PyNumber_Multiply(one.ptr(), n.ptr()));
}

} // namespace

py::object listify_init(const zd::Args &a) {
    py::handle self = a[0], indexes = a[1], kwargs = a[2];
    py::object index;
    if (PyTuple_GET_SIZE(indexes.ptr()) >= 2) {
        index = product_keys(indexes);
    } else {
        if (PyTuple_GET_SIZE(indexes.ptr()) == 0)
            zd::raise(PyExc_IndexError, "tuple index out of range");
        py::object set = index_set(PyTuple_GET_ITEM(indexes.ptr(), 0));
        index = zd::steal(PySequence_List(set.ptr()));
    }
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("index").ptr(), index.ptr()));
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("kwargs").ptr(), kwargs.ptr()));
    py::object back = get_attr(self, ZD_STR("index"));
    Py_ssize_t n = PyObject_Size(back.ptr());
    if (n < 0)
        zd::throw_error();
    py::object len = zd::steal(PyLong_FromSsize_t(n));
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("len").ptr(), len.ptr()));
    return py::none();
}

py::object listify_flatten(const zd::Args &a) {
    py::handle self = a[0], x = a[1];
    {
        py::object it = zd::steal(PyObject_GetIter(x.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            bool is_str = PyUnicode_Check(raw);
            Py_DECREF(raw);
            if (is_str)
                return zd::borrow(x.ptr());
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    try {
        // w = list(itertools.chain(*x))
        py::object outer = zd::steal(PySequence_Tuple(x.ptr()));
        py::list w;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(outer.ptr()); ++k) {
            py::object it = zd::steal(PyObject_GetIter(PyTuple_GET_ITEM(outer.ptr(), k)));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                int r = PyList_Append(w.ptr(), raw);
                Py_DECREF(raw);
                zd::check(r);
            }
            if (PyErr_Occurred())
                zd::throw_error();
        }
        if (zd::check(PyObject_RichCompareBool(w.ptr(), x.ptr(), Py_EQ)))
            return zd::borrow(x.ptr());
        return zd::steal(PyObject_CallMethodOneArg(self.ptr(), ZD_STR("flatten").ptr(), w.ptr()));
    } catch (const zd::python_error &) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw;
        PyErr_Clear();
        return zd::borrow(x.ptr());
    }
}

py::object listify_listify(const zd::Args &a) {
    py::handle self = a[0], arg = a[1], dflt = a[2];
    py::object kwargs = get_attr(self, ZD_STR("kwargs"));
    py::object val;
    if (PyDict_CheckExact(kwargs.ptr())) {
        PyObject *v = PyDict_GetItemWithError(kwargs.ptr(), arg.ptr());
        if (!v && PyErr_Occurred())
            zd::throw_error();
        val = zd::borrow(v ? v : dflt.ptr());
    } else {
        val = zd::steal(PyObject_CallMethodObjArgs(kwargs.ptr(), ZD_STR("get").ptr(), arg.ptr(),
                                                   dflt.ptr(), nullptr));
    }
    if (PyDict_Check(val.ptr())) {
        py::object index = get_attr(self, ZD_STR("index"));
        py::list out;
        bool exact = PyDict_CheckExact(val.ptr());
        py::object get = exact ? py::object() : get_attr(val, ZD_STR("get"));
        py::object it = zd::steal(PyObject_GetIter(index.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object k = zd::steal(raw);
            py::object r;
            if (exact) {
                PyObject *v = PyDict_GetItemWithError(val.ptr(), k.ptr());
                if (!v && PyErr_Occurred())
                    zd::throw_error();
                r = zd::borrow(v ? v : dflt.ptr());
            } else {
                PyObject *callargs[] = {k.ptr(), dflt.ptr()};
                r = zd::steal(PyObject_Vectorcall(get.ptr(), callargs, 2, nullptr));
            }
            zd::check(PyList_Append(out.ptr(), r.ptr()));
        }
        if (PyErr_Occurred())
            zd::throw_error();
        return out;
    }
    if (PyUnicode_Check(val.ptr()))
        return repeated(self, val);
    if (isinstance_global(val, ZD_STR("Iterable"))) {
        py::object copy = zd::steal(PySequence_List(val.ptr()));
        return zd::steal(
            PyObject_CallMethodOneArg(self.ptr(), ZD_STR("flatten").ptr(), copy.ptr()));
    }
    return repeated(self, val);
}

} // namespace buildaid
