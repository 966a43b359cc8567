// Cell helpers shared by the expression array classes of _arrayexpr: typed
// reads of LinExpr cells, the chunked cell loop over NumPy's iterator, and the
// test that tells an indexing result that shares the cell array's memory (a
// view) from a new array.
#pragma once

#include "arrayexpr.hpp"
#include "zd_numpy.hpp"

#include <initializer_list>

namespace cells {

// TypeError "Cannot convert <type of o> to <expected>".
[[noreturn]] void raise_cannot_convert(PyObject *o, PyTypeObject *expected);

// Typed cell read: the record of a LinExpr (subclasses included). None (or an
// unset object cell) is refused like any other object that is not a LinExpr.
inline LinExprObject *linexpr(PyObject *o) {
    if (o && PyObject_TypeCheck(o, arrayexpr::LinExpr_type))
        return reinterpret_cast<LinExprObject *>(o);
    raise_cannot_convert(o ? o : Py_None, arrayexpr::LinExpr_type);
}

// Like linexpr(), but a None cell raises the AttributeError that looking up
// `method` on it would raise.
LinExprObject *linexpr_for_method(PyObject *o, const char *method);

// True when `o` is exactly the core LinExpr type (no subclass), so that its
// methods can be served from the record directly.
inline bool exact_linexpr(PyObject *o) {
    return Py_TYPE(o) == arrayexpr::LinExpr_type;
}

// `left() == right()` with the left side read first, as the comparison is
// written (C++ leaves the order of a call's arguments open): for assertions
// whose operands are attributes of the caller's objects.
template <class L, class R>
bool equal_in_order(L &&left, R &&right) {
    py::object l = left();
    py::object r = right();
    return zd::equals(l, r);
}

// A new term list of n slots to be filled with PyList_SET_ITEM. Term lists
// hold numbers and variables only, which lead back to no expression: like the
// core's own, the list is left out of the cycle collector, whose passes over
// millions of term lists would cost more than building them.
inline PyObject *new_term_list(Py_ssize_t n) {
    PyObject *l = PyList_New(n);
    if (!l)
        zd::throw_error();
    PyObject_GC_UnTrack(l);
    return l;
}

// A new LinExpr: constant `c`, the given lists (new empty ones when null),
// cont_ref None. Made through the type's allocator, without a Python call.
py::object new_linexpr(double c = 0.0, PyObject *coefs_stolen = nullptr,
                       PyObject *vars_stolen = nullptr);

// An independent copy of the cell: from the record when the cell is a plain
// LinExpr without continuation, else through its copy() method.
py::object copy_linexpr(PyObject *cell);

// Calls the method `name` of a cell without arguments; for a cell of exactly
// the type `exact` (LinExpr by default) the method is looked up on the type.
py::object call_cell_method(PyObject *cell, py::handle name, PyTypeObject *exact = nullptr);
// The same with one argument: `cell.<name>(arg)`.
py::object call_cell_method1(PyObject *cell, py::handle name, PyObject *arg, PyTypeObject *exact);

// `*field += src` as the interpreter does it for the record fields: an
// in-place extension for two lists, the generic in-place addition otherwise.
// Only the first `n` items of `src` are taken when n >= 0 (src a list).
void extend_field(PyObject **field, PyObject *src, Py_ssize_t n = -1);

// Replaces a record field by `value` (a new reference is taken).
inline void set_field(PyObject **field, PyObject *value) {
    Py_INCREF(value);
    Py_XSETREF(*field, value);
}

// A new list with the items of `src` (a list, or any iterable).
py::object list_copy(PyObject *src);

// Object cell at position i of a chunk.
inline PyObject *&cell_at(char *base, npy_intp stride, npy_intp i) {
    return *reinterpret_cast<PyObject **>(base + i * stride);
}
inline PyObject *cell_or_none(char *base, npy_intp stride, npy_intp i) {
    PyObject *o = cell_at(base, stride, i);
    return o ? o : Py_None;
}

// Pauses the interpreter's cyclic garbage collector while cells are made in
// bulk: new cells and lists are reachable and form no cycle, so a collection
// run in between could find nothing, yet would walk every tracked object.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    int was_enabled_;
};

// The array behind `h` as an array of cells: an ndarray of dtype object.
// Anything else raises TypeError, as NumPy refuses to view another dtype as
// objects.
PyArrayObject *object_array(py::handle h);

// NumPy's iterator over one or more operands in external-loop mode (the
// chunked cell loop). The iterator is closed on every exit path.
//
// Every operand whose memory the loop reads or writes as object pointers must
// be an object array; the loop refuses any other once, when it is opened,
// before a cell is touched: an operand given without a requested dtype, and
// one that is written with the requested dtype object. (Read-only operands
// with a requested dtype are cast by NumPy.) An object array whose memory is
// not aligned for pointers is taken through an aligned copy.
class ChunkLoop {
public:
    // `dtypes` may be empty (no requested dtypes) or hold one type number per
    // operand (-1 for none). `op_axes` as for NpyIter_AdvancedNew. A null
    // operand is allocated by the iterator.
    ChunkLoop(std::initializer_list<PyArrayObject *> ops, npy_uint32 flags,
              std::initializer_list<npy_uint32> op_flags, std::initializer_list<int> dtypes = {},
              int oa_ndim = -1, int **op_axes = nullptr);
    ChunkLoop(const ChunkLoop &) = delete;
    ChunkLoop &operator=(const ChunkLoop &) = delete;

    NpyIter *get() const { return it_.get(); }
    npy_intp size() const { return NpyIter_GetIterSize(it_.get()); }
    // The operand array at position i (an allocated or cast copy included).
    PyArrayObject *operand(int i) const { return NpyIter_GetOperandArray(it_.get())[i]; }

    // Calls f(data pointers, inner strides, chunk length) for every chunk.
    template <class F>
    void run(F &&f) {
        NpyIter *it = it_.get();
        if (NpyIter_GetIterSize(it) == 0)
            return;
        NpyIter_IterNextFunc *next = NpyIter_GetIterNext(it, nullptr);
        if (!next)
            zd::throw_error();
        char **data = NpyIter_GetDataPtrArray(it);
        npy_intp *strides = NpyIter_GetInnerStrideArray(it);
        npy_intp *size = NpyIter_GetInnerLoopSizePtr(it);
        do {
            f(data, strides, *size);
        } while (next(it));
        if (PyErr_Occurred())
            zd::throw_error();
    }
    // Back to the first chunk, for a second pass.
    void reset();

private:
    zd::NpyIterGuard it_;
    static NpyIter *make(std::initializer_list<PyArrayObject *> ops, npy_uint32 flags,
                         std::initializer_list<npy_uint32> op_flags,
                         std::initializer_list<int> dtypes, int oa_ndim, int **op_axes);
};

// A new object array over the broadcast shape of x and y, each cell the new
// reference f(x cell, y cell); the collector is paused meanwhile.
template <class F>
py::object pair_cells(PyArrayObject *x, PyArrayObject *y, F &&f) {
    GcPause pause;
    ChunkLoop loop({x, y, nullptr},
                   NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                   {NPY_ITER_READONLY, NPY_ITER_READONLY, NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE},
                   {-1, -1, NPY_OBJECT});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *r = f(cell_at(data[0], strides[0], i), cell_at(data[1], strides[1], i));
            Py_XSETREF(cell_at(data[2], strides[2], i), r);
        }
    });
    return zd::borrow(reinterpret_cast<PyObject *>(loop.operand(2)));
}

// True when the two arrays' memory ranges overlap: an indexing result for
// which this holds is a view of the cell array and shares its cells; a result
// in memory of its own is a new array (whatever its `base` says).
bool shares_memory(PyArrayObject *a, PyArrayObject *b);

// Every cell of the object array `a` an instance of `tp` (subclasses
// included); false at the first other cell.
bool all_cells_of(PyArrayObject *a, PyTypeObject *tp);

// The view-or-copy test of every class that indexes a cell array: true when
// `result` (what indexing `cells` returned) is an ndarray whose memory lies
// within the cell array's, so that it shares the cells; false for a new array
// (as NumPy makes for integer-array and boolean indices, whatever its `base`).
// An empty result is a view when its memory belongs to the cell array's owner.
bool is_view_of(py::handle result, py::handle cells);

// The array of an object, or null when it is not an ndarray.
inline PyArrayObject *as_ndarray(py::handle h) {
    return PyArray_Check(h.ptr()) ? reinterpret_cast<PyArrayObject *>(h.ptr()) : nullptr;
}

// A shape tuple of an array.
py::object shape_of(PyArrayObject *a);

// The formatter of the arrays' repr: a cell as one space and its str(), a
// function of the given qualified name.
py::object repr_cell_function(const char *qualname);

// The repr text of an expression array: "<Class shape marker>\n" and NumPy's
// text of `cellarr` without its dtype tail, each cell printed by the
// formatter above (named `qualname`) under the print options in force. The
// marker tells the compact state by its part count (one to three spaces).
py::object array_text(const char *cls, const char *qualname, py::handle shape, const char *marker,
                      py::handle cellarr);
inline const char *state_marker(bool compact, Py_ssize_t nparts) {
    return !compact ? "" : nparts == 0 ? " " : nparts == 1 ? "  " : "   ";
}

// Runs f inside `with cm:`; the context is left also when f fails.
template <class F>
py::object with_context(py::handle cm, F &&f) {
    cm.attr("__enter__")();
    py::object result;
    try {
        result = f();
    } catch (...) {
        PyObject *t, *v, *tb;
        if (PyErr_Occurred()) {
            PyErr_Fetch(&t, &v, &tb);
            PyErr_NormalizeException(&t, &v, &tb);
        } else {
            t = v = tb = nullptr;
        }
        PyObject *r = PyObject_CallMethod(cm.ptr(), "__exit__", "OOO", t ? t : Py_None,
                                          v ? v : Py_None, tb ? tb : Py_None);
        Py_XDECREF(r);
        if (r && t)
            PyErr_Restore(t, v, tb);
        else {
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
        }
        throw;
    }
    cm.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

} // namespace cells
