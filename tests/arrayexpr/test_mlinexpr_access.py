"""MLinExpr: printing, element access and item assignment."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
from zudirivi._arrayexpr import MLinExpr
from zudirivi._core import LinExpr, Model
from oracle import full, terms


@pytest.fixture
def model():
    return Model()


@pytest.fixture
def x(model):
    return model.addMVar(3)


def numbered(shape):
    """A full expression whose cell k holds the constant k."""
    e = MLinExpr._zeros_full(shape)
    for k, le in enumerate(e._learr.flat):
        le.addConstant(float(k))
    return e


def constants(e):
    return [le.constant for le in e._learr.flat]


# --- repr and item --------------------------------------------------------------


def test_repr_marks_the_state(x):
    e = MLinExpr._from_mvar(x)
    assert repr(e).startswith("<MLinExpr (3,)  >\n")
    assert repr(MLinExpr.zeros(3)).startswith("<MLinExpr (3,) >\n")
    e._add_matmul_part(np.ones((3, 1)), x[0:1])
    assert repr(e).startswith("<MLinExpr (3,)   >\n") and e._is_compact
    f = MLinExpr._zeros_full((2, 2))
    text = repr(f)
    assert text.startswith("<MLinExpr (2, 2)>\n") and "dtype" not in text
    assert text.endswith("])") and " 0.0" in text
    assert repr(MLinExpr._zeros_full(0)) == "<MLinExpr (0,)>\narray([])"
    assert repr(MLinExpr._zeros_full(())) == "<MLinExpr ()>\narray( 0.0)"


def test_item(x):
    e = MLinExpr._from_mvar(x)
    assert terms(e[1].item()) == terms(e._learr[1])
    c = MLinExpr._from_mvar(x[0:1])
    le = c.item()
    assert c._is_compact and terms(le) == (0.0, [1.0], [id(x._vararr[0])])
    with pytest.raises(ValueError):
        MLinExpr._from_mvar(x).item()
    f = MLinExpr._zeros_full((1, 1))
    le = f.item()
    le.addConstant(1.0)
    assert f._learr[0, 0].constant == 0.0


# --- indexing -------------------------------------------------------------------


def test_single_cell_is_the_very_cell(x):
    e = MLinExpr._from_mvar(x)
    one = e[1]
    assert not e._is_compact and one.shape == () and one._learr.item() is e._learr[1]
    one += 1.0
    assert e._learr[1].constant == 1.0


@pytest.mark.parametrize(
    "index, shares",
    [(np.s_[0:2], True), (np.s_[..., 1], True), (np.s_[None, 0], True), (np.s_[1], True),
     (np.s_[[0, 1]], False), (np.s_[:, [0, 2]], False), (np.s_[np.array([True, False])], False),
     (np.s_[[[0], [1]], [1, 2]], False)],
)
def test_view_or_copy(index, shares):
    e = numbered((2, 3))
    sub = e[index]
    expected = np.asarray(e._learr[index])
    assert sub.shape == expected.shape and type(sub) is MLinExpr
    if shares:
        assert all(a is b for a, b in zip(sub._learr.flat, expected.flat))
    else:
        assert not any(a is b for a in sub._learr.flat for b in e._learr.flat)
        assert constants(sub) == [le.constant for le in expected.flat]
    sub += 10.0
    assert sum(constants(e)) == 15.0 + (10.0 * sub.size if shares else 0.0)


def test_index_errors_pass_through(x):
    e = MLinExpr._from_mvar(x)
    with pytest.raises(IndexError):
        e[5]
    assert not e._is_compact


# --- item assignment -----------------------------------------------------------


def test_assign_linexpr_and_var(model, x):
    e = MLinExpr._from_mvar(x)
    v = model.addVar()
    le = LinExpr(2.0, v)
    le.addConstant(3.0)
    cell = None
    e[1] = le
    cell = e._learr[1]
    assert not e._is_compact and terms(cell) == terms(le) and cell is not le
    le.addTerms([1.0], [v])
    assert len(cell.var_list) == 1
    assert terms(e._learr[0])[2] == [id(x._vararr[0])]
    e[:] = v
    assert full(e) == [(0.0, [1.0], [id(v)])] * 3
    assert len({id(c.coef_list) for c in e._learr}) == 3
    own = e._learr[0]
    own.addConstant(4.0)
    e[:] = own  # the cell itself is left, the others copy it
    assert e._learr[0] is own and constants(e) == [4.0, 4.0, 4.0]
    e[[0, 0]] = le
    assert terms(e._learr[0]) == terms(le)
    e[..., 0] = le


@pytest.mark.parametrize(
    "value, expected",
    [(5.0, [5.0, 5.0, 5.0]), ([1, 2, 3], [1.0, 2.0, 3.0]), (np.array([1, 2, 3]), [1.0, 2.0, 3.0]),
     (np.float32(2.0), [2.0, 2.0, 2.0]), ((7,), [7.0, 7.0, 7.0])],
)
def test_assign_numbers(x, value, expected):
    e = MLinExpr._from_mvar(x)
    cells = list(e[:]._learr)
    e[:] = value
    assert list(e._learr) == cells and full(e) == [(c, [], []) for c in expected]


def test_assign_mvar_and_expressions(model, x):
    e = numbered(3)
    y = model.addMVar(2)
    e[0:2] = y
    assert full(e)[:2] == [(0.0, [1.0], [id(v)]) for v in y._vararr]
    f = MLinExpr._from_mvar(x, force_full=True)
    f._learr[0].addConstant(1.0)
    e[:] = f
    assert full(e) == full(f) and not any(a is b for a, b in zip(e._learr, f._learr))
    f._learr[0].addConstant(1.0)
    assert e._learr[0].constant == 1.0
    g = MLinExpr._from_mvar(x)
    g._add_matmul_part(np.ones((3, 1)), x[0:1])
    e[:] = g
    assert g._is_compact and len(g._matmulparts) == 1
    assert [len(le.var_list) for le in e._learr] == [2, 2, 2]
    e[[0, 0]] = np.array([1.0, 2.0])  # cell 0 emptied once, then gets both
    assert full(e)[0] == (3.0, [], [])


@pytest.mark.parametrize(
    "index, value, error",
    [(0, {}, ValueError), (0, None, ValueError), (np.s_[:], [1.0, None, 2.0], ValueError),
     (0, "abc", ValueError), (np.s_[:], np.ones(4), ValueError),
     (np.s_[:], np.ones(3) * 1j, TypeError), (np.s_[0:2], MLinExpr._zeros_full(3), ValueError),
     (np.s_[..., 0], 1.0, IndexError), (np.s_[0:0], 1.0, ValueError),
     (np.s_[0:0], LinExpr(), ValueError), (7, 1.0, IndexError)],
)
def test_refused_assignment_leaves_cells(model, index, value, error):
    e = MLinExpr._from_mvar(model.addMVar(3), force_full=True)
    before = full(e)
    with pytest.raises(error) as info:
        e[index] = value
    if error is ValueError and not isinstance(value, (np.ndarray, MLinExpr, LinExpr, float)):
        assert str(info.value) == f"Cannot assign {type(value)} to MLinExpr"
    assert full(e) == before


def test_refused_value_of_an_mvar_shape(model):
    e = numbered(3)
    with pytest.raises(ValueError):
        e[:] = model.addMVar(2)
    assert constants(e) == [0.0, 1.0, 2.0]


class _Raising:
    def __init__(self, exc):
        self.exc = exc

    def __array__(self, *args, **kwargs):
        raise self.exc


@pytest.mark.parametrize("exc, error", [
    (KeyError("k"), ValueError),            # a value that does not convert: refused
    (TypeError("t"), ValueError),
    (MemoryError(), MemoryError),           # no memory, interruptions: passed through
    (KeyboardInterrupt(), KeyboardInterrupt),
])
def test_conversion_errors_that_are_not_about_the_value_pass_through(exc, error):
    e = numbered(3)
    with pytest.raises(error) as info:
        e[:] = _Raising(exc)
    if error is ValueError:
        assert str(info.value) == f"Cannot assign {_Raising} to MLinExpr"
    else:
        assert info.value is exc
    assert constants(e) == [0.0, 1.0, 2.0]


def test_compact_target_is_converted_even_when_refused(x):
    e = MLinExpr._from_mvar(x)
    with pytest.raises(ValueError, match="Cannot assign <class 'dict'> to MLinExpr"):
        e[0] = {}
    assert not e._is_compact


@pytest.mark.parametrize("index", [np.s_[0:2], np.s_[[0, 2]], np.s_[1], np.s_[-1], np.s_[::2]])
def test_augmented_assignment_changes_each_cell_once(index):
    e = numbered(3)
    cells = list(e._learr)
    e[index] += 1.0
    expected = np.arange(3.0)
    expected[index] += 1.0
    assert constants(e) == list(expected) and list(e._learr) == cells


@pytest.mark.parametrize("index", [np.s_[:, [0, 2]], np.s_[[1, 0], 1:], np.s_[1, [2, 2]]])
def test_augmented_assignment_with_array_index_on_later_axis(index):
    e = numbered((2, 3))
    e[index] += 1.0
    expected = np.arange(6.0).reshape(2, 3)
    expected[index] += 1.0
    assert constants(e) == list(expected.flat)


def test_no_leaks(model):
    x = model.addMVar(6)
    E = MLinExpr._from_mvar(model.addMVar((2, 3)), force_full=True)
    le = LinExpr(2.0, x._vararr[0])

    def index():
        E[0]
        E[:, 1]
        E[:, [0, 2]]
        E[0, 1]

    def assign():
        F = MLinExpr._zeros_full((2, 3))
        F[0] = le
        F[1] = x[0:3]
        F[:, 1] = np.ones(2)
        F[:] = E
        F[0, [0, 2]] += 1.0
        try:
            F[0] = None
        except ValueError:
            pass

    for fn in (index, assign):
        assert_no_leak(fn, repeat=2000, warmup=200, tolerance=400)
