"""Element indices of variable- and constraint-like arguments, and column data."""

import numpy as np
import pytest

import zudirivi as tvp
from zudirivi import _buildaid as ba

from helpers import assert_no_leak


class RecordingModel:
    """A model stand-in that answers _owns and records its calls."""

    def __init__(self, owns):
        self.owns, self.calls = owns, []

    def _owns(self, element):
        self.calls.append(element)
        return self.owns


@pytest.fixture
def six(model):
    v = model.addMVar((6,))
    model.update()
    return v


def test_variable_index_and_ownership(model, six):
    v = six[5].item()
    assert ba._extract_varlike_cindex(v) == 5
    assert ba._extract_varlike_cindex(v, model) == 5
    assert ba._extract_varlike_cindex(six[2:3], model=model) == 2
    other = tvp.Model()
    with pytest.raises(tvp.TovrixError) as err:
        ba._extract_varlike_cindex(v, other)
    assert (err.value.errno, err.value.message) == (tvp.TVX.ERROR_NOT_IN_MODEL,
                                                    "Variable not in model")


def test_constraint_index_and_ownership(model, six):
    c = model.addConstr(six[0].item() >= 1)
    cs = model.addConstr(six >= 0)
    model.update()
    assert ba._extract_constrlike_cindex(c) == 0
    assert ba._extract_constrlike_cindex(cs[3:4], model=model) == 4
    with pytest.raises(tvp.TovrixError, match="^Constraint not in model$"):
        ba._extract_constrlike_cindex(c, model=tvp.Model())


def test_quadratic_constraint_indices(model, six):
    a, b = six[0].item(), six[1].item()
    model.addConstr(a * b <= 1)
    q = model.addConstr(a * a <= 2)
    model.update()
    assert type(q) is tvp.QConstr
    assert ba._extract_constrlike_cindex(q) == 1
    mq = tvp.MQConstr(np.array([q]))
    assert ba._extract_constrlike_cindex(mq) == 1


def test_pending_and_removed_elements_check_order(model, six):
    removed_var = six[1].item()
    removed_constr = model.addConstr(six[0].item() >= 1)
    model.update()
    model.remove(removed_var)
    model.remove(removed_constr)
    model.update()
    pending_var = model.addVar()
    pending_constr = model.addConstr(six[0].item() <= 6)
    assert [e.__cindex__() for e in (pending_var, removed_var)] == [-1, -2]
    assert [e.__cindex__() for e in (pending_constr, removed_constr)] == [-1, -2]
    for v in (pending_var, removed_var):
        for m in (None, RecordingModel(True)):
            with pytest.raises(tvp.TovrixError, match="^Variable not in model$"):
                ba._extract_varlike_cindex(v, m)
            if m is not None:
                assert m.calls == [v]  # ownership asked before the index
    for c in (pending_constr, removed_constr):
        m = RecordingModel(True)
        with pytest.raises(tvp.TovrixError, match="^Constraint not in model$"):
            ba._extract_constrlike_cindex(c, m)
        assert m.calls == []  # the index decides first


def test_owns_errors_pass_through(six):
    class Raising:
        def _owns(self, element):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        ba._extract_varlike_cindex(six[0].item(), Raising())


@pytest.mark.parametrize("fn, make, tail", [
    (ba._extract_varlike_cindex, lambda m, v, c: c, " is not a variable"),
    (ba._extract_varlike_cindex, lambda m, v, c: v + 0, " is not a variable"),
    (ba._extract_varlike_cindex, lambda m, v, c: 3, " is not a variable"),
    (ba._extract_varlike_cindex, lambda m, v, c: "abc", " is not a variable"),
    (ba._extract_constrlike_cindex, lambda m, v, c: v.item(), " is not a constraint"),
    (ba._extract_constrlike_cindex, lambda m, v, c: v, " is not a constraint"),
])
def test_wrong_kinds(model, six, fn, make, tail):
    c = model.addConstr(six[0].item() >= 1)
    source = make(model, six[:1], c)
    with pytest.raises(TypeError) as err:
        fn(source)
    assert str(err.value) == format(source) + tail
    if type(source) is int:
        assert str(err.value) == "3 is not a variable"


@pytest.mark.parametrize("fn", [ba._extract_varlike_cindex, ba._extract_constrlike_cindex])
def test_matrix_handles_of_other_sizes(model, six, fn):
    handle = six if fn is ba._extract_varlike_cindex else model.addConstr(six >= 0)
    for h in (handle, handle[:0]):
        with pytest.raises(ValueError):
            fn(h)


# --- _map_coldata_to_vars ----------------------------------------------------

COLDATA = np.array([10.0, 20.0, 30.0])


def test_column_data_by_kind(x):
    x0, x1, x2 = x.tolist()
    r = ba._map_coldata_to_vars(COLDATA, x2)
    assert type(r) is np.float64 and r == 30.0
    assert ba._map_coldata_to_vars(COLDATA, [x2, x0]) == [30.0, 10.0]
    assert ba._map_coldata_to_vars(COLDATA, (x2, x0), dtype=int) == [30.0, 10.0]
    td = ba._map_coldata_to_vars(COLDATA, tvp.tupledict({(0,): x2, (1,): x0}))
    assert type(td) is tvp.tupledict and list(td.items()) == [((0,), 30.0), ((1,), 10.0)]
    plain = ba._map_coldata_to_vars(COLDATA, {"b": x1, "a": x2})
    assert type(plain) is tvp.tupledict and list(plain.items()) == [("b", 20.0), ("a", 30.0)]


def test_column_data_of_matrix_variables(model, x):
    col = x[1:].reshape((2, 1))
    r = ba._map_coldata_to_vars(COLDATA, col, dtype=float)
    assert r.dtype == np.float64 and r.tolist() == [[20.0], [30.0]]
    two = ba._map_coldata_to_vars(v=[x[:1], col], coldata=COLDATA[::-1].copy())
    assert [a.tolist() for a in two] == [[30.0], [[20.0], [10.0]]]
    assert ba._map_coldata_to_vars(np.array(["a", "b", "c"]), x, np.dtype("U1")).tolist() == \
        ["a", "b", "c"]


@pytest.mark.parametrize("v, expected", [([], []), ((), []), ({}, tvp.tupledict())])
def test_empty_collections(v, expected):
    r = ba._map_coldata_to_vars(COLDATA, v)
    assert r == expected and type(r) is type(expected)


def test_first_element_decides_and_no_index_check(model, x):
    with pytest.raises(AttributeError):
        ba._map_coldata_to_vars(COLDATA, [x, x[0].item()])
    pending = model.addVar()
    assert ba._map_coldata_to_vars(COLDATA, pending) == 30.0   # -1 reads the last column
    assert ba._map_coldata_to_vars(COLDATA, [x[0].item(), pending]) == [10.0, 30.0]
    with pytest.raises(TypeError):
        ba._map_coldata_to_vars(COLDATA, (v for v in x.tolist()))


def test_no_leaks(model, x):
    v = x.tolist()
    td = tvp.tupledict(enumerate(v))
    assert_no_leak(lambda: ba._map_coldata_to_vars(COLDATA, td))
    assert_no_leak(lambda: ba._map_coldata_to_vars(COLDATA, [x, x]))
    assert_no_leak(lambda: ba._extract_varlike_cindex(x[:1], model))
    def refused():
        try:
            ba._extract_varlike_cindex(v[0], tvp.Model())
        except tvp.TovrixError:
            pass
    assert_no_leak(refused, repeat=300)
