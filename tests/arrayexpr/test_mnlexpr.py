"""MNLExpr: storage, factories, operand coercion, indexing, item assignment,
printing and the model hook."""

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from helpers import assert_no_leak, run_optimized

MNLExpr, NLExpr, ExprTree = tvp.MNLExpr, tvp.NLExpr, tvp._core._ExprTree


def tree(node):
    """A node as nested tuples: (opname, value or var, children...)."""
    if not isinstance(node, ExprTree):
        return node
    head = {"constant": node._value, "variable": node._var}.get(node._opname)
    return (node._opname, head) + tuple(tree(c) for c in node._children)


def V(v):
    return ("variable", v)


def C(c):
    return ("constant", c)


def roots(m):
    return [c._root for c in m._nlearr.flat]


@pytest.fixture
def m(x):
    return MNLExpr._from_mvar(x)


def test_class_facts():
    assert MNLExpr.__bases__ == (tvp.GenExpr,)
    assert MNLExpr.__array_priority__ == 100 and type(MNLExpr.__array_priority__) is int
    assert MNLExpr.__hash__ is None
    assert MNLExpr.sum.__doc__.startswith("ROUTINE:\n  sum(axis=None)")
    assert "Sum the elements of the MNLExpr." in MNLExpr.sum.__doc__
    for name in ("__getitem__", "item", "__add__", "_from_mvar"):
        assert getattr(MNLExpr, name).__doc__ is None


def test_constructor_stores_the_array_itself_and_properties_read_it(m):
    arr = m._nlearr
    n = MNLExpr(arr)
    assert n._nlearr is arr and (n.shape, n.size, n.ndim) == ((3,), 3, 1)
    with pytest.raises(TypeError, match="takes"):
        MNLExpr()
    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        MNLExpr(arr, foo=1)


def test_factories_make_one_cell_per_element(x):
    m = MNLExpr._from_mvar(x)
    assert m._nlearr.dtype == object and m.shape == (3,)
    assert [tree(r) for r in roots(m)] == [V(v) for v in x.tolist()]
    c = MNLExpr._from_ndarray(np.array([[1, 2]]))
    assert c.shape == (1, 2) and [tree(r) for r in roots(c)] == [C(1.0), C(2.0)]
    assert MNLExpr._from_ndarray(np.zeros((0, 3))).shape == (0, 3)
    assert MNLExpr._from_mvar(x[:0]).shape == (0,)


def test_factories_return_the_class_they_are_called_on(x):
    class Sub(MNLExpr):
        pass
    assert type(Sub._from_mvar(x)) is Sub
    assert type(Sub._from_ndarray(np.ones(2))) is Sub
    assert type(Sub._from_mlinexpr(x * 2.0)) is Sub
    # Indexing always gives the base class.
    assert type(Sub._from_mvar(x)[0:1]) is MNLExpr


def test_from_mlinexpr_keeps_a_compact_operand_compact(x, y):
    e = 2.0 * x + 1.0
    assert e._is_compact
    m = MNLExpr._from_mlinexpr(e)
    assert e._is_compact and m.shape == (3,)
    first = tree(m._nlearr[0]._root)
    assert first == ("plus", None, ("multiply", None, C(2.0), V(x.tolist()[0])), C(1.0))


# --- coercion -----------------------------------------------------------------


def test_coercion_of_each_kind(model, x, m):
    coerce = MNLExpr._coerce_to_exprtree_array
    got = coerce(m)
    assert got.shape == (3,) and all(g is r for g, r in zip(got, roots(m)))
    assert [tree(t) for t in coerce(x)] == [V(v) for v in x.tolist()]
    assert [tree(t) for t in coerce(np.array([1, 2]))] == [C(1.0), C(2.0)]
    zero = coerce(np.array(4.5))
    assert zero.shape == () and tree(zero.item()) == C(4.5)
    for empty in (m[:0], x[:0], np.zeros(0)):
        assert coerce(empty).shape == (0,)


@pytest.mark.parametrize("value", [[1.0, 2.0], 3.0, sp.eye(2), None, "a"])
def test_coercion_refuses_other_operands(value):
    with pytest.raises(TypeError) as err:
        MNLExpr._coerce_to_exprtree_array(value)
    assert str(err.value) == "Unsupported operand '%s'" % value


def test_coercion_of_float_failures_passes_through():
    with pytest.raises(TypeError):
        MNLExpr._coerce_to_exprtree_array(np.array([1.0, None], dtype=object))


# --- indexing -----------------------------------------------------------------


@pytest.fixture
def m2(model):
    x = model.addMVar((2, 3))
    model.update()
    return MNLExpr._from_mvar(x)


def test_single_cell_is_shared_in_a_0d_array(m2):
    sub = m2[1, 2]
    assert type(sub) is MNLExpr and sub.shape == ()
    assert sub._nlearr.item() is m2._nlearr[1, 2]
    it = sub.item()
    assert isinstance(it, NLExpr) and it is not m2._nlearr[1, 2]
    assert it._root is m2._nlearr[1, 2]._root


@pytest.mark.parametrize("index, shared", [
    (np.s_[0:2], True),
    (np.s_[0], True),
    (np.s_[:, ::2], True),
    (np.s_[..., 1], True),
    (np.s_[[0, 1]], False),
    (np.s_[np.array([True, False])], False),
    (np.s_[:, [0, 2]], False),
])
def test_views_share_cells_and_new_arrays_copy_them(m2, index, shared):
    sub = m2[index]
    expect = m2._nlearr[index]
    assert sub.shape == expect.shape
    same = [a is b for a, b in zip(sub._nlearr.flat, expect.flat)]
    assert all(same) if shared else not any(same)
    # Copies carry the same trees.
    assert [c._root for c in sub._nlearr.flat] == [c._root for c in expect.flat]


def test_view_decision_reads_memory_not_base(m2):
    # A selection NumPy makes as a fresh array whose `base` is set anyway
    # (an integer-array index on a non-first axis) must not share cells.
    sub = m2[:, [0, 2]]
    sub[0, 0] = 9.0
    assert tree(m2._nlearr[0, 0]._root) != C(9.0)
    # And a view shares them: assignment through it reaches m2.
    view = m2[0:1]
    view[0, 0] = 7.0
    assert tree(m2._nlearr[0, 0]._root) == C(7.0)


def test_index_errors_pass_through(m2):
    with pytest.raises(IndexError):
        m2[5]
    with pytest.raises(ValueError):
        m2.item()


# --- item assignment ----------------------------------------------------------


def test_setitem_rebinds_roots_of_existing_cells(model, m):
    cells = list(m._nlearr)
    v = model.addMVar(2)
    model.update()
    m[[0, 2]] = v
    assert list(m._nlearr) == cells
    assert [tree(r) for r in roots(m)] == [V(v.tolist()[0]), tree(cells[1]._root),
                                         V(v.tolist()[1])]
    m[...] = 3.0
    assert len({id(r) for r in roots(m)}) == 1 and tree(m._nlearr[0]._root) == C(3.0)


def test_setitem_reaches_every_array_sharing_the_cells(m):
    view = m[0:2]
    m[1] = 5.0
    assert tree(view._nlearr[1]._root) == C(5.0)


@pytest.mark.parametrize("value", ["var", "linexpr", "quadexpr", "nlexpr", 2, np.float32(2.0)])
def test_setitem_scalar_kinds(model, m, value):
    v = model.addVar()
    value = {"var": v, "linexpr": 2.0 * v + 1.0, "quadexpr": v * v,
             "nlexpr": NLExpr._from_var(v)}.get(value, value) if isinstance(value, str) else value
    m[0] = value
    assert m._nlearr[0]._root is not None
    assert tree(m._nlearr[0]._root) == tree(NLExpr._coerce_to_exprtree(value))


def test_setitem_row_with_array_and_refused_list(model):
    x = model.addMVar((3, 2))
    m = MNLExpr._from_mvar(x)
    with pytest.raises(ValueError, match=r"^Cannot assign <class 'list'> to MNLExpr$"):
        m[0] = [1.0, 2.0]
    m[0] = np.array([1.0, 2.0])
    assert [tree(c._root) for c in m._nlearr[0]] == [C(1.0), C(2.0)]


@pytest.mark.parametrize("index, value", [
    (0, "mvar2"),            # would enlarge the single-cell selection
    (np.s_[0:2], "mvar3"),   # shapes do not broadcast
    ([], 1.0),               # empty selection
    (np.s_[0:2], np.zeros(0)),
    (np.s_[0:2], np.array([1.0, "a"], dtype=object)),  # a cell float() refuses
])
def test_refused_assignment_changes_nothing(model, m, index, value):
    value = {"mvar2": model.addMVar(2), "mvar3": model.addMVar(3)}.get(value, value) \
        if isinstance(value, str) else value
    before = roots(m)
    with pytest.raises(ValueError):
        m[index] = value
    assert roots(m) == before


def test_refused_kind_is_checked_after_the_index(m):
    with pytest.raises(IndexError):
        m[7] = [1.0]


# --- printing and the model hook ----------------------------------------------


def test_repr(model, m2):
    text = repr(m2)
    first, rest = text.split("\n", 1)
    assert first == "<MNLExpr (2, 3)>" and "dtype" not in text
    assert rest.startswith("array([[ C0,  C1,  C2],") and rest.endswith(" C5]])")
    assert repr(m2[0, 1]) == "<MNLExpr ()>\narray( C1)"
    assert repr(m2[:, :1][0]) == "<MNLExpr (1,)>\narray([ C0])"


def test_repr_keeps_the_users_print_options(m2):
    with np.printoptions(threshold=3, edgeitems=1):
        before = np.get_printoptions()
        text = repr(m2)
        assert np.get_printoptions() == before
    assert "..." in text
    # An error in a cell's text leaves the options restored too.
    m2._nlearr[0, 0] = NLExpr(object.__new__(BadStr))
    opts = np.get_printoptions()
    with pytest.raises(RuntimeError, match="no text"):
        repr(m2)
    assert np.get_printoptions() == opts


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


def test_add_as_constr_hands_over_to_the_model(model):
    x = model.addMVar(3)
    r = model.addMVar(3)
    model.update()
    m = x / 2.0 + x.nl
    calls = []

    class Recorder:
        def addGenConstrNL(self, *args, **kw):
            calls.append((args, kw))
            return "made"
    assert m._addAsConstr(Recorder(), r, "n") == "made"
    assert calls == [((r, m, "n"), {})]
    gc = m._addAsConstr(model, r, "g")
    assert isinstance(gc, tvp.MGenConstr) and gc.shape == (3,)
    model.update()
    assert model.NumGenConstrs == 3


def test_no_leaks(model, m2):
    x = model.addMVar((2, 3))
    model.update()
    arr = np.ones((2, 3))
    assert_no_leak(lambda: MNLExpr._from_mvar(x), repeat=200)
    assert_no_leak(lambda: MNLExpr._from_ndarray(arr), repeat=200)
    assert_no_leak(lambda: MNLExpr._from_mlinexpr(x * 2.0), repeat=200)
    assert_no_leak(lambda: (m2[0, 1], m2[[0, 1]], m2[0:1]), repeat=200)
    assert_no_leak(lambda: m2.__setitem__(np.s_[0], arr[0]), repeat=200)
    assert_no_leak(lambda: repr(m2), repeat=100)



def test_coercion_of_quadratic_arrays(model):
    x = model.addMVar(2)
    y = model.addMVar(2)
    model.update()
    (x0, x1), (y0, y1) = x.tolist(), y.tolist()
    q = x * y
    assert [tree(t) for t in MNLExpr._coerce_to_exprtree_array(q)] == \
        [("multiply", None, V(x0), V(y0)), ("multiply", None, V(x1), V(y1))]
    q += np.array([1.0, 2.0])
    trees = MNLExpr._coerce_to_exprtree_array(q)
    # Linear term nodes first, then the quadratic ones, under one sum node.
    assert tree(trees[1]) == ("plus", None, C(2.0), ("multiply", None, V(x1), V(y1)))
    compact = x @ sp.csr_matrix(np.array([[1.0, 2.0], [0.0, 3.0]])) @ x
    assert compact._is_compact and compact.shape == ()
    t = MNLExpr._coerce_to_exprtree_array(compact)
    assert t.shape == () and compact._is_compact
    assert [c[0] for c in tree(t.item())[2:]] == ["square", "multiply", "multiply"]
    m = MNLExpr._from_mquadexpr(q)
    assert type(m) is MNLExpr
    assert [tree(c._root) for c in m._nlearr] == [tree(t) for t in trees]
    with pytest.raises(ValueError):
        MNLExpr._coerce_to_exprtree_array(tvp.MQuadExpr._zeros_full((0,)))


def test_numeric_arrays_larger_than_a_buffer_in_any_layout():
    # Casting to objects runs through NumPy's buffers; every chunk must land.
    a = np.arange(20001).reshape(3, 6667)[:, ::-1]
    m = MNLExpr._from_ndarray(a)
    assert m.shape == a.shape
    assert [c._root._value for c in m._nlearr.flat] == [float(v) for v in a.flat]
    t = MNLExpr._coerce_to_exprtree_array(a.T)
    assert [n._value for n in t.flat] == [float(v) for v in a.T.flat]


MISMATCH = """
import numpy as np
import zudirivi as tvp
m = tvp.Model()
x = m.addMVar(2)
m.update()
q = x * x
q._qearr = q._qearr[:1]
"""


def test_quadratic_shape_assertion_only_with_assertions_enabled():
    scope = {}
    exec(MISMATCH, scope)
    with pytest.raises(AssertionError):
        MNLExpr._coerce_to_exprtree_array(scope["q"])
    run_optimized(MISMATCH + "print(tvp.MNLExpr._coerce_to_exprtree_array(q).shape)",
                  expected="(2,)")
