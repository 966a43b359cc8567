"""MVar solver attributes: getAttr, setAttr, prefetchAttr, forwarding, dir."""

import copy

import numpy as np
import pytest

from zudirivi import _core
from zudirivi._arrayexpr import MVar

from helpers import assert_no_leak


@pytest.fixture
def model():
    return _core.Model()


@pytest.fixture
def x(model):
    x = model.addMVar((2, 3))
    model.update()
    return x


@pytest.fixture
def empty(model):
    return model.addMVar((2, 0))


def ub(x):
    return x.getAttr("UB")


def test_get_typed_arrays(model, x):
    x.setAttr("LB", np.arange(6.0).reshape(2, 3))
    lb = x.getAttr("LB")
    assert lb.dtype == np.float64 and lb.tolist() == [[0, 1, 2], [3, 4, 5]]
    assert np.isinf(ub(x)).all()
    vt = x.getAttr("VType")
    assert vt.dtype == np.dtype("U1") and vt.tolist() == [["C"] * 3] * 2
    names = x.getAttr("VarName")
    assert names.dtype == object and names[0, 0] == ""
    assert x[1, 2].getAttr("LB").shape == ()
    assert x.T.getAttr("LB")[2, 1] == 5.0
    assert (x.LB == lb).all()


@pytest.mark.parametrize("value, expect", [
    (1.0, [[1.0] * 3] * 2),
    (np.arange(6.0).reshape(2, 3), [[0, 1, 2], [3, 4, 5]]),
    (np.array([5.0]), [[5.0] * 3] * 2),
    (np.array(7), [[7.0] * 3] * 2),
    ([9], [[9.0] * 3] * 2),
    ((4,), [[4.0] * 3] * 2),
])
def test_set_value_forms(x, value, expect):
    x.setAttr("UB", value)
    assert ub(x).tolist() == expect


def test_set_one_dimensional_and_zero_dimensional(model):
    y = model.addMVar(3)
    model.update()
    y.setAttr("UB", [1, 2, 3])
    assert ub(y).tolist() == [1, 2, 3]
    y.UB = 0
    assert ub(y).tolist() == [0, 0, 0]
    s = y[1]
    s.setAttr("UB", [7])
    assert ub(y).tolist() == [0, 7, 0]
    y.setAttr("VType", "B")
    assert y.VType.tolist() == ["B"] * 3
    y.setAttr("VType", ["I", "C", "B"])
    assert y.VType.tolist() == ["I", "C", "B"]
    y.VarName = ["a", "b", "c"]
    assert y.VarName.tolist() == ["a", "b", "c"]


@pytest.mark.parametrize("value, exc, text", [
    (np.ones(3), AttributeError, "Shape mismatch"),
    ([1, 2], AttributeError, "Shape mismatch"),
    ([[1, 2, 3], [4, 5, 6]], AttributeError, "Shape mismatch"),
    (object(), AttributeError, "Use scalar or ndarray to set attribute"),
    ({7}, TypeError, None),
    ((v for v in [7]), TypeError, None),
])
def test_set_refusals(x, value, exc, text):
    before = ub(x)
    with pytest.raises(exc) as err:
        x.setAttr("UB", value)
    if text:
        assert str(err.value) == text
    assert (ub(x) == before).all()


def test_attribute_kind_and_settable_errors(x):
    with pytest.raises(AttributeError, match=r"^'zudirivi.Var' object has no attribute 'RHS'$"):
        x.getAttr("RHS")
    with pytest.raises(AttributeError, match=r"^'zudirivi.Var' object has no attribute 'RHS'$"):
        x.setAttr("RHS", 1.0)
    with pytest.raises(AttributeError, match=r"^'tovrixpy.MVar' object has no attribute 'RHS'$"):
        x.prefetchAttr("RHS")
    with pytest.raises(AttributeError, match=r"^Attribute 'X' cannot be set$"):
        x.setAttr("X", 1.0)
    with pytest.raises(AttributeError, match="has no attribute 'Bogus'"):
        x.Bogus
    assert not hasattr(x, "Bogus")
    with pytest.raises(ValueError):
        x.setAttr("VType", np.array(["B"]))
    x.prefetchAttr("LB")


def test_solution_values(model, x):
    with pytest.raises(Exception) as err:
        x.X
    assert type(err.value).__name__ == "TovrixError"
    model._loadSolution([float(i) for i in range(6)])
    assert x.X.tolist() == [[0, 1, 2], [3, 4, 5]]
    assert x[:, 1].X.tolist() == [1, 4]


def test_removed_and_pending_elements_reach_the_library(model, x):
    pending = model.addVar()
    y = MVar.fromlist([x[0, 0].item(), pending])
    with pytest.raises(Exception):
        y.getAttr("LB")


def test_without_a_model(empty):
    assert empty._cmodel is None
    r = empty.getAttr("NoSuchThing")
    assert r.dtype == np.float64 and r.shape == (2, 0)
    assert empty.Whatever.shape == (2, 0)
    assert empty.setAttr("UB", 1.0) is None
    empty.UB = 3
    assert empty.prefetchAttr("Nope") is None
    names = dir(empty)
    assert "getAttr" in names and "_vararr" in names and "UB" not in names


def test_protocol_probes_do_not_reach_the_solver(x, empty):
    for obj in (x, empty):
        assert not hasattr(obj, "__array__") and not hasattr(obj, "__deepcopy__")
        assert not hasattr(obj, "__array_interface__")
        a = np.asarray(obj)
        assert a.shape == () and a.item() is obj
        c = copy.copy(obj)
        assert type(c) is MVar and c._vararr is obj._vararr


def test_instance_without_init_fails_cleanly():
    bare = MVar.__new__(MVar)
    for read in (repr, lambda b: b.X, lambda b: b.shape, dir):
        with pytest.raises(AttributeError, match="_vararr|_cmodel"):
            read(bare)


def test_setattr_routes(x):
    x._mine = 5
    assert x.__dict__["_mine"] == 5 and x._mine == 5
    with pytest.raises(AttributeError, match="has no attribute 'shape'"):
        x.shape = (6,)
    with pytest.raises(IndexError):
        setattr(x, "", 1)


def test_indexed_data(model, x):
    y = MVar.fromlist([x[0, 2].item(), x[0, 0].item()])
    r = y._indexed_data([10, 20, 30], np.float64)
    assert r.dtype == np.float64 and r.tolist() == [30.0, 10.0]
    assert x._indexed_data(range(6), np.int32).tolist() == [[0, 1, 2], [3, 4, 5]]


def test_dir_lists_library_attributes_once_sorted(x):
    names = dir(x)
    assert names == sorted(set(names))
    assert {"getAttr", "_vararr", "_cmodel", "LB", "UB", "X", "VarName"} <= set(names)


@pytest.mark.parametrize("op", [
    lambda x: x.getAttr("UB"), lambda x: x.setAttr("UB", 2.0),
    lambda x: x.setAttr("UB", np.ones((2, 3))), lambda x: x.VType,
    lambda x: x.setAttr("VarName", ["a", "b", "c"] * 0 + ["n"]),
])
def test_no_leaks_in_attribute_access(x, op):
    assert_no_leak(lambda: op(x), repeat=10000, warmup=2000)
