"""MVar construction, conversions, element indices, printed form, shape ops, indexing."""

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


def test_constructor_keeps_writeable_object_arrays(x):
    a = x._vararr
    assert MVar(a)._vararr is a
    ro = np.broadcast_to(a[0], (2, 3))
    y = MVar(ro)
    assert y._vararr is not ro and y._vararr.flags.writeable
    assert all(p is q for p, q in zip(y._vararr.flat, ro.flat))
    z = MVar(x.tolist()[0])
    assert z.shape == (3,) and z._cmodel is x._cmodel


def test_copy_shares_the_element_array(x):
    y = x.copy()
    assert y is not x and y._vararr is x._vararr
    y._vararr = y._vararr.copy()
    assert x._vararr is not y._vararr


@pytest.mark.parametrize("shape", [(0,), (2, 0), (0, 3, 1)])
def test_empty_mvar(model, shape):
    e = model.addMVar(shape)
    assert e._cmodel is None and e.size == 0 and e.shape == shape
    assert repr(e).startswith("<MVar %s>\n" % (shape,))


def test_fromlist_and_fromvar(model):
    v = [model.addVar() for _ in range(4)]
    a = MVar.fromlist(v[:2])
    assert a.shape == (2,) and a.tolist() == v[:2]
    assert MVar.fromlist([v[:2], v[2:]]).shape == (2, 2)
    assert MVar.fromlist(tuple(v[:2])).shape == (2,)
    empty = MVar.fromlist([])
    assert empty.shape == (0,) and empty._cmodel is None
    with pytest.raises(ValueError, match=r"^MVar.fromlist expects a list of Vars, '5' is not "
                                         r"valid input$"):
        MVar.fromlist([v[0], 5])
    with pytest.raises(ValueError, match="'None' is not valid input"):
        MVar.fromlist([[v[0]], [None]])
    s = MVar.fromvar(v[3])
    assert s.shape == () and s.item() is v[3] and s.tolist() is v[3]
    assert s._cmodel is v[3]._cmodel


def test_tolist_item_and_size_facts(x):
    assert x.tolist()[1][2] is x._vararr[1, 2]
    assert (x.shape, x.ndim, x.size) == ((2, 3), 2, 6)
    with pytest.raises(ValueError):
        x.item()


def test_idxarr_follows_positions(model, x):
    assert x._idxarr().dtype == np.int32
    assert x._idxarr().tolist() == [[0, 1, 2], [3, 4, 5]]
    assert x.T._idxarr().tolist() == [[0, 3], [1, 4], [2, 5]]
    assert x[:, ::-2]._idxarr().tolist() == [[2, 0], [5, 3]]
    gone = x[0, 0].item()
    model.remove(gone)
    model.update()
    pending = model.addVar()
    y = MVar.fromlist([x[1, 1].item(), pending, gone])
    idx = y._idxarr()
    assert idx[1] == -1 and idx[2] <= -2


def test_repr_marks_and_layout(model, x):
    text = repr(x)
    assert text.startswith("<MVar (2, 3)>\narray([[")
    assert text.endswith("]])") and "dtype" not in text
    gone = x[0, 0].item()
    model.remove(gone)
    model.update()
    pending = model.addVar()
    y = MVar.fromlist([pending, gone])
    assert repr(y).startswith("<MVar (2,) *awaiting update* (some removed)>\n")
    assert repr(x[0, 1]).startswith("<MVar ()>\narray(")


@pytest.mark.parametrize("index, shape, view", [
    ((0, 1), (), False),
    (0, (3,), True),
    ((slice(None), 1), (2,), True),
    ((Ellipsis, None), (2, 3, 1), True),
    ([1, 1], (2, 3), False),
    (np.array([[True, False, True], [False, False, True]]), (3,), False),
])
def test_indexing_always_gives_mvar(x, index, shape, view):
    y = x[index]
    assert type(y) is MVar and y.shape == shape
    assert np.shares_memory(y._vararr, x._vararr) == view
    if shape == ():
        assert y.item() is x._vararr[index]


def test_indexing_edges(x):
    s = x[1, 2]
    assert s[()].item() is s.item() and s[()] is not s
    assert x[0:0]._cmodel is None and x[0:0].shape == (0, 3)
    with pytest.raises(IndexError):
        x[2]
    rows = list(x)
    assert len(rows) == 2 and all(r.shape == (3,) for r in rows)
    assert list(s) == []
    with pytest.raises(TypeError):
        len(x)
    with pytest.raises(TypeError):
        x[0] = 1


def test_shape_operations(model, x):
    assert x.T.shape == (3, 2) and x.transpose().shape == (3, 2)
    assert np.shares_memory(x.T._vararr, x._vararr)
    assert x[0].T.shape == (3,) and x[0, 0].T.shape == ()
    sq = model.addMVar((2, 2))
    flat = [v for row in sq.tolist() for v in row]
    assert sq.reshape(-1).tolist() == flat
    assert sq.reshape(4, order="F").tolist() == [flat[0], flat[2], flat[1], flat[3]]
    assert x.reshape(3, 2).tolist() == x.reshape((3, 2)).tolist()
    with pytest.raises(ValueError):
        x.reshape(4)
    with pytest.raises(TypeError):
        x.reshape(6, "F")
    c = model.addMVar((1, 3, 1))
    assert c._squeeze().shape == (3,) and c._squeeze(axis=0).shape == (3, 1)
    with pytest.raises(ValueError):
        c._squeeze(axis=1)


def test_diagonal(model):
    x = model.addMVar((8, 8))
    assert x.diagonal().shape == (8,)
    assert x.diagonal(1).shape == (7,) and x.diagonal(-2).shape == (6,)
    assert x.diagonal(9)._cmodel is None
    assert x[:, ::-1].diagonal().tolist()[0] is x._vararr[0, 7]
    d = x.diagonal()
    d._vararr[0] = None
    assert x._vararr[0, 0] is not None
    t = x.T
    t._vararr[0, 1] = None
    assert x._vararr[1, 0] is None
    with pytest.raises(ValueError):
        x[0].diagonal()


@pytest.mark.parametrize("op", [
    lambda x: x[0, 1], lambda x: x[:, 1], lambda x: x[[0, 1]], lambda x: x.T,
    lambda x: x.reshape(-1), lambda x: MVar(x._vararr), lambda x: x._idxarr(),
    lambda x: repr(x[0]), lambda x: MVar.fromlist(x[0].tolist()),
])
def test_no_leaks_in_construction_and_indexing(x, op):
    assert_no_leak(lambda: op(x), repeat=10000, warmup=2000)
