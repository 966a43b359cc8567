// MQuadExpr: element-wise arithmetic (+, -, *, /, in place and plain),
// comparisons, unary operators and powers. Products and quotients that cannot
// stay quadratic go to MNLExpr.
#include "mquadexpr.hpp"
#include "mvar/mvar.hpp"

#include <cstring>

using namespace mquadexpr;
using arith::not_implemented;
using arith::op_add;
using arith::op_iadd;
using arith::op_imul;
using arith::op_mul;

namespace {

bool is_var(py::handle o) {
    return arith::isinst_g(o, ZD_STR("Var"));
}
bool is_nlexpr(py::handle o) {
    return arith::isinst_g(o, ZD_STR("NLExpr"));
}
bool is_mvar(py::handle o) {
    return arith::isinst_g(o, ZD_STR("MVar"));
}
bool is_mlinexpr(py::handle o) {
    return arith::isinst_g(o, ZD_STR("MLinExpr"));
}
bool is_mquadexpr(py::handle o) {
    return zd::isinstance(o, cls());
}
bool is_linexpr(py::handle o) {
    return arrayexpr::is_linexpr(o.ptr());
}
bool is_quadexpr(py::handle o) {
    return arrayexpr::is_quadexpr(o.ptr());
}

// Var, LinExpr, QuadExpr, NLExpr, MVar, MLinExpr, MQuadExpr, in this order:
// the factors and divisors that make a result nonlinear.
bool variable_bearing(py::handle o) {
    return is_var(o) || is_linexpr(o) || is_quadexpr(o) || is_nlexpr(o) || is_mvar(o) ||
           is_mlinexpr(o) || is_mquadexpr(o);
}

// MNLExpr._from_mquadexpr(self): the start of every nonlinear hand-off.
py::object nl_form(py::handle self) {
    return zd::global(ZD_STR("MNLExpr")).attr(ZD_STR("_from_mquadexpr"))(self);
}

// The compact path of an operator: self compact, then MQuadExpr._keep_compact == 1.
bool compact_path(py::handle self) {
    return is_compact(self) && keep_compact();
}

// A cell array result of NumPy's object arithmetic: a lone QuadExpr (two 0-d
// operands) as a 0-d array.
py::object as_cells(py::object qearr) {
    if (is_quadexpr(qearr))
        return zero_d(qearr);
    return qearr;
}

py::object new_full(py::handle qearr, py::handle ndle) {
    return cls()(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
}
py::object new_compact(py::handle quadparts, py::handle ndle) {
    return cls()(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
}

// A compact result keeps its quad parts only when it has a cell to hold them.
py::object compact_result(py::handle quadparts, py::handle ndle) {
    if (equals(ndle.attr(ZD_STR("size")), py::int_(0)))
        return new_compact(py::list(), ndle);
    return new_compact(quadparts, ndle);
}

py::object zeros_like_shape(py::handle shape) {
    return numpy().attr("zeros")(shape);
}

// `ret = self.copy(); ret <op>= other; return ret`.
py::object copy_then(py::handle self, py::handle other, bool multiply) {
    py::object ret = self.attr(ZD_STR("copy"))();
    return multiply ? op_imul(ret, other) : op_iadd(ret, other);
}

double as_double(py::handle o) {
    py::object f = zd::steal(PyNumber_Float(o.ptr()));
    return PyFloat_AS_DOUBLE(f.ptr());
}

} // namespace

// ---------------------------------------------------------------------------
// Addition and subtraction
// ---------------------------------------------------------------------------

py::object MQuadExpr___add__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (is_nlexpr(other))
        return op_add(nl_form(self), other);
    const bool compact = compact_path(self);
    if (!compact)
        self.attr(ZD_STR("_convert_to_full"))();
    if (is_mlinexpr(other) || is_mvar(other) || arith::is_ndarray(other) || arith::is_sparse(other))
        return self.attr(compact ? ZD_STR("_add_compact_mlinexpr")
                                 : ZD_STR("_add_full_mlinexpr"))(other);
    if (arith::is_scalar(other) || is_var(other) || is_linexpr(other) || is_quadexpr(other))
        return copy_then(self, other, false);
    if (is_mquadexpr(other))
        return self.attr(compact ? ZD_STR("_add_compact_mquadexpr")
                                 : ZD_STR("_add_full_mquadexpr"))(other);
    return not_implemented();
}

py::object MQuadExpr__add_compact_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object ndle = op_add(self.attr(ZD_STR("_ndle")), other);
    py::object shape = ndle.attr(ZD_STR("shape"));
    if (truthy(cls().attr(ZD_STR("_allows_compact"))(shape)))
        return compact_result(self.attr(ZD_STR("_copy_quadparts"))(), ndle);
    // Full: one copy of self's quadratic terms per cell (the loop refuses an
    // array without cells, as NumPy's iterator does without zerosize_ok).
    py::object qe_common = self.attr(ZD_STR("_extract_quadexpr"))();
    py::object qearr = empty_objects(shape);
    py::handle quad_type = reinterpret_cast<PyObject *>(arrayexpr::QuadExpr_type);
    cells::GcPause gc_pause;
    cells::ChunkLoop loop({arr(qearr)}, cellrec::kRefs, {NPY_ITER_WRITEONLY});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            py::object cell = quad_type(qe_common);
            Py_XSETREF(cells::cell_at(data[0], strides[0], i), cell.release().ptr());
        }
    });
    return new_full(qearr, ndle);
}

py::object MQuadExpr__add_full_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object ndle = op_add(self.attr(ZD_STR("_ndle")), other);
    py::object qearr =
        as_cells(op_add(self.attr(ZD_STR("_qearr")), zeros_like_shape(ndle.attr(ZD_STR("shape")))));
    return new_full(qearr, ndle);
}

py::object MQuadExpr__add_compact_mquadexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    if (!is_compact(other))
        return self.attr(ZD_STR("_to_full"))().attr(ZD_STR("_add_full_mquadexpr"))(other);
    py::object ndle = op_add(self.attr(ZD_STR("_ndle")), other.attr(ZD_STR("_ndle")));
    py::list incoming =
        zd::steal(PySequence_List(self.attr(ZD_STR("_quadparts")).ptr())).cast<py::list>();
    py::object it = zd::steal(PyObject_GetIter(other.attr(ZD_STR("_quadparts")).ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr()))
        incoming.append(zd::steal(raw));
    if (PyErr_Occurred())
        zd::throw_error();
    const Py_ssize_t n = arith::length(incoming);
    if (n == 0 || equals(ndle.attr(ZD_STR("size")), py::int_(0)))
        return new_compact(py::list(), ndle);
    if (n == 1) {
        py::tuple xQy = mvar::unpack(incoming[0], 3);
        py::object x = xQy[0].attr(ZD_STR("copy"))();
        py::object Q = xQy[1].attr(ZD_STR("copy"))();
        py::object y = xQy[2].attr(ZD_STR("copy"))();
        py::list parts;
        parts.append(py::make_tuple(x, Q, y));
        return new_compact(parts, ndle);
    }
    py::object ret = new_compact(incoming, ndle);
    ret.attr(ZD_STR("_concat_quadparts"))();
    return ret;
}

py::object MQuadExpr__add_full_mquadexpr(const zd::Args &a) {
    py::handle self = a[0];
    py::object other = zd::borrow(a[1].ptr());
    numpy();
    if (is_compact(other))
        other = other.attr(ZD_STR("_to_full"))();
    py::object ndle = op_add(self.attr(ZD_STR("_ndle")), other.attr(ZD_STR("_ndle")));
    py::object qearr = as_cells(op_add(self.attr(ZD_STR("_qearr")), other.attr(ZD_STR("_qearr"))));
    return new_full(qearr, ndle);
}

py::object MQuadExpr___radd__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    if (is_nlexpr(other))
        return op_add(other, nl_form(self));
    return op_add(self, other);
}

py::object MQuadExpr___sub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (is_nlexpr(other))
        return arith::op_sub(nl_form(self), other);
    if (!(is_var(other) || is_linexpr(other) || is_quadexpr(other) || arith::is_ndarray(other) ||
          is_mvar(other) || is_mlinexpr(other) || is_mquadexpr(other)) &&
        !arith::is_scalar(other))
        return not_implemented();
    return op_add(self, op_mul(arith::minus_one(), other));
}

py::object MQuadExpr___rsub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    if (is_nlexpr(other))
        return arith::op_sub(other, nl_form(self));
    py::object ret = op_mul(arith::minus_one(), self);
    return op_add(ret, other);
}

py::object MQuadExpr___isub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    return op_iadd(self, op_mul(arith::minus_one(), other));
}

// ---------------------------------------------------------------------------
// In-place multiplication
// ---------------------------------------------------------------------------

py::object MQuadExpr___imul__(const zd::Args &a) {
    py::handle self = a[0];
    py::object other = zd::borrow(a[1].ptr());
    numpy();
    const bool compact = compact_path(self);
    if (!compact)
        self.attr(ZD_STR("_convert_to_full"))();
    if (arith::is_ndarray(other))
        return self.attr(compact ? ZD_STR("_imul_compact_ndarray")
                                 : ZD_STR("_imul_full_ndarray"))(other);
    if (arith::is_sparse(other))
        return self.attr(compact ? ZD_STR("_imul_compact_ndarray")
                                 : ZD_STR("_imul_full_ndarray"))(other.attr("toarray")());
    if (arith::is_scalar(other))
        return self.attr(compact ? ZD_STR("_imul_compact_scalar")
                                 : ZD_STR("_imul_full_scalar"))(other);
    return not_implemented();
}

py::object MQuadExpr__imul_compact_scalar(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    // The data of the quad part takes the operand as NumPy multiplies it; a
    // multiplier it would refuse is refused before the linear part changes.
    py::object np = numpy();
    np.attr("multiply")(np.attr("ones")(1), other, py::arg("out") = np.attr("ones")(1));
    arith::attr_inplace(self, ZD_STR("_ndle"), other, true);
    py::object part = self.attr(ZD_STR("_extract_xQy"))();
    py::object Q = part[py::int_(1)];
    if (!Q.is_none())
        arith::attr_inplace(Q, ZD_STR("data"), other, true);
    return zd::borrow(self.ptr());
}

py::object MQuadExpr__imul_compact_ndarray(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    zd::ensure_numpy();
    // The single value is read before anything changes; an operand without
    // exactly one value is left to the linear part to refuse, and scales
    // nothing quadratic when the expression has no cell. An operand that is
    // not an array (a direct call) takes the steps as written: the linear
    // part first, then its item().
    const bool array = PyArray_Check(other.ptr());
    const npy_intp n = array ? PyArray_SIZE(arr(other)) : 1;
    double value = 0.0;
    if (array && n == 1)
        value = as_double(other.attr("item")());
    arith::attr_inplace(self, ZD_STR("_ndle"), other, true);
    if (!array)
        value = as_double(other.attr("item")());
    if (n != 1) {
        if (!equals(self.attr(ZD_STR("size")), py::int_(0)))
            other.attr("item")();
        return zd::borrow(self.ptr());
    }
    py::object part = self.attr(ZD_STR("_extract_xQy"))();
    py::object Q = part[py::int_(1)];
    if (!Q.is_none())
        arith::attr_inplace(Q, ZD_STR("data"), zd::steal(PyFloat_FromDouble(value)), true);
    return zd::borrow(self.ptr());
}

py::object MQuadExpr__imul_full_scalar(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object value = zd::steal(PyNumber_Float(other.ptr()));
    py::object qearr = qearr_of(self);
    check_cells(qearr);
    arith::attr_inplace(self, ZD_STR("_ndle"), value, true);
    cellrec::each_cell(qearr, cellrec::kRefs | NPY_ITER_ZEROSIZE_OK,
                       [&](PyObject *cell) { call_with(cell, ZD_STR("_mul"), value.ptr()); });
    return zd::borrow(self.ptr());
}

py::object MQuadExpr__imul_full_ndarray(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object qearr = qearr_of(self);
    check_cells(qearr);
    // The operand is read as float64, broadcast to self's cells (never the
    // reverse); the loop is opened, and so the operand checked, before the
    // linear part changes.
    cells::ChunkLoop loop(
        {arr(qearr), arr(other)},
        cellrec::kRefs | NPY_ITER_BUFFERED | NPY_ITER_REDUCE_OK | NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY}, {NPY_OBJECT, NPY_DOUBLE});
    arith::attr_inplace(self, ZD_STR("_ndle"), other, true);
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            double v;
            std::memcpy(&v, data[1] + i * strides[1], sizeof v);
            py::object f = zd::steal(PyFloat_FromDouble(v));
            call_with(cells::cell_at(data[0], strides[0], i), ZD_STR("_mul"), f.ptr());
        }
    });
    return zd::borrow(self.ptr());
}

// ---------------------------------------------------------------------------
// Multiplication
// ---------------------------------------------------------------------------

py::object MQuadExpr___mul__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (variable_bearing(other))
        return op_mul(nl_form(self), other);
    const bool compact = compact_path(self);
    if (!compact)
        self.attr(ZD_STR("_convert_to_full"))();
    const char *array_path = compact ? "_mul_compact_ndarray" : "_mul_full_ndarray";
    if (arith::is_ndarray(other))
        return self.attr(array_path)(other);
    if (arith::is_sparse(other))
        return self.attr(array_path)(other.attr("toarray")());
    if (arith::is_scalar(other)) {
        py::object ret = self.attr(ZD_STR("copy"))();
        return op_imul(ret, arith::to_float(other));
    }
    return not_implemented();
}

py::object MQuadExpr___rmul__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (variable_bearing(other))
        return op_mul(other, nl_form(self));
    if (arith::is_ndarray(other) || arith::is_sparse(other) || arith::is_scalar(other))
        return op_mul(self, other);
    return not_implemented();
}

py::object MQuadExpr__mul_compact_ndarray(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object ndle = op_mul(self.attr(ZD_STR("_ndle")), other);
    if (!truthy(cls().attr(ZD_STR("_allows_compact"))(ndle.attr(ZD_STR("shape"))))) {
        self.attr(ZD_STR("_convert_to_full"))();
        return self.attr(ZD_STR("_mul_full_ndarray"))(other);
    }
    // A product without cells holds no quad part.
    if (equals(ndle.attr(ZD_STR("size")), py::int_(0)))
        return new_compact(py::list(), ndle);
    py::object value = zd::steal(PyFloat_FromDouble(as_double(other.attr("item")())));
    py::object quadparts = self.attr(ZD_STR("_copy_quadparts"))();
    for (py::handle part : quadparts)
        arith::attr_inplace(part[py::int_(1)], ZD_STR("data"), value, true);
    return new_compact(quadparts, ndle);
}

py::object MQuadExpr__mul_full_ndarray(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object ndle = op_mul(self.attr(ZD_STR("_ndle")), other);
    py::object qearr = as_cells(op_mul(self.attr(ZD_STR("_qearr")), other));
    return new_full(qearr, ndle);
}

// ---------------------------------------------------------------------------
// Division
// ---------------------------------------------------------------------------

namespace {

// The reciprocal of a divisor that stays quadratic (an array, a sparse
// matrix's dense form, a number), or null for any other divisor.
py::object reciprocal_of(py::handle other) {
    if (arith::is_ndarray(other))
        return arith::reciprocal(other);
    if (arith::is_sparse(other))
        return arith::reciprocal(other.attr("toarray")());
    if (arith::is_scalar(other))
        return arith::reciprocal(arith::to_float(other));
    return py::object();
}

} // namespace

py::object MQuadExpr___truediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (py::object r = reciprocal_of(other))
        return op_mul(self, r);
    if (variable_bearing(other))
        return arith::op_div(nl_form(self), other);
    return not_implemented();
}

py::object MQuadExpr___itruediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (py::object r = reciprocal_of(other))
        return op_imul(self, r);
    return not_implemented();
}

py::object MQuadExpr___rtruediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (arith::is_scalar(other) || arith::is_ndarray(other) || is_var(other) || is_linexpr(other) ||
        is_quadexpr(other) || is_nlexpr(other))
        return arith::op_div(other, nl_form(self));
    if (arith::is_sparse(other)) {
        py::object denominator = nl_form(self);
        return arith::op_div(other.attr("toarray")(), denominator);
    }
    return not_implemented();
}

// ---------------------------------------------------------------------------
// Comparisons, unary operators and powers
// ---------------------------------------------------------------------------

namespace {

py::object temp_constr(py::handle self, const char *sense, py::handle rhs) {
    py::object s = zd::global(ZD_STR("TVX")).attr(sense);
    return zd::global(ZD_STR("TempConstr"))(self, s, rhs);
}

} // namespace

py::object MQuadExpr___le__(const zd::Args &a) {
    return temp_constr(a[0], "LESS_EQUAL", a[1]);
}

py::object MQuadExpr___ge__(const zd::Args &a) {
    return temp_constr(a[0], "GREATER_EQUAL", a[1]);
}

py::object MQuadExpr___eq__(const zd::Args &a) {
    return temp_constr(a[0], "EQUAL", a[1]);
}

py::object MQuadExpr___ne__(const zd::Args &) {
    zd::raise_instance(
        zd::global(ZD_STR("TovrixError"))(0, "Inequality constraints not supported"));
}

py::object MQuadExpr___pos__(const zd::Args &a) {
    return a[0].attr(ZD_STR("copy"))();
}

py::object MQuadExpr___neg__(const zd::Args &a) {
    return op_mul(a[0], arith::minus_one());
}

py::object MQuadExpr___pow__(const zd::Args &a) {
    py::object base = nl_form(a[0]);
    return arith::op_pow(base, a[1]);
}

py::object MQuadExpr___rpow__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (arith::is_ndarray(other) || is_var(other) || is_linexpr(other) || is_quadexpr(other) ||
        is_nlexpr(other) || arith::is_scalar(other))
        return arith::op_pow(other, nl_form(self));
    return not_implemented();
}
