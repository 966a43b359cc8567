"""The expression side of the stand-in _core: LinExpr, QuadExpr, TempConstr,
NLExpr, _ExprTree, GenExpr and the arithmetic of Var."""

import copy
import operator

import numpy as np
import pytest

import zudirivi  # noqa: F401  (loads the modules in order)
from zudirivi import _core
from zudirivi._core import GenExpr, LinExpr, Model, NLExpr, QuadExpr, TempConstr, _ExprTree

from helpers import assert_no_leak

XV, YV, ZV = 1.5, -2.0, 3.0


@pytest.fixture
def m():
    model = Model()
    for name in "xyz":
        model.addVar(lb=-10.0, name=name)
    model.update()
    model._loadSolution([XV, YV, ZV])
    return model


@pytest.fixture
def xyz(m):
    return tuple(m.getVars())


def terms(le):
    return [(le.getCoeff(i), le.getVar(i)) for i in range(le.size())]


def qterms(qe):
    return [(qe.getCoeff(i), qe.getVar1(i), qe.getVar2(i)) for i in range(qe.size())]


def lists_of(e):
    """Every list object an expression holds, with its linear part's."""
    if isinstance(e, QuadExpr):
        return [e.coeffs, e.vars1, e.vars2] + lists_of(e.getLinExpr())
    if isinstance(e, LinExpr):
        return [e.coef_list, e.var_list]
    return []


# ---------------------------------------------------------------------------
# Records and fields
# ---------------------------------------------------------------------------


def test_record_sizes_and_no_instance_dict():
    assert LinExpr.__basicsize__ == 48
    assert QuadExpr.__basicsize__ == 56
    for cls in (LinExpr, QuadExpr):
        with pytest.raises(AttributeError):
            cls().anything = 1


def test_subclasses_keep_the_record_and_the_arithmetic(xyz):
    x, y, _ = xyz

    class L(LinExpr):
        pass

    le = L(2.0, x)
    le.tag = "mine"
    assert isinstance(le, LinExpr) and le.tag == "mine"
    assert terms(le + y) == [(2.0, x), (1.0, y)]
    assert type(le * y) is QuadExpr


def test_fresh_records_hold_empty_lists():
    le, qe = LinExpr(), QuadExpr()
    assert (le.constant, le.coef_list, le.var_list, le.cont_ref) == (0.0, [], [], None)
    assert (qe.coeffs, qe.vars1, qe.vars2) == ([], [], [])
    assert isinstance(qe.linexpr, LinExpr) and qe.linexpr is qe.getLinExpr()


@pytest.mark.parametrize(
    "cls, field", [(LinExpr, "coef_list"), (LinExpr, "var_list")]
    + [(QuadExpr, f) for f in ("coeffs", "vars1", "vars2")]
)
def test_list_fields_take_a_list_or_none(cls, field):
    e = cls()
    new = []
    setattr(e, field, new)
    assert getattr(e, field) is new
    setattr(e, field, None)
    assert getattr(e, field) is None
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        setattr(e, field, ())


def test_none_lists_read_as_empty(xyz):
    x, y, _ = xyz
    le = LinExpr(3.0)
    le.coef_list = le.var_list = None
    assert le.size() == 0 and str(le) == "3.0"
    le.add(x, 2.0)  # gets lists of its own again
    assert terms(le) == [(2.0, x)]
    qe = QuadExpr()
    qe.coeffs = qe.vars1 = qe.vars2 = None
    assert qe.size() == 0
    qe.add(x * y)
    assert qterms(qe) == [(1.0, x, y)]


def test_unequal_lists_are_refused_not_read(xyz):
    x, _, _ = xyz
    le = LinExpr()
    le.coef_list = [1.0, 2.0]
    le.var_list = [x]
    for op in (lambda: le.size(), lambda: le + 1, lambda: le.getValue(), lambda: le.add(x)):
        with pytest.raises(ValueError, match="2 coefficients but 1 variables"):
            op()


# ---------------------------------------------------------------------------
# Constructors
# ---------------------------------------------------------------------------


def test_linexpr_constructors(xyz):
    x, y, z = xyz
    assert (LinExpr(2.5).constant, LinExpr(2.5).size()) == (2.5, 0)
    assert terms(LinExpr(x)) == [(1.0, x)]
    assert terms(LinExpr(2, x)) == [(2.0, x)]
    coefs, vs = [1.0, 2], [x, y]
    a, b = LinExpr(coefs, vs), LinExpr(coefs, vs)
    assert terms(a) == [(1.0, x), (2.0, y)]
    assert all(type(c) is float for c in a.coef_list)
    # One list object for many cells: each expression owns copies.
    assert a.coef_list is not coefs and a.var_list is not b.var_list
    a.add(z)
    assert coefs == [1.0, 2] and vs == [x, y] and b.size() == 2


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, np.int64, np.uint8, np.bool_])
def test_linexpr_from_arrays_of_any_numeric_type(xyz, dtype):
    x, y, z = xyz
    coeffs = np.array([3, 0, 1, 0, 1], dtype=dtype)[::2]  # a strided view
    vars_ = np.array([x, None, y, None, z], dtype=object)[::2]
    le = LinExpr(coeffs, vars_)
    assert [c for c, _ in terms(le)] == [float(c) for c in coeffs]
    assert [v for _, v in terms(le)] == [x, y, z]


def test_linexpr_copy_is_independent(xyz):
    x, y, _ = xyz
    le = 2 * x + 1
    for cp in (LinExpr(le), le.copy(), copy.copy(le), copy.deepcopy(le)):
        assert terms(cp) == terms(le) and cp.constant == 1.0
        assert not set(map(id, lists_of(cp))) & set(map(id, lists_of(le)))
        cp.add(y)
        assert le.size() == 1


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (("a",), TypeError, "Cannot construct LinExpr from str"),
        (([1.0, 2.0], "xy"), TypeError, "expected a Var"),
        (([1.0], [1.0]), TypeError, "expected a Var"),
        ((1.0, None), TypeError, "the variable must be a Var"),
    ],
)
def test_linexpr_constructor_errors(args, exc, text):
    with pytest.raises(exc, match=text):
        LinExpr(*args)


def test_linexpr_length_mismatch_and_bad_coefficients(xyz):
    x, y, _ = xyz
    with pytest.raises(ValueError, match="differ in length"):
        LinExpr([1.0], [x, y])
    with pytest.raises(TypeError, match="real number"):
        LinExpr(["a"], [x])
    with pytest.raises(TypeError, match="real number"):
        LinExpr(1j, x)


def test_quadexpr_constructors(xyz):
    x, y, _ = xyz
    le = 2 * x + 1
    q = QuadExpr(le)
    assert q.size() == 0 and terms(q.getLinExpr()) == [(2.0, x)]
    assert q.getLinExpr() is not le
    src = x * y + le
    for cp in (QuadExpr(src), src.copy(), copy.deepcopy(src)):
        assert qterms(cp) == qterms(src) and terms(cp.getLinExpr()) == terms(src.getLinExpr())
        assert not set(map(id, lists_of(cp))) & set(map(id, lists_of(src)))
        assert cp.getLinExpr() is not src.getLinExpr()
    assert QuadExpr(4.0).getLinExpr().constant == 4.0
    with pytest.raises(TypeError, match="Cannot construct QuadExpr"):
        QuadExpr("x")


# ---------------------------------------------------------------------------
# Methods
# ---------------------------------------------------------------------------


def test_linexpr_reading_methods(xyz):
    x, y, _ = xyz
    le = 2 * x - y + 4
    assert le.size() == 2
    assert (le.getCoeff(1), le.getVar(1), le.getConstant()) == (-1.0, y, 4.0)
    assert le.getCoeff(np.int64(0)) == 2.0
    for bad in (2, -1):
        with pytest.raises(IndexError):
            le.getVar(bad)


def test_add_with_mult_and_with_itself(xyz):
    x, y, _ = xyz
    le = LinExpr(x)
    le.add(y + 1, -2.0)
    assert terms(le) == [(1.0, x), (-2.0, y)] and le.constant == -2.0
    le.add(le)
    assert [c for c, _ in terms(le)] == [1.0, -2.0, 1.0, -2.0] and le.constant == -4.0
    with pytest.raises(TypeError):
        le.add(x * y)


def test_quadexpr_add_itself_doubles(xyz):
    x, y, _ = xyz
    q = 3 * x * y + 2 * x + 1
    lin = q.getLinExpr()
    q.add(q)
    assert qterms(q) == [(3.0, x, y), (3.0, x, y)]
    assert q.getLinExpr() is lin and lin.constant == 2.0 and lin.size() == 2
    q.add(x * x, mult=0.5)
    assert qterms(q)[-1] == (0.5, x, x)


def test_addterms_and_addconstant(xyz):
    x, y, z = xyz
    le = LinExpr()
    le.addTerms([1.0, 2.0], [x, y])
    le.addTerms(3.0, z)
    le.addConstant(np.float32(0.5))
    assert terms(le) == [(1.0, x), (2.0, y), (3.0, z)] and le.constant == 0.5
    q = QuadExpr()
    q.addTerms([2.0], [x], [y])
    assert qterms(q) == [(2.0, x, y)]


def test_clear_keeps_identity_and_linear_part(xyz):
    x, y, _ = xyz
    le = 2 * x + 1
    assert le.clear() is None and (le.size(), le.constant) == (0, 0.0)
    q = x * y + x + 1
    lin = q.getLinExpr()
    q.clear()
    assert q.size() == 0 and q.getLinExpr() is lin and (lin.size(), lin.constant) == (0, 0.0)


def test_getlinexpr_is_the_own_part(xyz):
    x, y, _ = xyz
    q = x * y + x + 1
    q.getLinExpr().clear()
    assert q.getValue() == XV * YV


def test_mul_in_place(xyz):
    x, y, _ = xyz
    le = 2 * x + 1
    coefs = le.coef_list
    le._mul(3)
    assert le.coef_list is coefs and terms(le) == [(6.0, x)] and le.constant == 3.0
    q = x * y + x + 1
    q._mul(-2.0)
    assert qterms(q) == [(-2.0, x, y)] and q.getLinExpr().constant == -2.0
    with pytest.raises(TypeError):
        le._mul("2")


def test_get_value(m, xyz):
    x, y, z = xyz
    assert (2 * x - y + 1).getValue() == 2 * XV - YV + 1
    assert (x * y + 3 * z * z - x + 0.5).getValue() == XV * YV + 3 * ZV * ZV - XV + 0.5
    assert LinExpr(2.0).getValue() == 2.0


def test_get_value_without_solution_raises():
    model = Model()
    x = model.addVar()
    model.update()
    with pytest.raises(Exception, match="No solution"):
        (2 * x).getValue()
    with pytest.raises(Exception, match="No solution"):
        (x * x).getValue()


# ---------------------------------------------------------------------------
# cont_ref and _flatten
# ---------------------------------------------------------------------------


@pytest.fixture
def chained(xyz):
    """le = 1 + x, continued by 2 + 2 y, continued by 3 z."""
    x, y, z = xyz
    tail = LinExpr(3.0, z)
    mid = 2 * y + 2
    mid.cont_ref = tail
    le = x + 1
    le.cont_ref = mid
    return le, mid, tail


def test_cont_ref_terms_belong_to_the_expression(xyz, chained):
    x, y, z = xyz
    le, _, _ = chained
    assert le.size() == 3 and le.getVar(2) is z
    assert le.getConstant() == 3.0
    assert le.getValue() == XV + 2 * YV + 3 * ZV + 3
    assert str(le) == "x + 2.0 y + 3.0 z + 3.0"
    for res in (le + 0, le.copy(), LinExpr(le), le * 1):
        assert res.cont_ref is None and terms(res) == terms(le) and res.getConstant() == 3.0
    mid = le.cont_ref
    le += z  # joins the own lists; the continuation stays
    assert le.cont_ref is mid and le.var_list == [x, z] and le.size() == 4


def test_flatten_folds_the_chain_and_leaves_it_unchanged(xyz, chained):
    x, y, z = xyz
    le, mid, tail = chained
    other = LinExpr()
    other.cont_ref = mid  # shared continuation, as item assignment makes
    le._flatten()
    assert le.cont_ref is None and le.constant == 3.0
    assert le.coef_list == [1.0, 2.0, 3.0] and le.var_list == [x, y, z]
    assert mid.var_list == [y] and mid.cont_ref is tail
    assert other.size() == 2


def test_mul_and_normalize_flatten_first(xyz, chained):
    le, mid, _ = chained
    le._mul(2.0)
    assert le.cont_ref is None and le.getConstant() == 6.0 and mid.constant == 2.0


def test_cont_ref_rejects_cycles_and_other_types(xyz):
    a, b = LinExpr(1.0), LinExpr(2.0)
    a.cont_ref = b
    with pytest.raises(ValueError, match="cycle"):
        b.cont_ref = a
    with pytest.raises(ValueError, match="cycle"):
        a.cont_ref = a
    with pytest.raises(TypeError, match="Expected LinExpr, got float"):
        a.cont_ref = 1.0
    a.cont_ref = None
    assert a.getConstant() == 1.0


# ---------------------------------------------------------------------------
# _normalize
# ---------------------------------------------------------------------------


def test_linexpr_normalize_merges_in_first_order_and_drops_zeros(xyz):
    x, y, z = xyz
    le = LinExpr([1.0, 2.0, 3.0, -2.0, 0.0], [y, x, y, x, z])
    le.constant = 5.0
    coefs, vs = le.coef_list, le.var_list
    assert le._normalize() is None
    assert terms(le) == [(4.0, y)] and le.constant == 5.0
    assert le.coef_list is coefs and le.var_list is vs


def test_quadexpr_normalize_merges_both_orders(xyz):
    x, y, z = xyz
    q = x * y + 2 * y * x + z * z - z * z + x + x
    value = q.getValue()
    q._normalize()
    assert qterms(q) == [(3.0, x, y)]
    assert terms(q.getLinExpr()) == [(2.0, x)]
    assert q.getValue() == pytest.approx(value)


# ---------------------------------------------------------------------------
# Arithmetic
# ---------------------------------------------------------------------------

# (expression builder, result class); values are checked against the same
# formula on floats.
ARITH = [
    (lambda x, y, z: x + y, LinExpr),
    (lambda x, y, z: x - 2, LinExpr),
    (lambda x, y, z: 2 - x, LinExpr),
    (lambda x, y, z: 3 * x, LinExpr),
    (lambda x, y, z: x * 3, LinExpr),
    (lambda x, y, z: x / 4, LinExpr),
    (lambda x, y, z: -x, LinExpr),
    (lambda x, y, z: +x, LinExpr),
    (lambda x, y, z: (2 * x + 1) + (y - z), LinExpr),
    (lambda x, y, z: (2 * x + 1) - (y - z), LinExpr),
    (lambda x, y, z: (x + 1) * 2.5, LinExpr),
    (lambda x, y, z: 2.5 * (x + 1), LinExpr),
    (lambda x, y, z: -(x - y), LinExpr),
    (lambda x, y, z: (x + y) / 2, LinExpr),
    (lambda x, y, z: np.float64(2) * x, LinExpr),
    (lambda x, y, z: x * np.int32(3), LinExpr),
    (lambda x, y, z: np.float32(0.5) + x, LinExpr),
    (lambda x, y, z: True + x, LinExpr),
    (lambda x, y, z: x * y, QuadExpr),
    (lambda x, y, z: x**2, QuadExpr),
    (lambda x, y, z: (x + 1) ** 2, QuadExpr),
    (lambda x, y, z: (2 * x + 1) * (y - 3), QuadExpr),
    (lambda x, y, z: x * (y + z), QuadExpr),
    (lambda x, y, z: (y + z) * x, QuadExpr),
    (lambda x, y, z: x * y + z, QuadExpr),
    (lambda x, y, z: z + x * y, QuadExpr),
    (lambda x, y, z: x * y - (z + 1), QuadExpr),
    (lambda x, y, z: x * y + x * z, QuadExpr),
    (lambda x, y, z: x * y - x * z, QuadExpr),
    (lambda x, y, z: 2 * (x * y), QuadExpr),
    (lambda x, y, z: (x * y) / 2, QuadExpr),
    (lambda x, y, z: -(x * y + 1), QuadExpr),
    (lambda x, y, z: +(x * y), QuadExpr),
    (lambda x, y, z: x * y + 0.0, QuadExpr),
    (lambda x, y, z: QuadExpr() * 2.0, QuadExpr),
    (lambda x, y, z: QuadExpr(x) + 1, QuadExpr),
    (lambda x, y, z: QuadExpr(x) * y, QuadExpr),
    (lambda x, y, z: LinExpr(2.0) * x, LinExpr),
    (lambda x, y, z: LinExpr(2.0) * (x * y), QuadExpr),
    (lambda x, y, z: LinExpr(2.0) * LinExpr(3.0), LinExpr),
]


@pytest.mark.parametrize("build, cls", ARITH)
def test_arithmetic_result_class_and_value(xyz, build, cls):
    res = build(*xyz)
    assert type(res) is cls
    expected = build(XV, YV, ZV)  # floats; a constant expression where built explicitly
    if isinstance(expected, (LinExpr, QuadExpr)):
        expected = expected.getValue()
    assert res.getValue() == pytest.approx(expected)


OPERANDS = [
    (lambda x, y: 2 * x + 1, lambda x, y: 3.0),
    (lambda x, y: 2 * x + 1, lambda x, y: y - 1),
    (lambda x, y: x * y + x + 1, lambda x, y: 2.0),
    (lambda x, y: x * y + x + 1, lambda x, y: y - 1),
    (lambda x, y: x * y + 1, lambda x, y: x * x + 2),
    (lambda x, y: 2 * x, lambda x, y: x * y),
]
# Every pair under + - * / (the nonlinear results included).
OPERATIONS = [
    (op, a, b)
    for a, b in OPERANDS
    for op in (operator.add, operator.sub, operator.mul, operator.truediv)
]


@pytest.mark.parametrize("op, make_a, make_b", OPERATIONS)
def test_operands_never_change_and_share_nothing(xyz, op, make_a, make_b):
    x, y, _ = xyz
    a, b = make_a(x, y), make_b(x, y)
    before = [(str(e), [list(lst) for lst in lists_of(e)]) for e in (a, b)]
    res = op(a, b)
    assert [(str(e), [list(lst) for lst in lists_of(e)]) for e in (a, b)] == before
    held = {id(lst) for e in (a, b) for lst in lists_of(e)}
    assert not {id(lst) for lst in lists_of(res)} & held
    if isinstance(res, QuadExpr):
        assert all(res.getLinExpr() is not e.getLinExpr() for e in (a, b) if isinstance(e, QuadExpr))


@pytest.mark.parametrize(
    "build",
    [
        lambda x, y: 1 / x,
        lambda x, y: x / y,
        lambda x, y: (x + 1) / (y * y),
        lambda x, y: x**3,
        lambda x, y: x**0.5,
        lambda x, y: 2**x,
        lambda x, y: (x * y) ** 2,
        lambda x, y: (x * y) * x,
        lambda x, y: (x * y) * (x + 1),
        lambda x, y: (x * y) * (x * y),
        lambda x, y: NLExpr._from_var(x) + 1,
        lambda x, y: x - NLExpr._from_var(y),
        lambda x, y: (x * y) * NLExpr._from_var(y),
    ],
)
def test_nonlinear_results_are_nlexpr(xyz, build):
    x, y, _ = xyz
    res = build(x, y)
    assert type(res) is NLExpr and isinstance(res._root, _ExprTree)


def test_division_by_zero_and_modular_power(xyz):
    x, _, _ = xyz
    for e in (x, x + 1, x * x, NLExpr._from_var(x)):
        with pytest.raises(ZeroDivisionError):
            e / 0
    with pytest.raises(TypeError):
        pow(x + 1, 2, 3)


@pytest.mark.parametrize(
    "other",
    [np.array([1.0, 2.0]), np.array(1.0), [1.0], (1.0,), "a", None, 1j, GenExpr()],
    ids=["ndarray", "0-d", "list", "tuple", "str", "None", "complex", "genexpr"],
)
@pytest.mark.parametrize("kind", ["var", "lin", "quad", "nl"])
def test_other_operands_get_notimplemented(xyz, kind, other):
    x, y, _ = xyz
    e = {"var": x, "lin": x + 1, "quad": x * y, "nl": NLExpr._from_var(x)}[kind]
    for name in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__",
                 "__truediv__", "__rtruediv__", "__pow__", "__rpow__"):
        assert getattr(e, name)(other) is NotImplemented, name


def test_ndarray_operands_go_elementwise(xyz):
    x, y, _ = xyz
    le = x + 1
    res = le + np.array([1.0, 2.0])
    assert res.shape == (2,) and all(type(c) is LinExpr for c in res)
    assert [c.getConstant() for c in res] == [2.0, 3.0]
    prod = np.array([2.0, 3.0]) * (x * y)
    assert [type(c) for c in prod] == [QuadExpr, QuadExpr]


@pytest.mark.parametrize("make", [lambda x: x + 1, lambda x: x * x, lambda x: NLExpr._from_var(x),
                                  lambda x: NLExpr._from_var(x)._root, lambda x: x <= 1])
def test_numpy_sees_an_opaque_scalar(xyz, make):
    e = make(xyz[0])
    arr = np.array(e)
    assert arr.shape == () and arr.dtype == object and arr[()] is e
    cells = np.empty(3, dtype=object)
    cells[...] = e
    assert all(c is e for c in cells)
    assert np.array([e, e]).shape == (2,)


def test_in_place_operators(xyz):
    x, y, _ = xyz
    le = 2 * x
    alias = le
    le += y
    le -= 1
    le *= 2
    le /= 4
    assert le is alias and terms(le) == [(1.0, x), (0.5, y)] and le.constant == -0.5
    le += le
    assert le is alias and le.size() == 4
    le2 = x + 1
    before = terms(le2)
    res = le2
    res += x * y  # no room for a quadratic term: a new QuadExpr
    assert type(res) is QuadExpr and terms(le2) == before
    q = x * y
    qalias = q
    q += q
    q -= 1
    q *= 3
    assert q is qalias and qterms(q) == [(3.0, x, y)] * 2 and q.getLinExpr().constant == -3.0
    with pytest.raises(ZeroDivisionError):
        q /= 0.0


# ---------------------------------------------------------------------------
# Comparisons
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "build, lhs, sense, rhs",
    [
        (lambda x, e: e <= 3, "e", "<", 3),
        (lambda x, e: e >= 3, "e", ">", 3),
        (lambda x, e: e == 3, "e", "=", 3),
        (lambda x, e: 3 <= e, "e", ">", 3),
        (lambda x, e: 3 == e, "e", "=", 3),
        (lambda x, e: e <= x, "e", "<", "x"),
        (lambda x, e: x >= e, "x", ">", "e"),
    ],
)
@pytest.mark.parametrize("kind", ["var", "lin", "quad"])
def test_comparisons_build_tempconstr(xyz, build, lhs, sense, rhs, kind):
    x, y, _ = xyz
    e = {"var": y, "lin": y + 1, "quad": y * y}[kind]
    objs = {"e": e, "x": x}
    tc = build(x, e)
    assert type(tc) is TempConstr
    assert tc._lhs is objs[lhs] and tc._sense == sense
    assert tc._rhs is objs.get(rhs, rhs)


def test_other_comparisons(xyz):
    x, y, _ = xyz
    le = x + 1
    assert (le != 1) is True and (x != x) is False
    with pytest.raises(TypeError):
        le < 1
    with pytest.raises(TypeError):
        hash(le)
    assert len({x: 1, y: 2}) == 2  # Var stays a usable dict key
    tc = TempConstr(le, ">", 2.0)
    assert (tc._lhs, tc._sense, tc._rhs) == (le, ">", 2.0)
    assert "<=" in repr(le <= 1)
    with pytest.raises(TypeError):
        TempConstr(le, "<")


def test_var_equals_a_general_expression(xyz):
    x, _, _ = xyz
    G = type("G", (GenExpr,), {})
    g = G()
    tc = x == g
    assert type(tc) is TempConstr and tc._lhs is x and tc._rhs is g and tc._sense == "="
    with pytest.raises(TypeError):
        (x + 1) <= g


# ---------------------------------------------------------------------------
# Printing
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y: 2 * x + 3 * y + 1, "2.0 x + 3.0 y + 1.0"),
        (lambda x, y: x - 2 * y - 1, "x - 2.0 y - 1.0"),
        (lambda x, y: -x + 0.1, "-x + 0.1"),
        (lambda x, y: LinExpr(), "0.0"),
        (lambda x, y: LinExpr(-2.5), "-2.5"),
        (lambda x, y: x * x + 2 * x * y - y + 1e20, "-y + x ** 2 + 2.0 x * y + 1e+20"),
        (lambda x, y: QuadExpr(), "0.0"),
    ],
)
def test_str(xyz, build, text):
    assert str(build(*xyz[:2])) == text


def test_repr_and_unnamed_variables(xyz):
    x, _, _ = xyz
    assert repr(2 * x + 1) == "<zudirivi.LinExpr: 2.0 x + 1.0>"
    assert repr(x * x) == "<zudirivi.QuadExpr: x ** 2>"
    model = Model()
    v = model.addVar()
    model.update()
    assert str(3 * v) == "3.0 " + repr(v)[len("<zudirivi.Var "):-1]


# ---------------------------------------------------------------------------
# Nonlinear expressions
# ---------------------------------------------------------------------------


def test_exprtree_factories(xyz):
    x, y, _ = xyz
    vx, vy = _ExprTree._from_var(x), _ExprTree._from_var(y)
    c = _ExprTree._from_constant(np.float32(2.0))
    assert (vx._opname, vx._var, vx._children) == ("variable", x, ())
    assert (c._opname, c._value) == ("constant", 2.0)
    for name, node, kids in [
        ("minus", _ExprTree._from_minus(vx, c), (vx, c)),
        ("multiply", _ExprTree._from_multiply(vx, vy), (vx, vy)),
        ("divide", _ExprTree._from_divide(c, vx), (c, vx)),
        ("pow", _ExprTree._from_pow(vx, c), (vx, c)),
        ("square", _ExprTree._from_square(vx), (vx,)),
        ("uminus", _ExprTree._from_uminus(vx), (vx,)),
        ("plus", _ExprTree._from_plus(vx, vy, c), (vx, vy, c)),
        ("plus", _ExprTree._from_plus(), ()),
    ]:
        assert node._opname == name and all(a is b for a, b in zip(node._children, kids))
        assert len(node._children) == len(kids)
    with pytest.raises(AttributeError):
        vx._op = 3
    with pytest.raises(TypeError):
        _ExprTree()
    with pytest.raises(TypeError, match="exactly 2 positional"):
        _ExprTree._from_minus(vx)
    with pytest.raises(TypeError):
        _ExprTree._from_var(1.0)


def test_exprtree_terms_and_linexpr(xyz):
    x, y, _ = xyz
    lt = _ExprTree._linexpr_terms(2 * x + y + 3)
    assert [str(t) for t in lt] == ["2.0 * x", "y", "3.0"]
    assert [str(t) for t in _ExprTree._linexpr_terms(x + 0)] == ["x"]
    assert _ExprTree._linexpr_terms(LinExpr()) == []
    qt = _ExprTree._quadexpr_terms(2 * x * y + x * x + 5 * x)
    assert [str(t) for t in qt] == ["2.0 * x * y", "x ** 2"]
    assert str(_ExprTree._from_linexpr(2 * x + 1)) == "2.0 * x + 1.0"
    assert str(_ExprTree._from_linexpr(LinExpr())) == "0.0"


def test_nlexpr_basics(xyz):
    x, y, _ = xyz
    node = _ExprTree._from_var(x)
    e = NLExpr(node)
    assert e._root is node
    cp = e.copy()
    assert type(cp) is NLExpr and cp is not e and cp._root is node
    e._root = _ExprTree._from_constant(1.0)
    assert cp._root is node
    s = NLExpr._from_plus(NLExpr._from_var(x), NLExpr._from_constant(np.int64(2)), cp)
    assert str(s) == "x + 2.0 + x"
    assert NLExpr._from_plus()._root._children == ()
    with pytest.raises(TypeError):
        NLExpr._from_plus(node)
    anything = object()
    assert NLExpr(anything)._root is anything  # any node is taken as it is


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda x, y: 3.0, "3.0"),
        (lambda x, y: x, "x"),
        (lambda x, y: 2 * x + 1, "2.0 * x + 1.0"),
        (lambda x, y: x * y + y, "y + x * y"),
        (lambda x, y: 3 * x * x, "3.0 * x ** 2"),
        (lambda x, y: NLExpr._from_var(y), "y"),
    ],
)
def test_coerce_to_exprtree(xyz, make, text):
    node = NLExpr._coerce_to_exprtree(make(*xyz[:2]))
    assert isinstance(node, _ExprTree) and str(node) == text


def test_coerce_refuses_other_operands():
    for bad in ("a", [1.0], None, np.array([1.0])):
        with pytest.raises(TypeError):
            NLExpr._coerce_to_exprtree(bad)


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x, y, n: n + y, "x + y"),
        (lambda x, y, n: 1 - n, "1.0 - x"),
        (lambda x, y, n: n - (y + 1), "x - (y + 1.0)"),
        (lambda x, y, n: 2 * (n + y), "2.0 * (x + y)"),
        (lambda x, y, n: -1.0 * n, "-1.0 * x"),
        (lambda x, y, n: -(n + y), "-(x + y)"),
        (lambda x, y, n: (n + 1) / (y * y), "(x + 1.0) / y ** 2"),
        (lambda x, y, n: n**2, "x ** 2"),
        (lambda x, y, n: (n * y) ** 3, "(x * y) ** 3.0"),
        (lambda x, y, n: 2**n, "2.0 ** x"),
        (lambda x, y, n: n / (x / y), "x / (x / y)"),
        (lambda x, y, n: 1 / x, "1.0 / x"),
    ],
)
def test_nonlinear_printing(xyz, build, text):
    x, y, _ = xyz
    res = build(x, y, NLExpr._from_var(x))
    assert type(res) is NLExpr and str(res) == text
    assert repr(res) == f"<zudirivi.NLExpr: {text}>"


def test_nonlinear_operands_unchanged(xyz):
    x, _, _ = xyz
    n = NLExpr._from_var(x)
    root = n._root
    for res in (n + 1, n * n, -n, +n, n**2, 3 / n):
        assert res is not n and n._root is root
    assert (+n)._root is root


def test_deep_trees_print_with_recursion_error_and_free_cleanly(xyz):
    x, _, _ = xyz
    n = NLExpr._from_var(x)
    for _ in range(100_000):
        n = n + 1
    with pytest.raises(RecursionError):
        str(n)
    del n  # freeing the chain must not overflow the C stack


def test_genexpr_is_a_plain_base_class():
    assert type(GenExpr) is type
    G = type("G", (GenExpr,), {"__init__": lambda self, a: setattr(self, "a", a)})
    g = G(5)
    assert g.a == 5 and g.__dict__ == {"a": 5}
    H = type("H", (GenExpr,), {"__eq__": lambda self, o: True})
    with pytest.raises(TypeError):
        hash(H())


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, True), (2.5, True), (True, True), (np.float32(1), True), (np.int8(1), True),
        (np.bool_(True), True), (1j, False), (np.complex128(1), False), (np.array(1.0), False),
        (np.array([True]), False), ("1", False), (None, False), ([1], False),
        (10**400, False), (np.timedelta64(1), False),
    ],
)
def test_isscalar(value, expected):
    assert bool(_core._isscalar(value)) is expected


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------


def test_no_leaks(xyz):
    x, y, z = xyz
    le = 2 * x + y + 1
    q = x * y + le
    chained = x + 1
    chained.cont_ref = 2 * y + 1
    n = NLExpr._from_var(x)
    coefs = np.array([1.0, 2.0, 3.0])
    vs = np.array([x, y, z], dtype=object)

    def ops():
        le + le, le - x, 2 * le, le * y, q + q, q * 2, -q, x * x, le / 2
        le <= 1, x == y, chained + 1, chained.copy()
        LinExpr(coefs, vs), LinExpr([1.0, 2.0], [x, y]), QuadExpr(q)
        a = le.copy()
        a.add(a)
        a += y
        a._normalize()
        b = q.copy()
        b.add(b, 2.0)
        b._normalize()
        c = chained.copy()
        c.cont_ref = le
        c._flatten()
        str(q), repr(le), str(n * y + 1)
        n + 1, n / x, x ** 3, (x * y) * x, NLExpr._coerce_to_exprtree(q)
        _ExprTree._linexpr_terms(le), _ExprTree._quadexpr_terms(q), NLExpr._from_plus(n, n)
        q.getValue(), le.getValue()
        try:
            le + "a"
        except TypeError:
            pass
        try:
            LinExpr([1.0], [x, y])
        except ValueError:
            pass

    assert_no_leak(ops, repeat=300)
