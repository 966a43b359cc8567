"""Sums built straight from their operands: MVar +/- MVar in the full state
without intermediate expressions, and + on a temporary left operand built in
that temporary. Results must equal the general path's, and nothing that
anyone else can still see may change."""

import functools
import gc
import itertools
import operator
import threading
import tracemalloc
import weakref

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi import LinExpr, MLinExpr, MVar

from helpers import assert_no_leak

BIG = (80, 80)  # enough cells for the temporary check to run


def cell_terms(le):
    return (le.constant, list(le.coef_list), [id(v) for v in le.var_list], le.cont_ref)


def general_cells(x, y, op):
    """The cells the core's own operators give for op(x, y), cell by cell."""
    return [cell_terms(op(LinExpr(a), LinExpr(b))) for a, b in zip(x._vararr.flat, y._vararr.flat)]


@pytest.mark.parametrize("op", [operator.add, operator.sub])
@pytest.mark.parametrize("view", [lambda v: v, lambda v: v.T, lambda v: v[::2, 1:]])
def test_mvar_pair_sum_cells(model, keep, op, view):
    x, y = view(model.addMVar((4, 3))), view(model.addMVar((4, 3)))
    e = op(x, y)
    assert isinstance(e, MLinExpr) and e.shape == x.shape and not e._is_compact
    cells = [cell_terms(c) for c in e._learr.flat]
    assert cells == general_cells(x, y, op)
    c0, c1 = e._learr.flat[0], e._learr.flat[1]
    assert not gc.is_tracked(c0.coef_list) and not gc.is_tracked(c0.var_list)
    assert c0.coef_list is not c1.coef_list and c0.var_list is not c1.var_list


def test_mvar_pair_sum_keeps_the_general_path_elsewhere(model):
    x, y = model.addMVar(3), model.addMVar(3)
    assert (x - y)._is_compact  # compact shapes stay compact
    a, b = model.addMVar((2, 3)), model.addMVar((1, 3))
    assert (a - b).shape == (2, 3)  # broadcasting: general path
    assert cell_terms((a - b)._learr[1, 2]) == cell_terms(LinExpr(a[1, 2].item()) -
                                                          LinExpr(b[0, 2].item()))

    class Sub(MVar):
        pass

    s = Sub(a._vararr)
    assert [cell_terms(c) for c in (s - a)._learr.flat] == general_cells(a, a, operator.sub)


def test_scaled_variables_share_one_coefficient_object(model):
    x = model.addMVar((3, 3))
    e = 2.5 * x
    coefs = [c.coef_list[0] for c in e._learr.flat]
    assert coefs == [2.5] * 9 and all(c is coefs[0] for c in coefs)


def test_temporary_left_operands(model):
    n = BIG[0] * BIG[1]
    x = model.addMVar(n)
    X = model.addMVar(BIG)
    A = sp.random(n, n, density=2 / n, format="csr", random_state=0)
    b = np.arange(n, dtype=float)

    e = A @ x
    f = e + b  # a named left operand is never changed
    assert not e._const.any() and np.array_equal(f._const, b) and f is not e
    t = (A @ x) + b
    assert np.array_equal(t._const, b) and len(t._matmulparts) == 1
    assert (t._matmulparts[0][0] != A).nnz == 0
    w = (A @ x) + np.ones((2, n))  # widening: built apart, NumPy's shape
    assert w.shape == (2, n) and (w.getConstant() == 1).all()

    g = 2 * X
    h = g + 3
    assert g._learr[0, 0].constant == 0.0 and h._learr[0, 0].constant == 3.0
    assert ((2 * X) + 3)._learr[1, 1].constant == 3.0
    v = g[: BIG[0] // 2]  # a view sharing g's cells
    assert (v + 1)._learr[0, 0].constant == 1.0 and g._learr[0, 0].constant == 0.0


def test_references_lent_by_other_compiled_code(model):
    n = BIG[0] * BIG[1]
    x = model.addMVar(n)
    A = sp.eye(n, format="csr")
    held = np.empty(2, dtype=object)
    held[0], held[1] = A @ x, A @ x
    summed = held + 1.0  # NumPy's object loop lends references the array owns
    assert all(not h._const.any() for h in held) and all((s._const == 1).all() for s in summed)
    total = functools.reduce(operator.add, [A @ x, np.ones(n), np.ones(n)])
    assert (total._const == 2).all()


def test_temporary_sums_do_not_leak(model):
    x = model.addMVar(BIG[0] * BIG[1])
    X = model.addMVar(BIG)
    A = sp.eye(BIG[0] * BIG[1], format="csr")
    b = np.ones(BIG[0] * BIG[1])
    assert_no_leak(lambda: (A @ x) + b, repeat=200, warmup=20)
    assert_no_leak(lambda: (2 * X) + 3, repeat=100, warmup=10)
    assert_no_leak(lambda: X - X, repeat=100, warmup=10)


# Routes by which `held + 1.0` runs while something other than the
# interpreter's value stack holds the left operand. Each takes a maker of
# fresh temporaries and returns (what holds the operand, the sum, the held
# operand read back).
def _tuple(make):
    t = (make(), 1.0)
    return t, operator.add(*t), lambda: t[0]


def _bound_method(make):
    f = make().__add__
    return f, f(1.0), lambda: f.__self__


def _partial(make):
    p = functools.partial(operator.add, make(), 1.0)
    return p, p(), lambda: p.args[0]


def _starmap(make):
    pairs = [(make(), 1.0)]
    return pairs, list(itertools.starmap(operator.add, pairs))[0], lambda: pairs[0][0]


def _map_bound_method(make):
    f = make().__add__
    return f, list(map(f, [1.0]))[0], lambda: f.__self__


def _sum(make):
    items = [make()]
    return items, sum([1.0], items[0]), lambda: items[0]


def _reduce(make):
    items = [make(), 1.0]
    return items, functools.reduce(operator.add, items), lambda: items[0]


def _numpy_object_loop(make):
    held = np.empty(1, dtype=object)
    held[0] = make()
    return held, (held + 1.0)[0], lambda: held[0]


def _closure(make):
    e = make()

    def plus():
        return e + 1.0

    return plus, plus(), lambda: plus.__closure__[0].cell_contents


def _thread(make):
    t, out = (make(), 1.0), []
    th = threading.Thread(target=lambda: out.append(operator.add(*t)))
    th.start()
    th.join()
    return t, out[0], lambda: t[0]


ROUTES = [_tuple, _bound_method, _partial, _starmap, _map_bound_method, _sum, _reduce,
          _numpy_object_loop, _closure, _thread]


@pytest.fixture(params=["compact", "full"])
def temporaries(request, model):
    """A maker of fresh temporaries of 80 x 80 cells in either state."""
    n = BIG[0] * BIG[1]
    if request.param == "compact":
        x = model.addMVar(n)
        A = sp.eye(n, format="csr")
        make = lambda: A @ x  # noqa: E731
    else:
        X = model.addMVar(BIG)
        make = lambda: 2.0 * X  # noqa: E731
    model.update()
    model._loadSolution(np.zeros(model.NumVars))
    assert make()._is_compact == (request.param == "compact")
    return make


@pytest.mark.parametrize("route", ROUTES, ids=lambda r: r.__name__.strip("_"))
def test_held_operands_never_change(temporaries, route):
    holder, total, read_back = route(temporaries)
    held = read_back()
    assert (held.getConstant() == 0).all() and (held.getValue() == 0).all()
    assert (total.getConstant() == 1).all() and (total.getValue() == 1).all()
    assert total is not held


def test_temporaries_reachable_otherwise_are_not_reused(temporaries):
    refs = []

    def make():
        e = temporaries()
        refs.append(weakref.ref(e))
        return e

    total = make() + 1.0
    assert refs[0]() is None  # every sum is a new object: the operand is gone
    assert (total.getConstant() == 1).all()

    def make_dict():
        e = temporaries()
        refs.append(e.__dict__)  # the instance dict reaches the attributes
        return e

    total = make_dict() + 1.0
    held = refs[1]
    if held["_const"] is not None:
        assert not held["_const"].any()
    else:
        assert all(c.constant == 0 for c in held["_learr"].flat)
    assert (total.getConstant() == 1).all()


def test_the_interpreters_own_plus_builds_in_the_temporary(model):
    """The value stack's temporary is reused: no copy of A's parts is made."""
    n = 100_000
    x = model.addMVar(n)
    A = sp.csr_matrix((np.ones(5 * n), np.arange(5 * n) % n, np.arange(0, 5 * n + 1, 5)),
                      shape=(n, n))
    b = np.ones(n)

    def peak(fn):
        fn()
        tracemalloc.start()
        try:
            fn()
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    parts = A.data.nbytes + A.indices.nbytes
    assert peak(lambda: (A @ x) + b) - peak(lambda: A @ x) < parts / 4
    assert peak(lambda: operator.add(A @ x, b)) - peak(lambda: A @ x) > parts / 2


N_BIG = BIG[0] * BIG[1]


@pytest.mark.parametrize("temporaries, other, member", [
    ("compact", 1.0, "copy"),
    ("compact", 1.0, "__iadd__"),
    ("compact", np.ones(N_BIG), "_from_compact_affine_expr"),
    ("compact", np.ones(N_BIG), "_add_compact_mlinexpr"),
    ("full", 1.0, "copy"),
    ("full", 1.0, "__iadd__"),
], indirect=["temporaries"])
def test_replaced_members_are_called_for_temporaries(temporaries, other, member):
    """A member of the general path replaced on the class is called, also
    where the sum would otherwise be built in the temporary."""
    orig, calls = MLinExpr.__dict__[member], []

    def spy(*args, **kwargs):
        calls.append(member)
        return (orig.__func__ if isinstance(orig, classmethod) else orig)(*args, **kwargs)

    setattr(MLinExpr, member, classmethod(spy) if isinstance(orig, classmethod) else spy)
    try:
        total = temporaries() + other
    finally:
        setattr(MLinExpr, member, orig)
    assert calls and (total.getConstant() == 1).all()
