// MVar.sum: a reduction written straight into the LinExpr records of an
// all-zero full-state MLinExpr, one pass of NumPy's iterator.
#include "cellrec.hpp"
#include "mvar.hpp"

#include <vector>

namespace {

// Appends `item` to the list held in a record field.
inline void append_to_field(PyObject *field, PyObject *item) {
    if (!field || field == Py_None)
        zd::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'append'");
    if (PyList_CheckExact(field)) {
        zd::check(PyList_Append(field, item));
        return;
    }
    py::object hold = zd::borrow(field);
    zd::steal(PyObject_CallMethodOneArg(field, ZD_STR("append").ptr(), item));
}

// The result cell a term goes to: must be a LinExpr record.
inline LinExprObject *result_cell(PyObject *cell) {
    if (!cell || !arrayexpr::is_linexpr(cell))
        zd::raisef(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                   cell ? Py_TYPE(cell)->tp_name : "NoneType", arrayexpr::LinExpr_type->tp_name);
    return reinterpret_cast<LinExprObject *>(cell);
}

} // namespace

py::object MVar_sum(const zd::Args &a) {
    py::handle self = a[0], axis = a[1];
    py::object arr = mvar::vararr(self);
    PyArrayObject *in = mvar::as_array(arr);
    const int ndim = PyArray_NDIM(in);

    // The result operand's axis map and the result shape (the kept lengths).
    py::list kept;
    std::vector<int> axes = cellrec::sum_axes(axis, in, kept, false);
    py::object shape = py::tuple(kept);

    py::object out = zd::global(ZD_STR("MLinExpr")).attr("_zeros_full")(shape);
    py::object learr = zd::steal(PyObject_GetAttr(out.ptr(), ZD_STR("_learr").ptr()));
    if (!PyArray_Check(learr.ptr()))
        zd::raise(PyExc_TypeError, "MLinExpr._learr must be an ndarray");

    PyArrayObject *ops[2] = {in, mvar::as_array(learr)};
    npy_uint32 op_flags[2] = {NPY_ITER_READWRITE, NPY_ITER_READWRITE};
    PyArray_Descr *dtypes[2] = {PyArray_DescrFromType(NPY_OBJECT),
                                PyArray_DescrFromType(NPY_OBJECT)};
    py::object hold0 = zd::steal(reinterpret_cast<PyObject *>(dtypes[0]));
    py::object hold1 = zd::steal(reinterpret_cast<PyObject *>(dtypes[1]));
    int *op_axes[2] = {nullptr, axes.data()};
    zd::NpyIterGuard it(
        NpyIter_AdvancedNew(2, ops,
                            NPY_ITER_REFS_OK | NPY_ITER_REDUCE_OK | NPY_ITER_EXTERNAL_LOOP |
                                NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
                            NPY_KEEPORDER, NPY_SAFE_CASTING, op_flags, dtypes, ndim > 0 ? ndim : -1,
                            ndim > 0 ? op_axes : nullptr, nullptr, 0));
    if (NpyIter_GetIterSize(it.get()) == 0)
        return out;
    NpyIter_IterNextFunc *next = NpyIter_GetIterNext(it.get(), nullptr);
    if (!next)
        zd::throw_error();
    char **data = NpyIter_GetDataPtrArray(it.get());
    npy_intp *strides = NpyIter_GetInnerStrideArray(it.get());
    npy_intp *size = NpyIter_GetInnerLoopSizePtr(it.get());
    py::object one = py::float_(1.0);
    do {
        char *px = data[0], *py_ = data[1];
        const npy_intp sx = strides[0], sy = strides[1];
        for (npy_intp i = *size; i > 0; --i, px += sx, py_ += sy) {
            LinExprObject *cell = result_cell(*reinterpret_cast<PyObject **>(py_));
            PyObject *var = *reinterpret_cast<PyObject **>(px);
            append_to_field(cell->coef_list, one.ptr());
            append_to_field(cell->var_list, var ? var : Py_None);
        }
    } while (next(it.get()));
    return out;
}
