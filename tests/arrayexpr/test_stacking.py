"""vstack, hstack, concatenate: the result class from every input, full-state
results that share no expression cell with an input, and the cell copies."""

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi import _arrayexpr as ax
from helpers import assert_no_leak, run_optimized
from test_mnlexpr import tree

MLinExpr, MNLExpr, NLExpr = tvp.MLinExpr, tvp.MNLExpr, tvp.NLExpr

INVALID = "Invalid types for array manipulation routine"


@pytest.fixture
def sq(model):
    a = model.addMVar((2, 2))
    b = model.addMVar((2, 2))
    model.update()
    return a, b


def lin_cells(e):
    """(constant, [(coef, var), ...]) of every cell of a full-state MLinExpr."""
    return [(c.getConstant(), [(c.getCoeff(i), c.getVar(i)) for i in range(c.size())])
            for c in e._learr.flat]


def test_docstrings():
    for f, routine, purpose in [
        (tvp.vstack, "vstack(tup)", "Stack arrays in sequence vertically (row wise)."),
        (tvp.hstack, "hstack(tup)", "Stack arrays in sequence horizontally (column wise)."),
        (tvp.concatenate, "concatenate(tup, axis=0)",
         "Join a sequence of arrays along an existing axis."),
    ]:
        doc = f.__doc__
        assert doc.startswith("ROUTINE:\n  " + routine + "\n") and purpose in doc
        assert "tup: A sequence of matrix-friendly API objects" in doc
        assert "RETURN VALUE:\n  A matrix-friendly API object." in doc
        assert "\nEXAMPLE\n" in doc and "EXAMPLE:" not in doc
    for f in (ax._copy_learr, ax._copy_learr_qearr, ax._apply_array_manipulation_routine):
        assert f.__doc__ is None


def test_mvars_give_an_mvar_of_the_same_variables(model, sq):
    a, b = sq
    r = tvp.vstack((a, b))
    assert type(r) is tvp.MVar and r.shape == (4, 2)
    assert r.tolist() == a.tolist() + b.tolist()
    assert tvp.hstack([a, b]).shape == (2, 4)
    assert tvp.concatenate([a, b], axis=1).shape == (2, 4)
    flat = tvp.concatenate([a, b], axis=None)
    assert flat.shape == (8,)
    one = model.addMVar(3)
    assert tvp.vstack([one]).shape == (1, 3)


@pytest.mark.parametrize("kinds, cls", [
    (("ndarray",), MLinExpr),
    (("mvar", "ndarray"), MLinExpr),
    (("mlin", "mvar"), MLinExpr),
    (("mvar", "mnl"), MNLExpr),
    (("ndarray", "mlin", "mnl"), MNLExpr),
])
def test_result_class_follows_every_input(sq, kinds, cls):
    a, b = sq
    make = {"ndarray": lambda: np.ones((2, 2)), "mvar": lambda: a, "mlin": lambda: 2.0 * b,
            "mnl": lambda: a.nl}
    ins = [make[k]() for k in kinds]
    r = tvp.vstack(ins)
    assert type(r) is cls and r.shape == (2 * len(ins), 2)
    if cls is MLinExpr:
        assert not r._is_compact


def test_linear_result_values_and_no_shared_cells(sq):
    a, b = sq
    e = (2.0 * a + 1.0)
    e._convert_to_full()
    f = b + np.array([[1.0, 2.0], [3.0, 4.0]])
    f._convert_to_full()
    r = tvp.vstack([e, f, np.full((1, 2), 7.0), a])
    assert r.shape == (7, 2) and not r._is_compact
    assert lin_cells(r) == lin_cells(e) + lin_cells(f) + [(7.0, []), (7.0, [])] + \
        [(0.0, [(1.0, v)]) for v in a._vararr.flat]
    inputs = {id(c) for x in (e, f) for c in x._learr.flat}
    assert not inputs & {id(c) for c in r._learr.flat}
    before = lin_cells(r)
    e += 5.0
    assert lin_cells(r) == before
    r += 1.0
    assert lin_cells(e)[0][0] == 6.0


def test_compact_inputs_give_the_full_state_result(sq):
    a, b = sq
    c = MLinExpr._from_compact_affine_expr(A=sp.csr_matrix(np.eye(2) * 3.0), x_right=a[0]) + 1.0
    assert c._is_compact
    full = c._to_full()
    r1 = tvp.hstack([c, a[1]])
    r2 = tvp.hstack([full, a[1]])
    assert lin_cells(r1) == lin_cells(r2) and c._is_compact and not r1._is_compact


def test_nonlinear_result_new_cells_around_the_input_nodes(monkeypatch, sq):
    a, b = sq
    m = a / b
    r = tvp.concatenate([m, b, np.zeros((1, 2))], axis=0)
    assert type(r) is MNLExpr and r.shape == (5, 2)
    got = list(r._nlearr.flat)
    assert [c._root for c in got[:4]] == [c._root for c in m._nlearr.flat]
    assert not {id(c) for c in m._nlearr.flat} & {id(c) for c in got}
    assert [tree(c._root) for c in got[4:6]] == [("variable", v) for v in b._vararr.flat][:2]
    m += 1.0
    assert tree(r._nlearr[0, 0]._root)[0] == "divide"

    empty = m[:0]
    made = []
    real = NLExpr

    class Counting:
        def __new__(cls, node):
            made.append(node)
            return real(node)
    monkeypatch.setattr(ax, "NLExpr", Counting)
    assert tvp.vstack([m, m]).shape == (4, 2) and len(made) == 8
    made.clear()
    assert tvp.vstack([empty, empty]).shape == (0, 2) and made == []


def test_quadratic_result_full_state_and_no_shared_cells(model, sq):
    a, b = sq
    q = a * b
    q += np.ones((2, 2))
    lin = (3.0 * a)
    r = tvp.vstack([q, lin, np.zeros((1, 2))])
    assert type(r) is tvp.MQuadExpr and r.shape == (5, 2)
    assert not r._is_compact and not r._ndle._is_compact
    for i in range(2):
        for j in range(2):
            cell = r._qearr[i, j]
            assert cell.size() == 1 and cell.getVar1(0) is a._vararr[i, j]
            assert cell.getVar2(0) is b._vararr[i, j]
            assert r._ndle._learr[i, j].getConstant() == 1.0
    assert r._qearr[2, 0].size() == 0
    assert r._ndle._learr[2, 0].getCoeff(0) == 3.0
    assert not {id(c) for c in q._qearr.flat} & {id(c) for c in r._qearr.flat}
    before = r._ndle._learr[0, 0].getConstant()
    q += np.ones((2, 2))
    assert r._ndle._learr[0, 0].getConstant() == before


def test_quadratic_result_with_variables(sq):
    a, b = sq
    r = tvp.hstack([a * b, a])
    assert type(r) is tvp.MQuadExpr and r.shape == (2, 4) and not r._is_compact
    assert [c.size() for c in r._qearr[0]] == [1, 1, 0, 0]
    assert [c.getVar(0) for c in r._ndle._learr[0, 2:]] == list(a._vararr[0])


def test_quadratic_branch_hands_tuples_to_the_routine(sq):
    a, b = sq
    seen = []

    def routine(arrs):
        seen.append(type(arrs))
        return np.concatenate(arrs)
    r = ax._apply_array_manipulation_routine(routine, [a * b, np.ones((2, 2))])
    assert seen == [tuple, tuple] and r.shape == (4, 2)
    assert ax._apply_array_manipulation_routine(routine, [a, b]).shape == (4, 2)
    assert seen[2] is list


def test_concatenate_passes_the_axis_to_both_quadratic_stackings(sq):
    a, b = sq
    r = tvp.concatenate([a * b, 2.0 * a], axis=1)
    assert r.shape == (2, 4) and r._qearr.shape == r._ndle._learr.shape == (2, 4)
    assert tvp.concatenate([a * b, 2.0 * a], axis=None).shape == (8,)


def test_constraint_arrays_join_their_own_kind(model, sq):
    a, b = sq
    c1 = model.addConstr(a <= 1.0)
    c2 = model.addConstr(b >= 0.0)
    r = model.addMVar(4)
    g = model.addGenConstrNL(r, tvp.MNLExpr._from_mvar(model.addMVar(4)))
    model.update()
    joined = tvp.vstack([c1, c2])
    assert type(joined) is tvp.MConstr and joined.shape == (4, 2)
    assert list(joined._constrarr.flat) == list(c1._constrarr.flat) + list(c2._constrarr.flat)
    assert type(tvp.hstack([g, g])) is tvp.MGenConstr
    for bad in ([c1, a], [c1, g], [g, np.ones(4)], [c1, 2.0 * a]):
        with pytest.raises(ValueError, match="^" + INVALID + "$"):
            tvp.vstack(bad)


def test_quadratic_constraints_join_their_own_kind(model, sq):
    a, b = sq
    v = a.tolist()[0][0]
    q1 = tvp.MQConstr(np.array([[model.addConstr(v * v <= 1.0)]], dtype=object))
    model.update()
    assert type(q1) is tvp.MQConstr
    assert type(tvp.vstack([q1, q1])) is tvp.MQConstr
    c = model.addConstr(a <= 1.0)
    with pytest.raises(ValueError, match=INVALID):
        tvp.vstack([q1, c])


@pytest.mark.parametrize("other", [1.0, [1.0, 2.0], sp.eye(2), "var", "linexpr", "nlexpr"])
def test_other_inputs_are_refused_before_any_copy(model, sq, other):
    a, b = sq
    v = model.addVar()
    o = {"var": v, "linexpr": 2.0 * v, "nlexpr": NLExpr._from_var(v)}.get(other, other) \
        if isinstance(other, str) else other
    for tup in ([o], [a, o], [a.nl, o]):
        with pytest.raises(ValueError, match=INVALID):
            tvp.hstack(tup)


def test_numpy_errors_reach_the_caller(model, sq):
    a, b = sq
    with pytest.raises(ValueError):
        tvp.vstack(())
    with pytest.raises(ValueError):
        tvp.vstack([a, model.addMVar(3)])
    with pytest.raises(Exception):
        tvp.concatenate([a, b], axis=5)
    # A one-shot iterator is used up by the first test.
    with pytest.raises(ValueError):
        tvp.vstack(iter([a, b]))


def test_subclasses_pass_and_models_are_not_checked(sq):
    a, b = sq

    class Sub(tvp.MVar):
        pass
    other = tvp.Model().addMVar((1, 2))
    r = tvp.vstack([Sub(a._vararr), other])
    assert type(r) is tvp.MVar and r.shape == (3, 2) and r._cmodel is a._cmodel


# --- cell copies ----------------------------------------------------------------


def test_copy_learr_of_each_kind(sq):
    a, b = sq
    arr = ax._copy_learr(np.array([1.0, 2.0]))
    assert [c.getConstant() for c in arr] == [1.0, 2.0] and all(c.size() == 0 for c in arr)
    cells = ax._copy_learr(a)
    assert cells.shape == (2, 2) and [c.getVar(0) for c in cells.flat] == list(a._vararr.flat)
    compact = 2.0 * a[0] + 1.0
    assert compact._is_compact
    got = ax._copy_learr(compact)
    assert compact._is_compact and [c.getConstant() for c in got] == [1.0, 1.0]
    full = compact._to_full()
    got = ax._copy_learr(full)
    assert not {id(c) for c in got} & {id(c) for c in full._learr}


def test_copy_learr_qearr_of_each_kind(sq):
    a, b = sq
    q = a * b
    qearr, learr = ax._copy_learr_qearr(q)
    assert qearr.shape == learr.shape == (2, 2)
    assert not {id(c) for c in qearr.flat} & {id(c) for c in q._qearr.flat}
    qearr, learr = ax._copy_learr_qearr(np.ones(3))
    assert [c.size() for c in qearr] == [0, 0, 0] and [c.getConstant() for c in learr] == [1.0] * 3
    qearr, learr = ax._copy_learr_qearr(2.0 * a)
    assert learr[0, 0].getCoeff(0) == 2.0


@pytest.mark.parametrize("fn", ["_copy_learr", "_copy_learr_qearr"])
def test_copy_assertions_only_with_assertions_enabled(fn):
    class Fake:
        _is_compact = False
    with pytest.raises(AssertionError):
        getattr(ax, fn)(Fake())
    run_optimized(f"""
        from zudirivi import _arrayexpr as ax
        class Fake:
            _is_compact = False
        try:
            ax.{fn}(Fake())
        except AttributeError as e:
            print("AttributeError")
    """, expected="AttributeError")


def test_no_leaks(model, sq):
    a, b = sq
    e = 2.0 * a
    e._convert_to_full()
    m = a / b
    q = a * b
    c = model.addConstr(a <= 1.0)
    arr = np.ones((2, 2))

    def calls():
        tvp.vstack([a, b]), tvp.hstack([e, arr, a]), tvp.concatenate([m, a], axis=1)
        tvp.vstack([q, e]), tvp.vstack([c, c])
        try:
            tvp.vstack([a, 1.0])
        except ValueError:
            pass
    assert_no_leak(calls, repeat=100)
