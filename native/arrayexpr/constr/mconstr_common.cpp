// The members of the constraint handles MConstr, MQConstr and MGenConstr.
#include "mconstr_common.hpp"

#include "handle.hpp"
#include "mvar/mvar.hpp"
#include "tovrix.h"

#include <cstdint>

namespace mconstr {

namespace {

py::object elements(const Kind &k, py::handle self) {
    return zd::steal(PyObject_GetAttrString(self.ptr(), k.arr_attr));
}

// The element array as an ndarray (an element array that is not one, which
// only an unchecked constructor lets in, is read as an object array).
py::object elements_ndarray(const Kind &k, py::handle self) {
    zd::ensure_numpy();
    py::object arr = elements(k, self);
    if (PyArray_Check(arr.ptr()))
        return arr;
    return zd::steal(
        PyArray_FromAny(arr.ptr(), PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
}

PyArrayObject *as_array(py::handle o) {
    return reinterpret_cast<PyArrayObject *>(o.ptr());
}

// Pending and removed elements seen by a scan.
struct Scan {
    bool pending = false;
    bool removed = false;
};

// The element indices of the handle in row-major order, as a list of ints,
// read in one pass over the cells.
py::object index_list(const Kind &k, py::handle self, Scan *scan = nullptr) {
    py::object arr = elements_ndarray(k, self);
    PyArrayObject *p = as_array(arr);
    if (PyArray_TYPE(p) != NPY_OBJECT)
        arr = zd::steal(
            PyArray_FromAny(arr.ptr(), PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
    p = as_array(arr);
    handle::IndexReader reader(k.elem_class, k.index_attr);
    py::object list = zd::steal(PyList_New(PyArray_SIZE(p)));
    Py_ssize_t i = 0;
    mvar::for_each_cell_c_order(p, [&](PyObject *cell) {
        py::object v = reader.read(cell);
        if (scan) {
            long c = PyLong_AsLong(v.ptr());
            scan->pending |= c == -1;
            scan->removed |= c <= -2;
        }
        PyList_SET_ITEM(list.ptr(), i++, v.release().ptr());
    });
    return list;
}

// TovrixError(TVX.Error.NOT_IN_MODEL, text), raised.
[[noreturn]] void raise_not_in_model(const char *text) {
    py::object tvx = zd::global(ZD_STR("TVX"));
    py::object code = tvx.attr("Error").attr("NOT_IN_MODEL");
    py::object exc = zd::global(ZD_STR("TovrixError"))(code, py::str(text));
    zd::raise_instance(exc);
}

// The element indices for an attribute call; general constraints refuse
// pending and removed elements before the call.
py::object checked_index_list(const Kind &k, py::handle self) {
    if (!k.not_in_model_checks)
        return index_list(k, self);
    Scan scan;
    py::object list = index_list(k, self, &scan);
    if (scan.pending)
        raise_not_in_model("GenConstr has not yet been added to the model");
    if (scan.removed)
        raise_not_in_model("GenConstr was removed from the model");
    return list;
}

// AttributeError(start + name + "'"), with the TypeError of concatenating a
// name that is not a str.
[[noreturn]] void raise_named(const char *start, py::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        zd::raisef(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                   zd::type_name(name));
    zd::raisef(PyExc_AttributeError, "%s%U'", start, name.ptr());
}

} // namespace

py::object init(const Kind &k, const zd::Args &a) {
    py::handle self = a[0], arr = a[1];
    zd::ensure_numpy();
    ZD_ASSERT(PyArray_Check(arr.ptr()));
    py::object cmodel = py::none();
    if (PyArray_Check(arr.ptr()) && PyArray_TYPE(as_array(arr)) == NPY_OBJECT) {
        // The element at index (0, ..., 0) is the first in row-major order.
        if (PyArray_SIZE(as_array(arr)) > 0) {
            PyObject *first = *reinterpret_cast<PyObject **>(PyArray_DATA(as_array(arr)));
            cmodel = zd::steal(PyObject_GetAttr(first ? first : Py_None, ZD_STR("_cmodel").ptr()));
        }
    } else {
        py::object size = arr.attr("size");
        py::object zero = py::int_(0);
        if (zd::check(PyObject_RichCompareBool(size.ptr(), zero.ptr(), Py_GT))) {
            py::object first = zd::steal(PySequence_GetItem(arr.attr("flat").ptr(), 0));
            cmodel = first.attr("_cmodel");
        }
    }
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("_cmodel").ptr(), cmodel.ptr()));
    zd::check(PyObject_SetAttrString(self.ptr(), k.arr_attr, arr.ptr()));
    return py::none();
}

py::object dir(const Kind &, const zd::Args &a) {
    return handle::dir(a[0]);
}

py::object count(const Kind &k, const zd::Args &a) {
    py::object cmodel = zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_cmodel").ptr()));
    if (cmodel.is_none())
        return py::none();
    void *model = arrayexpr::ptr(cmodel.ptr());
    if (!model && PyErr_Occurred())
        zd::throw_error();
    // The code is not looked at: after a failed call the count stays 0.
    int n = 0;
    (void)TVXgetintattr(static_cast<TVXmodel *>(model), k.count_attr, &n);
    return zd::steal(PyLong_FromLong(n));
}

py::object repr(const Kind &k, const zd::Args &a) {
    py::handle self = a[0];
    py::object shape = self.attr("shape");
    py::object text = zd::steal(PyUnicode_FromFormat("<%s %S", k.cls, shape.ptr()));
    bool update = false, removed = false;
    py::object cmodel = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_cmodel").ptr()));
    if (!cmodel.is_none()) {
        long long numrows = 0;
        bool have_count = k.count_method != nullptr;
        if (have_count) {
            py::object n = zd::steal(PyObject_CallMethod(self.ptr(), k.count_method, nullptr));
            numrows = PyLong_AsLongLong(n.ptr());
            if (numrows == -1 && PyErr_Occurred())
                zd::throw_error();
        }
        py::object idx = zd::steal(PyObject_CallMethodNoArgs(self.ptr(), ZD_STR("_idxarr").ptr()));
        py::object flat = zd::steal(PyArray_FromAny(
            idx.ptr(), PyArray_DescrFromType(NPY_INT64), 0, 0,
            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
        const auto *v = reinterpret_cast<const npy_int64 *>(PyArray_DATA(as_array(flat)));
        for (npy_intp i = 0, n = PyArray_SIZE(as_array(flat)); i < n; ++i) {
            update |= v[i] == -1 || (have_count && v[i] > numrows);
            removed |= v[i] <= -2;
        }
    }
    return zd::steal(PyUnicode_FromFormat("%U%s%s>", text.ptr(),
                                          update ? " *awaiting model update*" : "",
                                          removed ? " (some removed)" : ""));
}

py::object getitem(const Kind &k, const zd::Args &a) {
    py::object arr = elements(k, a[0]);
    py::object sub = zd::steal(PyObject_GetItem(arr.ptr(), a[1].ptr()));
    py::object cls = zd::global(zd::steal(PyUnicode_InternFromString(k.elem_class)));
    if (zd::check(PyObject_IsInstance(sub.ptr(), cls.ptr()))) {
        // One element: a 0-d array holding it.
        zd::ensure_numpy();
        py::object one = zd::steal(PyArray_SimpleNew(0, nullptr, NPY_OBJECT));
        zd::check(PyArray_SETITEM(as_array(one), PyArray_BYTES(as_array(one)), sub.ptr()));
        sub = one;
    }
    return zd::global(zd::steal(PyUnicode_InternFromString(k.cls)))(sub);
}

py::object getattr(const Kind &k, const zd::Args &a) {
    const char *const own[] = {"_cmodel", k.arr_attr, nullptr};
    return handle::forward_getattr(a[0], a[1], own);
}

py::object setattr(const Kind &, const zd::Args &a) {
    handle::forward_setattr(a[0], a[1], a[2]);
    return py::none();
}

py::object item(const Kind &k, const zd::Args &a) {
    py::object arr = elements(k, a[0]);
    return zd::steal(PyObject_CallMethodNoArgs(arr.ptr(), ZD_STR("item").ptr()));
}

py::object tolist(const Kind &k, const zd::Args &a) {
    py::object arr = elements(k, a[0]);
    return zd::steal(PyObject_CallMethodNoArgs(arr.ptr(), ZD_STR("tolist").ptr()));
}

py::object idxarr(const Kind &k, const zd::Args &a) {
    py::object arr = elements_ndarray(k, a[0]);
    PyArrayObject *p = as_array(arr);
    // numpy.empty_like(elements, dtype=int32), filled in row-major order.
    py::object idx =
        zd::steal(PyArray_NewLikeArray(p, NPY_KEEPORDER, PyArray_DescrFromType(NPY_INT32), 1));
    py::object list = index_list(k, a[0]);
    PyArrayObject *ip = as_array(idx);
    py::object target = idx;
    if (!PyArray_IS_C_CONTIGUOUS(ip))
        target = zd::steal(PyArray_NewLikeArray(ip, NPY_CORDER, nullptr, 0));
    auto *out = reinterpret_cast<npy_int32 *>(PyArray_DATA(as_array(target)));
    PyObject **items = PySequence_Fast_ITEMS(list.ptr());
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list.ptr()); i < n; ++i)
        out[i] = static_cast<npy_int32>(PyLong_AsLong(items[i]));
    if (target.ptr() != idx.ptr())
        zd::check(PyArray_CopyInto(ip, as_array(target)));
    return idx;
}

py::object fromlist(const Kind &k, const zd::Args &a) {
    py::handle cls = a[0];
    py::object arr = mvar::numpy().attr("array")(a[1], py::arg("dtype") = "O");
    py::object elem_cls = zd::global(zd::steal(PyUnicode_InternFromString(k.elem_class)));
    mvar::for_each_cell_c_order(as_array(arr), [&](PyObject *cell) {
        if (!zd::check(PyObject_IsInstance(cell, elem_cls.ptr()))) {
            py::object text = zd::steal(PyObject_Format(cell, nullptr));
            zd::raisef(PyExc_ValueError, "%s%U' is not valid input", k.fromlist_text, text.ptr());
        }
    });
    return zd::steal(PyObject_CallOneArg(cls.ptr(), arr.ptr()));
}

py::object getAttr(const Kind &k, const zd::Args &a) {
    py::handle self = a[0], name = a[1];
    if (handle::no_model(self))
        return handle::empty_result(self.attr("shape"));
    handle::AttrInfo info = handle::attrinfo(self, name);
    if (info.kind != k.typeenum)
        raise_named(k.get_kind_text, name);
    py::object indices = checked_index_list(k, self);
    py::object flat = zd::global(ZD_STR("_gettypedattrlist"))(self, name, info.type, indices);
    return handle::list_to_array(flat, info.type_code, self.attr("shape"));
}

py::object setAttr(const Kind &k, const zd::Args &a) {
    py::handle self = a[0], name = a[1], value = a[2];
    if (handle::no_model(self))
        return py::none();
    handle::AttrInfo info = handle::attrinfo(self, name);
    if (info.kind != k.typeenum)
        raise_named(k.set_kind_text, name);
    if (!info.settable) {
        if (!PyUnicode_Check(name.ptr()))
            raise_named("Attribute '", name);
        zd::raisef(PyExc_AttributeError, "Attribute '%U' cannot be set", name.ptr());
    }
    py::object arr = elements_ndarray(k, self);
    py::object flat = handle::flat_values(value, as_array(arr));
    py::object indices = checked_index_list(k, self);
    zd::global(ZD_STR("_settypedattrlist"))(self, name, info.type, indices, flat);
    return py::none();
}

py::object prefetchAttr(const Kind &, const zd::Args &a) {
    if (!handle::no_model(a[0]))
        zd::global(ZD_STR("_prefetchattr"))(a[0], a[1]);
    return py::none();
}

py::object shape(const Kind &k, const zd::Args &a) {
    return elements(k, a[0]).attr("shape");
}

py::object size(const Kind &k, const zd::Args &a) {
    return elements(k, a[0]).attr("size");
}

py::object ndim(const Kind &k, const zd::Args &a) {
    return elements(k, a[0]).attr("ndim");
}

py::object typename_(const Kind &k, const zd::Args &) {
    return zd::steal(PyUnicode_FromString(k.cls));
}

py::object typeenum(const Kind &k, const zd::Args &) {
    return zd::steal(PyLong_FromLong(k.typeenum));
}

} // namespace mconstr
