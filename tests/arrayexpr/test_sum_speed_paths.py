"""The speed paths of MVar + number, MVar + array, MVar +/- MVar and full
MLinExpr + MVar skip the members the general path calls. They run only while
those members are the classes' own: a member replaced on the class is called
as on the general path, and the sum is the same."""

import gc
import tracemalloc

import numpy as np
import pytest

from zudirivi import MLinExpr, MVar


def values(e):
    return np.asarray(e.getValue(), dtype=float)


def full(x):
    """A full-state expression equal to x, made without MLinExpr's factories."""
    return MLinExpr(x._vararr * 1.0)


# Each route: the MVar shape, _keep_compact, the sum, and the members that
# the general path of that sum calls.
ROUTES = {
    "x+1 compact": ((4,), 1, lambda x: x + 1,
                    ["MVar._toexpr", "MLinExpr.__add__", "MLinExpr.copy", "MLinExpr.__iadd__"]),
    "x+1 full": ((2, 3), 1, lambda x: x + 1,
                 ["MVar._toexpr", "MLinExpr.__add__", "MLinExpr.copy", "MLinExpr.__iadd__"]),
    "x+array compact": ((4,), 1, lambda x: x + np.arange(4.0),
                        ["MVar._toexpr", "MLinExpr.__add__", "MLinExpr._from_compact_affine_expr",
                         "MLinExpr._add_compact_mlinexpr"]),
    "X+X full": ((2, 3), 1, lambda x: x + x,
                 ["MVar._toexpr", "MLinExpr._from_mvar", "MLinExpr.__add__",
                  "MLinExpr._add_full_mlinexpr"]),
    "X-X full": ((2, 3), 1, lambda x: x - x,
                 ["MVar._toexpr", "MVar.__rmul__", "MLinExpr.__sub__", "MLinExpr.__imul__",
                  "MLinExpr.__add__", "MLinExpr._add_full_mlinexpr"]),
    "X+X not kept compact": ((4,), 0, lambda x: x + x,
                             ["MVar._toexpr", "MLinExpr.__add__", "MLinExpr._convert_to_full",
                              "MLinExpr._add_full_mlinexpr"]),
    "full e+X": ((2, 3), 1, lambda x: full(x) + x,
                 ["MLinExpr._from_mvar", "MLinExpr._add_full_mlinexpr"]),
}

CASES = [(route, member) for route, (*_, members) in ROUTES.items() for member in members]


@pytest.fixture
def keep_compact():
    old = MLinExpr.__dict__["_keep_compact"]
    yield lambda value: setattr(MLinExpr, "_keep_compact", value)
    MLinExpr._keep_compact = old


def spy_on(member, calls):
    """Puts a recorder in place of `member` that calls the original; returns
    the undo."""
    cls = {"MVar": MVar, "MLinExpr": MLinExpr}[member.split(".")[0]]
    name = member.split(".")[1]
    orig = cls.__dict__[name]
    if isinstance(orig, classmethod):
        def spy(klass, *args, **kwargs):
            calls.append(member)
            return orig.__func__(klass, *args, **kwargs)
        setattr(cls, name, classmethod(spy))
    else:
        def spy(*args, **kwargs):
            calls.append(member)
            return orig(*args, **kwargs)
        setattr(cls, name, spy)
    return lambda: setattr(cls, name, orig)


@pytest.mark.parametrize("route, member", CASES, ids=["%s:%s" % c for c in CASES])
def test_replaced_member_is_called(model, keep_compact, route, member):
    shape, keep, make, _ = ROUTES[route]
    keep_compact(keep)
    x = model.addMVar(shape)
    model.update()
    model._loadSolution(np.arange(1.0, x.size + 1))
    expected = values(make(x))  # the speed path, and its checks cached
    calls = []
    undo = spy_on(member, calls)
    try:
        got = make(x)
    finally:
        undo()
    assert member in calls
    assert np.array_equal(values(got), expected)


def traced_peak(fn):
    gc.collect()
    tracemalloc.start()
    try:
        result = fn()
        return tracemalloc.get_traced_memory()[1], result
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("make, member", [
    (lambda x: x + x, "MLinExpr.__add__"),
    (lambda x: x - x, "MVar._toexpr"),
    (lambda x: x + 1, "MLinExpr.copy"),
])
def test_restored_member_brings_the_speed_path_back(model, make, member):
    # The general path holds full-state operands beside the sum; the speed
    # path builds the sum alone.
    x = model.addMVar((60, 50))
    model.update()
    undo = spy_on(member, [])
    try:
        general, _ = traced_peak(lambda: make(x))
    finally:
        undo()
    fast, _ = traced_peak(lambda: make(x))
    assert fast < 0.7 * general

