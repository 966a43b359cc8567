// Full-state cell loops of the expression arrays, written once over a traits
// type per core record (LinRec for LinExpr cells, QuadRec for QuadExpr cells).
//
// How a class uses it: its members fetch the cell array (an object ndarray),
// then call the loop with the record's traits, e.g.
//     py::object out = cellrec::copy_cells<cellrec::LinRec>(learr);
//     cellrec::clear_cells<cellrec::QuadRec>(qearr);
//     cellrec::sum_cells<cellrec::QuadRec>(qearr, out_qearr, axes);
// and wraps the result in its own class. Iterator flags that a class's
// members open their loops with are parameters where the classes differ.
//
// A traits type gives: the record type and its core type, its term lists
// (parallel Python lists), the part of the record beside them (LinExpr: the
// constant; QuadExpr: none, its linear part lives in the class's own linear
// array), and whether a cell is plain: a record whose fields alone hold the
// whole cell, so that a loop may read and write them directly; any other cell
// goes through its own methods.
#pragma once

#include "cells.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace cellrec {

// ---------------------------------------------------------------------------
// Traits
// ---------------------------------------------------------------------------

struct LinRec {
    using Record = LinExprObject;
    static constexpr int nlists = 2;
    static PyTypeObject *type() { return arrayexpr::LinExpr_type; }
    static std::array<PyObject **, 2> lists(Record *r) { return {&r->coef_list, &r->var_list}; }
    // A plain LinExpr: the core's own type, without continuation.
    static bool plain(PyObject *cell) {
        return cells::exact_linexpr(cell) && reinterpret_cast<Record *>(cell)->cont_ref == Py_None;
    }
    // The constant, beside the term lists.
    using Beside = double;
    static Beside beside(const Record *r) { return r->constant; }
    static void add_beside(Record *dst, Beside b) { dst->constant += b; }
    static void set_beside(Record *dst, Beside b) { dst->constant = b; }
    // An independent copy of a cell (from the record when plain).
    static py::object copy(PyObject *cell) { return cells::copy_linexpr(cell); }
    // Empties a plain cell in its record; false when the cell is not plain
    // enough for that (its clear() is called then).
    static bool clear_record(PyObject *cell);
    static py::object make_empty() { return cells::new_linexpr(); }
};

// QuadExpr cells: the core keeps a field of the record to itself, so every
// operation but the term lists' reads and writes goes through the cell's
// methods.
struct QuadRec {
    using Record = QuadExprObject;
    static constexpr int nlists = 3;
    static PyTypeObject *type() { return arrayexpr::QuadExpr_type; }
    static std::array<PyObject **, 3> lists(Record *r) {
        return {&r->coeffs, &r->vars1, &r->vars2};
    }
    static bool plain(PyObject *) { return false; }
    struct Beside {};
    static Beside beside(const Record *) { return {}; }
    static void add_beside(Record *, Beside) {}
    static void set_beside(Record *, Beside) {}
    static py::object copy(PyObject *cell);
    static bool clear_record(PyObject *) { return false; }
    static py::object make_empty();
};

// ---------------------------------------------------------------------------
// Typed cell reads
// ---------------------------------------------------------------------------

// The record of a cell of the traits' type (subclasses included); any other
// object, None included, raises TypeError "Cannot convert <type> to <type>".
template <class T>
typename T::Record *record(PyObject *o) {
    if (o && PyObject_TypeCheck(o, T::type()))
        return reinterpret_cast<typename T::Record *>(o);
    cells::raise_cannot_convert(o ? o : Py_None, T::type());
}

// Like record(), but a None cell raises the AttributeError that looking up
// `method` on it would raise.
template <class T>
typename T::Record *record_for_method(PyObject *o, const char *method) {
    if (!o || o == Py_None)
        zd::raisef(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", method);
    return record<T>(o);
}

// Calls the method `name` of a cell without arguments; for a cell of exactly
// the traits' type the method is looked up on the type, not per cell.
template <class T>
py::object call_method(PyObject *cell, py::handle name) {
    return cells::call_cell_method(cell, name, T::type());
}

// ---------------------------------------------------------------------------
// Arrays
// ---------------------------------------------------------------------------

using zd::arr;

// A new C-ordered object array of the given shape, every cell None.
py::object new_object_array(int nd, const npy_intp *dims);

// A new C-ordered object array of `shape` (anything NumPy reads as a shape),
// every cell None.
py::object empty_objects(py::handle shape);

// numpy.zeros(shape, dtype=numpy.float64) for a tuple of ints.
py::object zeros_float64(py::handle shape);

// Calls f(cell) for every cell of `cellarr` through a chunk loop with the
// given iterator flags (the cell array read-write).
template <class F>
void each_cell(py::handle cellarr, npy_uint32 flags, F &&f) {
    cells::ChunkLoop loop({arr(cellarr)}, flags, {NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i)
            f(cells::cell_or_none(data[0], strides[0], i));
    });
}

// ---------------------------------------------------------------------------
// Whole-array loops
// ---------------------------------------------------------------------------

// Calls f(cell, value) for every cell of `cellarr` (read-write, never
// broadcast) with the number at its place in `values` (an array read as
// float64, broadcast to the cells' shape).
template <class F>
void each_cell_with_number(py::handle cellarr, py::handle values, F &&f) {
    cells::ChunkLoop loop(
        {arr(cellarr), arr(values)},
        NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY | NPY_ITER_COPY},
        {NPY_OBJECT, NPY_DOUBLE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            double v;
            std::memcpy(&v, data[1] + i * strides[1], sizeof v);
            f(cells::cell_or_none(data[0], strides[0], i), v);
        }
    });
}

constexpr npy_uint32 kRefs = NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP;

// A new cell array of `cellarr`'s shape holding a copy of every cell.
// `src_flags` are the source operand's flags (read-only by default).
template <class T>
py::object copy_cells(py::handle cellarr, npy_uint32 flags = kRefs | NPY_ITER_ZEROSIZE_OK,
                      npy_uint32 src_flags = NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST) {
    PyArrayObject *src = cells::object_array(cellarr);
    py::object out = new_object_array(PyArray_NDIM(src), PyArray_DIMS(src));
    cells::GcPause gc_pause;
    cells::ChunkLoop loop({src, arr(out)}, flags,
                          {src_flags, NPY_ITER_WRITEONLY | NPY_ITER_NO_BROADCAST});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp k = 0; k < n; ++k) {
            py::object c = T::copy(cells::cell_or_none(data[0], strides[0], k));
            Py_XSETREF(cells::cell_at(data[1], strides[1], k), c.release().ptr());
        }
    });
    return out;
}

// Empties every cell in place: from the record when it is plain, else through
// its clear(). A None cell fails as its method lookup fails.
template <class T>
void clear_cells(py::handle cellarr, npy_uint32 flags = kRefs) {
    cells::GcPause gc_pause;
    each_cell(cellarr, flags, [](PyObject *cell) {
        record_for_method<T>(cell, "clear");
        if (!T::clear_record(cell))
            call_method<T>(cell, ZD_STR("clear"));
    });
}

// Makes every cell hold all its terms in its own lists (`_flatten()` of each
// cell that is not plain). `checked`: cells are type-checked first.
template <class T>
void flatten_cells(py::handle cellarr, bool checked,
                   npy_uint32 flags = kRefs | NPY_ITER_ZEROSIZE_OK) {
    each_cell(cellarr, flags, [checked](PyObject *cell) {
        if (checked)
            record_for_method<T>(cell, "_flatten");
        if (T::plain(cell))
            return;
        call_method<T>(cell, ZD_STR("_flatten"));
    });
}

// `_normalize()` of every cell, each type-checked first.
template <class T>
void normalize_cells(py::handle cellarr, npy_uint32 flags = NPY_ITER_BUFFERED | NPY_ITER_REFS_OK |
                                                            NPY_ITER_EXTERNAL_LOOP) {
    each_cell(cellarr, flags, [](PyObject *cell) {
        record_for_method<T>(cell, "_normalize");
        call_method<T>(cell, ZD_STR("_normalize"));
    });
}

// Stores `v` into the float64 slot `p` of `out` as NumPy converts an object
// to float64 (what vectorize with a float output does with each result): a
// float directly, anything else through NumPy's own conversion, which takes
// numbers, numeric strings and None (NaN) and refuses the rest.
inline void store_float(PyArrayObject *out, char *p, PyObject *v) {
    if (PyFloat_CheckExact(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        std::memcpy(p, &d, sizeof d);
    } else if (PyArray_SETITEM(out, p, v) < 0) {
        zd::throw_error();
    }
}

// A float64 array of the cell array's shape: fill(cell, out, slot) stores
// the value of each cell into its slot of `out` (a double written there, or
// an object through store_float).
template <class F>
py::object per_cell_values(py::handle cellarr, F &&fill) {
    PyArrayObject *src = cells::object_array(cellarr);
    py::object out = zd::steal(PyArray_SimpleNew(PyArray_NDIM(src), PyArray_DIMS(src), NPY_DOUBLE));
    PyArrayObject *o = arr(out);
    cells::ChunkLoop loop({src, o}, kRefs | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READONLY, NPY_ITER_WRITEONLY}, {-1, NPY_DOUBLE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i)
            fill(cells::cell_or_none(data[0], strides[0], i), o, data[1] + i * strides[1]);
    });
    return out;
}

// float(h) of a method's result.
double float_of(py::handle h);

// The values of every cell under the current solution (each cell's
// getValue(), converted to float64 as NumPy converts objects).
template <class T>
py::object cell_values(py::handle cellarr) {
    return per_cell_values(cellarr, [](PyObject *cell, PyArrayObject *out, char *slot) {
        py::object v = call_method<T>(cell, ZD_STR("getValue"));
        store_float(out, slot, v.ptr());
    });
}

// The axes list of a sum along `axis` of an array of `nd` dimensions:
// `_axis_to_axeslist(axis, nd)`, whose IndexError becomes TovrixError(-1,
// "Invalid axis specifications: " + format(axis)) with the IndexError as its
// context. `kept` receives the result shape.
// `chain`: the IndexError becomes the new error's context (else it is dropped).
std::vector<int> sum_axes(py::handle axis, PyArrayObject *cellarr, py::list &kept, bool chain);

// Reduces the cells of `cellarr` into the cells of `outarr` along the axes
// marked -1 in `axes`: every summand's term lists are appended to its result
// cell's lists (and what stands beside them added). Summands are read as they
// are: flatten them first.
template <class T>
void sum_cells(py::handle cellarr, py::handle outarr, std::vector<int> &axes) {
    const int nd = PyArray_NDIM(arr(cellarr));
    int *op_axes[2] = {nullptr, axes.data()};
    cells::ChunkLoop loop({arr(cellarr), arr(outarr)},
                          NPY_ITER_REFS_OK | NPY_ITER_REDUCE_OK | NPY_ITER_EXTERNAL_LOOP |
                              NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE, NPY_ITER_READWRITE}, {NPY_OBJECT, NPY_OBJECT},
                          nd > 0 ? nd : -1, nd > 0 ? op_axes : nullptr);
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp k = 0; k < n; ++k) {
            auto *sum = record<T>(cells::cell_at(data[1], strides[1], k));
            auto *term = record<T>(cells::cell_at(data[0], strides[0], k));
            T::add_beside(sum, T::beside(term));
            auto dst = T::lists(sum);
            auto src = T::lists(term);
            for (int l = 0; l < T::nlists; ++l)
                cells::extend_field(dst[l], *src[l]);
        }
    });
}

// `lhs += rhs` cell by cell, rhs broadcast to lhs's shape (lhs never
// broadcast). Plain source cells are joined list by list, others through the
// target's add(). Every cell is type-checked and each source cell's content
// recorded before any target changes, so that a source sharing cells with the
// target (e += e[0], e[1:] += e[:-1]) is read as it was before.
template <class T>
void join_cells(py::handle lhsarr, py::handle rhsarr) {
    cells::ChunkLoop loop(
        {arr(lhsarr), arr(rhsarr)},
        NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_REDUCE_OK |
            NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST, NPY_ITER_READWRITE | NPY_ITER_UPDATEIFCOPY},
        {NPY_OBJECT, NPY_OBJECT});
    struct Snapshot {
        typename T::Beside beside; // the part beside the lists, as it was
        std::array<Py_ssize_t, T::nlists> len;
        bool joined;
    };
    auto list_len = [](PyObject *o) { return o && PyList_Check(o) ? PyList_GET_SIZE(o) : -1; };
    std::vector<Snapshot> snap;
    snap.reserve(static_cast<size_t>(loop.size()));
    bool any_add = false;
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            record<T>(cells::cell_at(data[0], strides[0], i));
            PyObject *src = cells::cell_at(data[1], strides[1], i);
            auto *r = record<T>(src);
            Snapshot s;
            s.beside = T::beside(r);
            auto ls = T::lists(r);
            for (int l = 0; l < T::nlists; ++l)
                s.len[l] = list_len(*ls[l]);
            s.joined = T::plain(src);
            any_add |= !s.joined;
            snap.push_back(s);
        }
    });
    // A source joined through add() is read whole: when it is one of the
    // targets, copies of the sources taken now serve in its place. The
    // distinct source cells (the operand array itself, not its broadcast) are
    // sorted once and every target looked up among them.
    std::vector<py::object> copies;
    if (any_add) {
        std::vector<PyObject *> sources;
        sources.reserve(static_cast<size_t>(PyArray_SIZE(arr(rhsarr))));
        each_cell(rhsarr, kRefs | NPY_ITER_ZEROSIZE_OK,
                  [&](PyObject *cell) { sources.push_back(cell); });
        std::sort(sources.begin(), sources.end());
        sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
        bool shared = false;
        loop.reset();
        loop.run([&](char **data, npy_intp *strides, npy_intp n) {
            for (npy_intp i = 0; i < n && !shared; ++i)
                shared = std::binary_search(sources.begin(), sources.end(),
                                            cells::cell_at(data[0], strides[0], i));
        });
        if (shared) {
            loop.reset();
            loop.run([&](char **data, npy_intp *strides, npy_intp n) {
                for (npy_intp i = 0; i < n; ++i)
                    copies.push_back(T::copy(cells::cell_at(data[1], strides[1], i)));
            });
        }
    }
    loop.reset();
    size_t pos = 0;
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i, ++pos) {
            PyObject *lhs_obj = cells::cell_at(data[0], strides[0], i);
            PyObject *rhs_obj = cells::cell_at(data[1], strides[1], i);
            auto *lhs = record<T>(lhs_obj);
            auto *rhs = record<T>(rhs_obj);
            const Snapshot &s = snap[pos];
            auto dst = T::lists(lhs);
            if (!copies.empty()) {
                // Sources as they were, from their copies.
                PyObject *src = copies[pos].ptr();
                if (s.joined) {
                    auto *c = record<T>(src);
                    T::add_beside(lhs, T::beside(c));
                    auto from = T::lists(c);
                    for (int l = 0; l < T::nlists; ++l)
                        cells::extend_field(dst[l], *from[l]);
                } else {
                    cells::call_cell_method1(lhs_obj, ZD_STR("add"), src, T::type());
                }
            } else if (s.joined) {
                T::add_beside(lhs, s.beside);
                auto from = T::lists(rhs);
                for (int l = 0; l < T::nlists; ++l)
                    cells::extend_field(dst[l], *from[l], s.len[l]);
            } else {
                cells::call_cell_method1(lhs_obj, ZD_STR("add"), rhs_obj, T::type());
            }
        }
    });
}

// Item assignment of cells: every selected target cell (`sub`, read-write,
// never broadcast) receives new lists with the terms of its source cell
// (`src`, broadcast) and what stands beside them. Source cells that are not
// plain are flattened first. The caller hands in a source that shares no cell
// with the targets (a copy).
template <class T>
void assign_cells(py::handle sub, py::handle src) {
    cells::GcPause gc_pause;
    cells::ChunkLoop loop(
        {arr(sub), arr(src)}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED,
        {NPY_ITER_READWRITE, NPY_ITER_READONLY | NPY_ITER_COPY}, {NPY_OBJECT, NPY_OBJECT});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            auto *lhs = record<T>(cells::cell_at(data[0], strides[0], i));
            PyObject *rhs_obj = cells::cell_at(data[1], strides[1], i);
            auto *rhs = record<T>(rhs_obj);
            if (!T::plain(rhs_obj))
                call_method<T>(rhs_obj, ZD_STR("_flatten"));
            auto dst = T::lists(lhs);
            auto from = T::lists(rhs);
            std::array<py::object, T::nlists> copies;
            for (int l = 0; l < T::nlists; ++l)
                copies[l] = cells::list_copy(*from[l] ? *from[l] : Py_None);
            for (int l = 0; l < T::nlists; ++l)
                Py_XSETREF(*dst[l], copies[l].release().ptr());
            T::set_beside(lhs, T::beside(rhs));
        }
    });
}

// Every selected cell (`sub`, read-write) takes the content of one record:
// new copies of its lists, what stands beside them, and (LinExpr) its
// continuation. A selected cell that is `value` itself is left alone.
void assign_linexpr(py::handle sub, py::handle value);

} // namespace cellrec
