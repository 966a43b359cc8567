// Class MVar: N-dimensional array of variables. This unit holds the class
// table, construction, conversions, shape operations, indexing and the
// printed form; attributes, operators and summation live in mvar_*.cpp.
#include "mvar.hpp"
#include "handle.hpp"

#include <string>

namespace {

const char MVar_doc[] =
    "Matrix variable handle, acting as an array of Var objects.\n"
    "\n"
    "MVar objects are usually obtained from Model.addMVar() or MVar.fromlist().\n"
    "Shape, dimensions and broadcasting follow the notions of NumPy's ndarray.";

const char copy_doc[] = "ROUTINE:\n"
                        "  copy()\n"
                        "\n"
                        "PURPOSE:\n"
                        "  Create a copy of this MVar.\n"
                        "\n"
                        "ARGUMENTS:\n"
                        "  None.\n"
                        "\n"
                        "RETURN VALUE:\n"
                        "  The new object.\n"
                        "\n"
                        "EXAMPLE:\n"
                        "  y = x.copy()\n"
                        "\n"
                        "NOTES:\n"
                        "  The copy refers to the same Var objects; no variable is created.\n";

const char tolist_doc[] = "ROUTINE:\n"
                          "  tolist()\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Convert this matrix variable into a list of individual Var objects.\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  None.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A (nested) list of Var objects, nested as deeply as the MVar has\n"
                          "  dimensions.\n"
                          "\n"
                          "EXAMPLE:\n"
                          "  vars = x.tolist()\n";

const char fromlist_doc[] =
    "ROUTINE:\n"
    "  fromlist(varlist)\n"
    "\n"
    "PURPOSE:\n"
    "  Convert a list of variables into an MVar object. The shape is inferred\n"
    "  from the nesting of the list: a list of Var objects gives a\n"
    "  one-dimensional MVar, a list of lists of Var objects a two-dimensional\n"
    "  one, and so on.\n"
    "\n"
    "ARGUMENTS:\n"
    "  varlist: A (nested) list of Var objects.\n"
    "\n"
    "RETURN VALUE:\n"
    "  An MVar object holding the variables.\n"
    "\n"
    "EXAMPLE:\n"
    "  x0 = model.addVar()\n"
    "  x1 = model.addVar()\n"
    "  x = tvp.MVar.fromlist([x0, x1])\n";

const char fromvar_doc[] = "ROUTINE:\n"
                           "  fromvar(var)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Convert a Var object into a 0-dimensional MVar object.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  var: The Var object to convert.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  A 0-dimensional MVar object holding var.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  v = model.addVar()\n"
                           "  x = tvp.MVar.fromvar(v)\n";

const char nl_doc[] = "PROPERTY\n"
                      "  An MNLExpr representing this matrix variable, for building nonlinear\n"
                      "  expressions with explicit control over the expression graph, e.g.\n"
                      "  (x.nl - y.nl) ** 3.\n";

const char transpose_doc[] =
    "ROUTINE:\n"
    "  transpose()\n"
    "\n"
    "PURPOSE:\n"
    "  Transpose this MVar: the order of its axes is reversed.\n"
    "\n"
    "ARGUMENTS:\n"
    "  None.\n"
    "\n"
    "RETURN VALUE:\n"
    "  An MVar object holding the same variables, transposed.\n"
    "\n"
    "EXAMPLE:\n"
    "  x = model.addMVar((2, 3))\n"
    "  y = x.transpose()  # shape (3, 2)\n"
    "\n"
    "NOTES:\n"
    "  A one-dimensional MVar transposes into an MVar of the same shape.\n";

const char T_doc[] = "PROPERTY:\n"
                     "  Same as transpose().\n";

const char reshape_doc[] =
    "ROUTINE:\n"
    "  reshape(*shape, order='C')\n"
    "\n"
    "PURPOSE:\n"
    "  Give a new shape to this MVar without changing its variables.\n"
    "\n"
    "ARGUMENTS:\n"
    "  shape: The new shape, an int or a tuple of ints (or several ints); one\n"
    "    entry may be -1, in which case its length is inferred from the size.\n"
    "  order: (keyword only) 'C' reads and writes the elements in C-like\n"
    "    (row-major) order, 'F' in Fortran-like (column-major) order.\n"
    "\n"
    "RETURN VALUE:\n"
    "  An MVar object of the new shape holding the same variables.\n"
    "\n"
    "EXAMPLE:\n"
    "  x = model.addMVar((2, 2))\n"
    "  y = x.reshape(-1)\n"
    "  z = x.reshape(4, order='F')\n";

const char item_doc[] = "ROUTINE:\n"
                        "  item()\n"
                        "\n"
                        "PURPOSE:\n"
                        "  Return the sole element of this MVar as a Var object.\n"
                        "\n"
                        "ARGUMENTS:\n"
                        "  None.\n"
                        "\n"
                        "RETURN VALUE:\n"
                        "  The Var object held by this MVar.\n"
                        "\n"
                        "EXAMPLE:\n"
                        "  v = x[0].item()\n"
                        "\n"
                        "NOTES:\n"
                        "  An MVar whose size is not 1 raises ValueError.\n";

const char sum_doc[] = "ROUTINE:\n"
                       "  sum(axis=None)\n"
                       "\n"
                       "PURPOSE:\n"
                       "  Sum the elements of the MVar.\n"
                       "\n"
                       "ARGUMENTS:\n"
                       "  axis: An int, the axis along which to sum; None (the default) sums\n"
                       "    along all axes.\n"
                       "\n"
                       "RETURN VALUE:\n"
                       "  An MLinExpr representing the sum.\n"
                       "\n"
                       "EXAMPLE:\n"
                       "  x = model.addMVar((2, 2))\n"
                       "  y = x.sum(axis=0)  # shape (2,): x[0, j] + x[1, j]\n"
                       "  z = x.sum(axis=1)  # shape (2,): x[i, 0] + x[i, 1]\n"
                       "  s = x.sum()        # shape (): all four variables\n";

const char diagonal_doc[] =
    "ROUTINE:\n"
    "  diagonal(offset=0, axis1=0, axis2=1)\n"
    "\n"
    "PURPOSE:\n"
    "  Return the specified diagonal of this MVar.\n"
    "\n"
    "ARGUMENTS:\n"
    "  offset: The diagonal's distance from the main diagonal; positive values\n"
    "    lie above it, negative values below it (default 0).\n"
    "  axis1: The first axis of the 2-D sub-arrays whose diagonals are taken\n"
    "    (default 0); needed only beyond two dimensions.\n"
    "  axis2: The second axis of those sub-arrays (default 1).\n"
    "\n"
    "RETURN VALUE:\n"
    "  An MVar object holding the diagonal's variables.\n"
    "\n"
    "EXAMPLE:\n"
    "  x = model.addMVar((8, 8))\n"
    "  d = x.diagonal()        # main diagonal\n"
    "  u = x.diagonal(1)       # first diagonal above the main one\n"
    "  a = x[:, ::-1].diagonal()  # anti-diagonal\n";

const char getAttr_doc[] = "ROUTINE:\n"
                           "  getAttr(attrname)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Request the values of a variable attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  A NumPy ndarray of the MVar's shape holding the attribute's values.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  ub = x.getAttr(\"UB\")\n"
                           "  sol = x.X\n";

const char setAttr_doc[] =
    "ROUTINE:\n"
    "  setAttr(attrname, value)\n"
    "\n"
    "PURPOSE:\n"
    "  Change the values of a variable attribute.\n"
    "\n"
    "ARGUMENTS:\n"
    "  attrname: The name of the attribute.\n"
    "  value: A NumPy ndarray of the MVar's shape whose dtype suits the\n"
    "    attribute's type; a scalar is used for every element.\n"
    "\n"
    "RETURN VALUE:\n"
    "  None.\n"
    "\n"
    "EXAMPLE:\n"
    "  x.setAttr(\"UB\", numpy.ones(x.shape))\n"
    "  x.UB = 1.0\n"
    "\n"
    "NOTES:\n"
    "  Attribute changes take effect lazily, after the next model update or\n"
    "  optimization.\n";

} // namespace

// ---------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------

py::object mvar::numpy() {
    return ZD_IMPORT("numpy");
}

py::object mvar::own_attr(py::handle self, py::handle name) {
    return zd::steal(PyObject_GenericGetAttr(self.ptr(), name.ptr()));
}

py::object mvar::vararr(py::handle self) {
    zd::ensure_numpy();
    py::object arr = own_attr(self, ZD_STR("_vararr"));
    if (!PyArray_Check(arr.ptr()) || PyArray_TYPE(as_array(arr)) != NPY_OBJECT)
        zd::raisef(PyExc_TypeError, "MVar._vararr must be an ndarray of dtype object, not %.200s",
                   zd::type_name(arr));
    return arr;
}

py::object mvar::make(py::handle arr) {
    return zd::global(ZD_STR("MVar"))(arr);
}

py::object mvar::index_list(py::handle self) {
    py::object arr = vararr(self);
    npy_intp n = PyArray_SIZE(as_array(arr));
    py::object list = zd::steal(PyList_New(n));
    npy_intp i = 0;
    handle::IndexReader reader("Var", "_colno");
    for_each_cell_c_order(as_array(arr), [&](PyObject *cell) {
        PyList_SET_ITEM(list.ptr(), i++, reader.read(cell).release().ptr());
    });
    return list;
}

// ---------------------------------------------------------------------------
// Construction and conversions
// ---------------------------------------------------------------------------

py::object MVar___init__(const zd::Args &a) {
    zd::ensure_numpy();
    // numpy.require(arr, dtype="O", requirements="W"): the argument itself when
    // it already is a writeable object ndarray (subclasses kept), else a copy.
    py::object arr = zd::steal(PyArray_FromAny(a[1].ptr(), PyArray_DescrFromType(NPY_OBJECT), 0, 0,
                                               NPY_ARRAY_WRITEABLE, nullptr));
    py::object cmodel = py::none();
    if (PyArray_SIZE(mvar::as_array(arr)) > 0) {
        // The element at index (0, ..., 0) is the first in row-major order.
        PyObject *first = *reinterpret_cast<PyObject **>(PyArray_DATA(mvar::as_array(arr)));
        py::object hold = zd::borrow(first ? first : Py_None);
        cmodel = zd::steal(PyObject_GetAttr(hold.ptr(), ZD_STR("_cmodel").ptr()));
    }
    py::object dict = zd::steal(PyObject_GenericGetDict(a[0].ptr(), nullptr));
    zd::check(PyDict_SetItem(dict.ptr(), ZD_STR("_vararr").ptr(), arr.ptr()));
    zd::check(PyDict_SetItem(dict.ptr(), ZD_STR("_cmodel").ptr(), cmodel.ptr()));
    return py::none();
}

py::object MVar_copy(const zd::Args &a) {
    return mvar::make(mvar::vararr(a[0]));
}

py::object MVar_tolist(const zd::Args &a) {
    return zd::steal(PyArray_ToList(mvar::as_array(mvar::vararr(a[0]))));
}

py::object MVar_item(const zd::Args &a) {
    return mvar::vararr(a[0]).attr("item")();
}

namespace {

bool fromlist_fast_path_available() {
    static int available = -1;
    if (available < 0) {
        py::object np = mvar::numpy();
        py::object version = np.attr("lib").attr("NumpyVersion")(np.attr("__version__"));
        available = PyObject_RichCompareBool(version.ptr(), py::str("1.23.0").ptr(), Py_GE);
        if (available < 0) {
            available = -1;
            zd::throw_error();
        }
    }
    return available == 1;
}

} // namespace

py::object MVar_fromlist(const zd::Args &a) {
    zd::ensure_numpy();
    py::handle varlist = a[0];
    py::object var_class = zd::global(ZD_STR("Var"));
    if (fromlist_fast_path_available() && PyList_Check(varlist.ptr())) {
        // A snapshot, so that the checks and the copy see the same items.
        py::object items = zd::steal(PyList_AsTuple(varlist.ptr()));
        Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
        bool all_vars = true;
        for (Py_ssize_t i = 0; i < n && all_vars; ++i)
            all_vars = zd::check(PyObject_IsInstance(PyTuple_GET_ITEM(items.ptr(), i),
                                                     var_class.ptr())) == 1;
        if (all_vars) {
            npy_intp dim = n;
            py::object arr = zd::steal(PyArray_SimpleNew(1, &dim, NPY_OBJECT));
            auto *data = reinterpret_cast<PyObject **>(PyArray_DATA(mvar::as_array(arr)));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *v = PyTuple_GET_ITEM(items.ptr(), i);
                Py_INCREF(v);
                Py_XSETREF(data[i], v);
            }
            return mvar::make(arr);
        }
    }
    py::object arr = mvar::numpy().attr("array")(varlist, py::arg("dtype") = "O");
    mvar::for_each_cell_c_order(mvar::as_array(arr), [&](PyObject *cell) {
        if (zd::check(PyObject_IsInstance(cell, var_class.ptr())) == 0) {
            py::object text = zd::steal(PyObject_Format(cell, nullptr));
            zd::raisef(PyExc_ValueError,
                       "MVar.fromlist expects a list of Vars, '%U' is not valid input", text.ptr());
        }
    });
    return mvar::make(arr);
}

py::object MVar_fromvar(const zd::Args &a) {
    py::object arr = mvar::numpy().attr("array")(a[0], py::arg("dtype") = "O");
    return mvar::make(arr);
}

py::object MVar_nl(const zd::Args &a) {
    return zd::global(ZD_STR("MNLExpr")).attr("_from_mvar")(a[0]);
}

// ---------------------------------------------------------------------------
// Shape operations and indexing
// ---------------------------------------------------------------------------

py::object MVar_transpose(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    return mvar::make(zd::steal(PyArray_Transpose(mvar::as_array(arr), nullptr)));
}

py::object MVar_T(const zd::Args &a) {
    return zd::steal(PyObject_CallMethodNoArgs(a[0].ptr(), ZD_STR("transpose").ptr()));
}

py::object MVar_reshape(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    py::object method = arr.attr("reshape");
    py::dict kw;
    kw["order"] = a[2];
    return mvar::make(zd::steal(PyObject_Call(method.ptr(), a[1].ptr(), kw.ptr())));
}

py::object MVar___getitem__(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    py::object sub = zd::steal(PyObject_GetItem(arr.ptr(), a[1].ptr()));
    if (zd::check(PyObject_IsInstance(sub.ptr(), zd::global(ZD_STR("Var")).ptr()))) {
        // One cell selected: a new 0-dimensional array holding it.
        py::object zero = zd::steal(PyArray_SimpleNew(0, nullptr, NPY_OBJECT));
        auto *cell = reinterpret_cast<PyObject **>(PyArray_DATA(mvar::as_array(zero)));
        Py_XSETREF(*cell, sub.release().ptr());
        sub = std::move(zero);
    }
    return mvar::make(sub);
}

py::object MVar__squeeze(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    return mvar::make(arr.attr("squeeze")(py::arg("axis") = a[1]));
}

py::object MVar_diagonal(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    return mvar::make(zd::call_method(arr, ZD_STR("diagonal"), a[1], a[2], a[3]));
}

py::object MVar_shape(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    PyArrayObject *p = mvar::as_array(arr);
    int nd = PyArray_NDIM(p);
    py::object t = zd::steal(PyTuple_New(nd));
    for (int i = 0; i < nd; ++i)
        PyTuple_SET_ITEM(t.ptr(), i,
                         zd::steal(PyLong_FromSsize_t(PyArray_DIM(p, i))).release().ptr());
    return t;
}

py::object MVar_ndim(const zd::Args &a) {
    return py::int_(PyArray_NDIM(mvar::as_array(mvar::vararr(a[0]))));
}

py::object MVar_size(const zd::Args &a) {
    return zd::steal(PyLong_FromSsize_t(PyArray_SIZE(mvar::as_array(mvar::vararr(a[0])))));
}

// ---------------------------------------------------------------------------
// Element indices and the printed form
// ---------------------------------------------------------------------------

py::object MVar__idxarr(const zd::Args &a) {
    py::object arr = mvar::vararr(a[0]);
    PyArrayObject *p = mvar::as_array(arr);
    py::object idx = zd::steal(PyArray_SimpleNew(PyArray_NDIM(p), PyArray_DIMS(p), NPY_INT32));
    auto *out = reinterpret_cast<npy_int32 *>(PyArray_DATA(mvar::as_array(idx)));
    handle::IndexReader reader("Var", "_colno");
    mvar::for_each_cell_c_order(p, [&](PyObject *cell) {
        // the reader checks the 32-bit range.
        *out++ = (npy_int32)PyLong_AsLong(reader.read(cell).ptr());
    });
    return idx;
}

py::object MVar___repr__(const zd::Args &a) {
    py::handle self = a[0];
    py::object shape = self.attr("shape");
    py::object base = zd::steal(PyUnicode_FromFormat("MVar %R", shape.ptr()));
    py::object idx = zd::steal(PyObject_CallMethodNoArgs(self.ptr(), ZD_STR("_idxarr").ptr()));
    if (!PyArray_Check(idx.ptr()))
        zd::raise(PyExc_TypeError, "_idxarr() must return an ndarray");
    bool pending = false, removed = false;
    py::object flat =
        zd::steal(PyArray_FromAny(idx.ptr(), PyArray_DescrFromType(NPY_INT64), 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    const auto *v = reinterpret_cast<const npy_int64 *>(PyArray_DATA(mvar::as_array(flat)));
    for (npy_intp i = 0, n = PyArray_SIZE(mvar::as_array(flat)); i < n; ++i) {
        pending |= v[i] == -1;
        removed |= v[i] <= -2;
    }
    py::object text = zd::steal(PyObject_Repr(mvar::vararr(self).ptr()));
    Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t comma = PyUnicode_FindChar(text.ptr(), ',', 0, len, -1);
    if (comma == -2)
        zd::throw_error();
    // Everything before the last comma (as text[:-1] when there is none).
    py::object cells = zd::steal(PyUnicode_Substring(text.ptr(), 0, comma >= 0 ? comma : len - 1));
    return zd::steal(PyUnicode_FromFormat("<%U%s%s>\n%U)", base.ptr(),
                                          pending ? " *awaiting update*" : "",
                                          removed ? " (some removed)" : "", cells.ptr()));
}

py::object MVar___dir__(const zd::Args &a) {
    py::handle self = a[0];
    py::object names = zd::steal(PySequence_List(
        zd::steal(PyObject_Dir(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())))).ptr()));
    py::object dict = zd::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    py::object keys = zd::steal(PyDict_Keys(dict.ptr()));
    names = zd::steal(PyNumber_InPlaceAdd(names.ptr(), keys.ptr()));
    // Without a model there is no library to ask.
    py::object cmodel = mvar::own_attr(self, ZD_STR("_cmodel"));
    if (!cmodel.is_none()) {
        py::object attrs = zd::global(ZD_STR("_attrlist"))(cmodel, self.attr("_typeenum"));
        py::object attrlist = zd::steal(PySequence_List(attrs.ptr()));
        names = zd::steal(PyNumber_InPlaceAdd(names.ptr(), attrlist.ptr()));
    }
    py::object unique = zd::steal(PySet_New(names.ptr()));
    py::object result = zd::steal(PySequence_List(unique.ptr()));
    zd::check(PyList_Sort(result.ptr()));
    return result;
}

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

void define_MVar() {
    zd::ClassBuilder("MVar", arrayexpr::object_bases(), MVar_doc)
        .attr("__array_priority__", py::int_(100))
        .method("__init__", "self, arr", MVar___init__)
        .method("__dir__", "self", MVar___dir__)
        .method("__repr__", "self", MVar___repr__)
        .method("copy", "self", MVar_copy, copy_doc)
        .method("tolist", "self", MVar_tolist, tolist_doc)
        .staticmethod("fromlist", "varlist", MVar_fromlist, fromlist_doc)
        .staticmethod("fromvar", "var", MVar_fromvar, fromvar_doc)
        .property("nl", MVar_nl, nl_doc)
        .method("transpose", "self", MVar_transpose, transpose_doc)
        .property("T", MVar_T, T_doc)
        .method("reshape", "self, *shape, order='C'", MVar_reshape, reshape_doc)
        .method("__getitem__", "self, obj", MVar___getitem__)
        .method("item", "self", MVar_item, item_doc)
        .property("_typename", MVar__typename)
        .property("_typeenum", MVar__typeenum)
        .method("__getattr__", "self, name", MVar___getattr__)
        .method("__setattr__", "self, name, value", MVar___setattr__)
        .method("__mul__", "self, other", MVar___mul__)
        .method("__pow__", "self, other", MVar___pow__)
        .method("__rpow__", "self, other", MVar___rpow__)
        .method("__matmul__", "self, other", MVar___matmul__)
        .method("__add__", "self, other", MVar___add__)
        .method("__radd__", "self, other", MVar___radd__)
        .method("__sub__", "self, other", MVar___sub__)
        .method("__rsub__", "self, other", MVar___rsub__)
        .method("__rmul__", "self, other", MVar___rmul__)
        .method("__rmatmul__", "self, other", MVar___rmatmul__)
        .method("__neg__", "self", MVar___neg__)
        .method("__pos__", "self", MVar___pos__)
        .method("__truediv__", "self, other", MVar___truediv__)
        .method("__rtruediv__", "self, other", MVar___rtruediv__)
        .method("_squeeze", "self, axis=None", MVar__squeeze)
        .method("_toexpr", "self", MVar__toexpr)
        .method("_idxarr", "self", MVar__idxarr)
        .method("sum", "self, axis=None", MVar_sum, sum_doc)
        .method("diagonal", "self, offset=0, axis1=0, axis2=1", MVar_diagonal, diagonal_doc)
        .method("_indexed_data", "self, a, dtype", MVar__indexed_data)
        .method("getAttr", "self, attrname", MVar_getAttr, getAttr_doc)
        .method("setAttr", "self, attrname, value", MVar_setAttr, setAttr_doc)
        .method("prefetchAttr", "self, attrname", MVar_prefetchAttr)
        .property("shape", MVar_shape, "The shape of the matrix variable, as a tuple of ints")
        .property("ndim", MVar_ndim, "The number of dimensions of this matrix variable")
        .property("size", MVar_size, "The number of elements in this matrix variable")
        .method("__le__", "self, rhs", MVar___le__)
        .method("__ge__", "self, rhs", MVar___ge__)
        .method("__eq__", "self, rhs", MVar___eq__)
        .method("__ne__", "self, rhs", MVar___ne__)
        .create();
}
