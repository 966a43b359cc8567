"""_simpleexpr and _convert_mle_to_predvar_predval."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zudirivi as tvp
from zudirivi import _buildaid as ba

from helpers import assert_no_leak, run_optimized, subprocess_env


@pytest.fixture
def vars2(model):
    a, b = model.addVar(), model.addVar()
    model.update()
    return a, b


def terms(le):
    return le.getConstant(), [(le.getCoeff(i), le.getVar(i)) for i in range(le.size())]


@pytest.mark.parametrize("make", [
    lambda a, b: 3,
    lambda a, b: np.float64(2.5),
    lambda a, b: a,
    lambda a, b: a + a + 1,
])
def test_scalar_var_linexpr_give_a_normalised_new_linexpr(vars2, make):
    arg = make(*vars2)
    before = terms(arg) if isinstance(arg, tvp.LinExpr) else None
    r = ba._simpleexpr(arg)
    assert type(r) is tvp.LinExpr and r is not arg
    expected = tvp.LinExpr(arg)
    expected._normalize()
    assert terms(r) == terms(expected)
    if before is not None:
        assert terms(arg) == before


def test_matrix_one_element_paths_are_not_normalised(x):
    a = x[:1]
    r = ba._simpleexpr(a)
    assert type(r) is tvp.LinExpr and terms(r) == (0.0, [(1.0, a.item())])
    e = tvp.MLinExpr._from_mvar(a, force_full=True)
    e += e  # one cell holding the variable twice
    r = ba._simpleexpr(e)
    assert r.size() == 2 and r is not e.item()
    for many in (x, x[:0], x + 1):
        with pytest.raises(ValueError):
            ba._simpleexpr(many)


def test_quadexpr_is_copied_or_reduced_to_its_linear_part(vars2):
    a, b = vars2
    q = a * b + 2 * a
    r = ba._simpleexpr(q)
    assert type(r) is tvp.QuadExpr and r is not q and r.size() == 1
    assert str(q) == str(a * b + 2 * a)
    lin_only = tvp.QuadExpr(a + a + 1)
    r = ba._simpleexpr(lin_only)
    assert type(r) is tvp.LinExpr
    assert terms(r) == (1.0, [(2.0, a)])
    assert lin_only.getLinExpr().size() == 2  # argument untouched


def full_mquadexpr(quad_cell, x1, const):
    ndle = tvp.MLinExpr._from_mvar(x1, force_full=True) + const
    return tvp.MQuadExpr(qearr=np.array([quad_cell]), ndle=ndle)


def test_mquadexpr_paths(model, vars2):
    a, b = vars2
    x1 = model.addMVar((1,))
    model.update()
    v = x1.item()
    quad = full_mquadexpr(a * b + 0 * a, x1, 1.0)
    r = ba._simpleexpr(quad)
    assert type(r) is tvp.QuadExpr and r.size() == 1
    assert terms(r.getLinExpr()) == (1.0, [(1.0, v)])  # normalised: the zero term is gone
    assert quad._qearr[0].getLinExpr().size() == 1  # the cells are untouched
    lin = full_mquadexpr(tvp.QuadExpr(), x1, 2.0)
    r = ba._simpleexpr(lin)
    assert type(r) is tvp.LinExpr and terms(r) == (2.0, [(1.0, v)])
    compact = x1 @ x1
    assert compact._is_compact
    with pytest.raises(AssertionError) as err:
        ba._simpleexpr(compact)
    assert str(err.value) == ""
    with pytest.raises(ValueError):
        ba._simpleexpr(tvp.MQuadExpr._zeros_full((2,)))


@pytest.mark.parametrize("make", [lambda m, c: None, lambda m, c: [m], lambda m, c: c,
                                  lambda m, c: "3", lambda m, c: np.array([1.0])])
def test_unconvertible_arguments(model, x, make):
    c = model.addConstr(x[0].item() >= 1)
    with pytest.raises(tvp.TovrixError) as err:
        ba._simpleexpr(make(x[0].item(), c))
    assert err.value.errno == -1
    assert err.value.message == "Unable to convert argument to an expression"


def test_compact_assertion_is_skipped_under_O():
    run_optimized("""
        import zudirivi as tvp
        from zudirivi import _buildaid as ba
        m = tvp.Model(); x = m.addMVar((1,)); m.update()
        q = x @ x
        assert q._is_compact
        r = ba._simpleexpr(q)
        print(type(r).__name__, r.size())
    """, expected="QuadExpr 1")


# --- _convert_mle_to_predvar_predval -----------------------------------------

def test_unit_cells_give_variables_and_negated_constants(x):
    for const, expected in ((2.0, [-2.0] * 3), (0.0, [-0.0] * 3)):
        v, vals = ba._convert_mle_to_predvar_predval(
            tvp.MLinExpr._from_mvar(x, force_full=True) + const)
        assert type(v) is tvp.MVar and v.shape == (3,)
        assert v.tolist() == x.tolist()
        assert vals.dtype == np.float64 and vals.tolist() == expected
        assert np.signbit(vals).all()


def test_compact_input_is_read_full_and_stays_compact(model):
    y = model.addMVar((2, 1))
    model.update()
    e = y + np.array([[1.0], [-3.0]])
    assert e._is_compact
    v, vals = ba._convert_mle_to_predvar_predval(e)
    assert e._is_compact
    assert v.shape == (2, 1) and v.tolist() == y.tolist()
    assert vals.tolist() == [[-1.0], [3.0]]


@pytest.mark.parametrize("coef, accepted", [
    # 1 + 1e-06 lies a rounding step closer to 1 than 1e-06, 1 - 1e-06 a step farther
    (1.0000001, True), (0.9999995, True), (1 + 1e-06, True), (1 - 1e-06, False), (0.99999, False),
    (1.00001, False), (2.0, False),
])
def test_coefficient_tolerance(x, coef, accepted):
    e = tvp.MLinExpr._from_mvar(x, force_full=True)
    e._learr[1] = coef * x[1].item() + 4
    v, vals = ba._convert_mle_to_predvar_predval(e)
    assert (v is not None) == accepted
    if accepted:
        assert vals.tolist() == [-0.0, -4.0, -0.0]
    else:
        assert vals is None


class CountingLinExpr(tvp.LinExpr):
    """A cell read through its methods, counting the calls."""
    calls = []

    def size(self):
        self.calls.append("size")
        return super().size()

    def getCoeff(self, i):
        self.calls.append("getCoeff")
        return super().getCoeff(i)


def test_rejected_cells_stop_the_scan(x):
    a, b = x[0].item(), x[1].item()
    e = tvp.MLinExpr._zeros_full((4,))
    e._learr[0] = CountingLinExpr(a)
    e._learr[1] = a + a              # two terms of one variable: not merged
    e._learr[2] = CountingLinExpr(b)
    e._learr[3] = tvp.LinExpr(b)
    CountingLinExpr.calls.clear()
    assert ba._convert_mle_to_predvar_predval(e) == (None, None)
    assert CountingLinExpr.calls == ["size", "getCoeff"]
    e._learr[1] = tvp.LinExpr(5.0)   # a constant alone
    assert ba._convert_mle_to_predvar_predval(e) == (None, None)
    e._learr[1] = tvp.LinExpr(b) + 1
    CountingLinExpr.calls.clear()
    v, vals = ba._convert_mle_to_predvar_predval(e)
    assert v.tolist() == [a, b, b, b] and vals.tolist() == [-0.0, -1.0, -0.0, -0.0]
    assert CountingLinExpr.calls == ["size", "getCoeff", "size", "getCoeff"]


def test_empty_and_zero_d(model, x):
    with pytest.raises(ValueError):
        ba._convert_mle_to_predvar_predval(tvp.MLinExpr._zeros_full((0,)))
    e = tvp.MLinExpr._from_mvar(x[1:2].reshape(()), force_full=True) - 7
    v, vals = ba._convert_mle_to_predvar_predval(e)
    assert v.shape == () and v.item() is x[1].item() and vals.tolist() == 7.0


def test_no_leaks(x, vars2):
    full = tvp.MLinExpr._from_mvar(x, force_full=True) + 1
    compact = x + 1
    a, b = vars2
    q = a * b
    assert_no_leak(lambda: ba._convert_mle_to_predvar_predval(full))
    assert_no_leak(lambda: ba._convert_mle_to_predvar_predval(compact))
    assert_no_leak(lambda: (ba._simpleexpr(q), ba._simpleexpr(x[:1]), ba._simpleexpr(a)))


def test_cell_changed_while_its_coefficient_is_read(x):
    # A coefficient that is not a float is read through the cell's methods,
    # so a conversion that empties the cell cannot make the scan read past it.
    e = tvp.MLinExpr._from_mvar(x[:1], force_full=True)
    cell = e._learr[0]

    class Emptying:
        def __float__(self):
            del cell.var_list[:]
            return 1.0

    cell.coef_list[0] = Emptying()
    with pytest.raises(ValueError):  # the cell's own complaint about its terms
        ba._convert_mle_to_predvar_predval(e)


class RecordingLinExpr(CountingLinExpr):
    """A cell read through its methods, recording every call, getVar too."""
    calls = []

    def getVar(self, i):
        self.calls.append("getVar")
        return super().getVar(i)


def test_every_cell_is_tested_before_any_variable_is_read(x):
    a, b = x[0].item(), x[1].item()
    e = tvp.MLinExpr._zeros_full((2,))
    e._learr[0] = RecordingLinExpr(a)
    e._learr[1] = RecordingLinExpr(a + b)
    RecordingLinExpr.calls.clear()
    assert ba._convert_mle_to_predvar_predval(e) == (None, None)
    assert RecordingLinExpr.calls == ["size", "getCoeff", "size"]
    e._learr[1] = RecordingLinExpr(b) + 2
    e._learr[1] = RecordingLinExpr(e._learr[1])
    RecordingLinExpr.calls.clear()
    v, vals = ba._convert_mle_to_predvar_predval(e)
    assert v.tolist() == [a, b] and vals.tolist() == [-0.0, -2.0]
    assert RecordingLinExpr.calls == ["size", "getCoeff", "size", "getCoeff", "getVar", "getVar"]


def run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr}"
    return proc.stdout.strip()


DROPPED = "AttributeError 'NoneType' object has no attribute 'getVar'"


@pytest.mark.parametrize("method, change, expected", [
    # the cell goes from the array while it is being read: it is read to the
    # end, and the variables are then read from the array as it is now
    ("size", "arr[0] = None", DROPPED),
    ("getCoeff", "arr[0] = None", DROPPED),
    ("getVar", "arr[0] = None", "AttributeError 'NoneType' object has no attribute 'getConstant'"),
    # the array's memory moves: the scan follows it
    ("size", "arr.resize((1,), refcheck=False)", "ok [0] [-0.0]"),
    ("getVar", "arr.resize((1,), refcheck=False)",
     "RuntimeError array changed size during iteration"),
])
def test_cell_array_changed_while_a_cell_is_read(method, change, expected):
    out = run_child(f"""
        import zudirivi as tvp
        from zudirivi import _buildaid as ba
        m = tvp.Model()
        x = m.addMVar(2)
        m.update()
        e = tvp.MLinExpr._from_mvar(x, force_full=True)
        arr = e._learr

        class Changing(tvp.LinExpr):
            def {method}(self, *args):
                {change}  # the array held the only reference to this cell
                return getattr(super(), "{method}")(*args)

        arr[0] = Changing(x[0].item())
        try:
            v, vals = ba._convert_mle_to_predvar_predval(e)
            print("ok", [w.__cindex__() for w in v.tolist()], vals.tolist())
        except Exception as exc:
            print(type(exc).__name__, exc)
    """)
    assert out == expected
