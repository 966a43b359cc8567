"""MNLExpr: matrix products through the kernels, their term callbacks, and
sum over axes."""

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi import _arrayexpr as ax
from helpers import assert_no_leak
from test_mnlexpr import C, roots, tree

MNLExpr, NLExpr, ExprTree = tvp.MNLExpr, tvp.NLExpr, tvp._core._ExprTree


@pytest.fixture
def m23(model):
    x = model.addMVar((2, 3))
    model.update()
    return MNLExpr._from_mvar(x)


def grid(m):
    return np.array([c._root for c in m._nlearr.flat], dtype=object).reshape(m.shape)


# --- term callbacks -----------------------------------------------------------


def test_sum_terms(model):
    t = ExprTree._from_var(model.addVar())
    one = MNLExpr._sum_terms([t])
    assert isinstance(one, NLExpr) and one._root is t
    none = MNLExpr._sum_terms([])
    assert tree(none._root) == ("plus", None)
    two = MNLExpr._sum_terms((t, t))
    assert two._root._opname == "plus" and two._root._children == (t, t)


@pytest.mark.parametrize("one", [1, 1.0, np.float64(1.0), np.int32(1)])
def test_sparse_terms_with_coefficient_one_are_the_node_itself(model, one):
    t = ExprTree._from_var(model.addVar())
    assert MNLExpr._multiply_term_sparse_right(t, one) is t
    assert MNLExpr._multiply_term_sparse_left(one, t) is t


@pytest.mark.parametrize("term", [
    lambda t, c: MNLExpr._multiply_term_sparse_right(t, c),
    lambda t, c: MNLExpr._multiply_term_sparse_left(c, t),
])
@pytest.mark.parametrize("coef", [2.5, 0.0, np.float64(-1.0)])
def test_sparse_terms_put_the_constant_first(model, term, coef):
    t = ExprTree._from_var(model.addVar())
    r = term(t, coef)
    assert r._opname == "multiply" and tree(r._children[0]) == C(float(coef))
    assert r._children[1] is t


# --- products -----------------------------------------------------------------


def test_sparse_right_product(m23):
    A = sp.csr_matrix(np.array([[1.0, 0.0], [2.5, 1.0], [0.0, 0.0]]))
    r = m23 @ A
    g = grid(m23)
    assert type(r) is MNLExpr and r.shape == (2, 2)
    for i in range(2):
        c0 = r._nlearr[i, 0]._root
        assert c0._opname == "plus" and c0._children[0] is g[i, 0]
        scaled = c0._children[1]
        assert tree(scaled._children[0]) == C(2.5) and scaled._children[1] is g[i, 1]
        # A cell with one term holds that term itself.
        assert r._nlearr[i, 1]._root is g[i, 1]
    assert sp.isspmatrix_csr(A)


def test_sparse_left_product(m23):
    A = sp.coo_matrix(np.array([[3.0, 1.0]]))
    r = A @ m23
    g = grid(m23)
    assert r.shape == (1, 3)
    for j in range(3):
        c = r._nlearr[0, j]._root
        first, second = c._children
        assert tree(first._children[0]) == C(3.0) and first._children[1] is g[0, j]
        assert second is g[1, j]


@pytest.mark.parametrize("kind", ["mvar", "mlinexpr", "mnlexpr", "ndarray"])
def test_dense_products_multiply_every_pair(model, m23, kind):
    x = model.addMVar((3, 2))
    model.update()
    other = {"mvar": x, "mlinexpr": x + 0.0, "mnlexpr": x.nl, "ndarray": np.ones((3, 2))}[kind]
    trees = MNLExpr._coerce_to_exprtree_array(other)
    r = m23 @ other
    assert r.shape == (2, 2)
    g = grid(m23)
    cell = r._nlearr[1, 0]._root
    assert cell._opname == "plus" and len(cell._children) == 3
    for k, term in enumerate(cell._children):
        assert term._opname == "multiply" and term._children[0] is g[1, k]
        assert tree(term._children[1]) == tree(trees[k, 0])


def test_reflected_dense_product_puts_the_other_operand_left(model, m23):
    x = model.addMVar((4, 2))
    model.update()
    r = m23.__rmatmul__(x)
    assert r.shape == (4, 3)
    cell = r._nlearr[3, 2]._root
    assert [tree(t._children[0]) for t in cell._children] == \
        [("variable", x.tolist()[3][k]) for k in range(2)]
    assert [t._children[1] for t in cell._children] == list(grid(m23)[:, 2])
    assert m23.__rmatmul__(m23) is NotImplemented


@pytest.mark.parametrize("other", [3.0, [1, 2, 3], "var", "linexpr", "nlexpr"])
def test_unsupported_product_operands(model, m23, other):
    v = model.addVar()
    o = {"var": v, "linexpr": 2.0 * v, "nlexpr": NLExpr._from_var(v)}.get(other, other) \
        if isinstance(other, str) else other
    assert m23.__matmul__(o) is NotImplemented
    assert m23.__rmatmul__(o) is NotImplemented
    with pytest.raises(TypeError):
        m23 @ o


def test_products_hand_the_static_callbacks_to_the_kernels(monkeypatch, m23):
    seen = []

    def kernel(name):
        def k(left, right, f_multiply, f_sum):
            seen.append((name, left, right, f_multiply, f_sum))
            return np.array(NLExpr(ExprTree._from_constant(0.0)))
        return k
    for name in ("_dense_matmul_kernel", "_sparse_right_matmul_kernel",
                 "_sparse_left_matmul_kernel"):
        monkeypatch.setattr(ax, name, kernel(name))
    A = sp.csr_matrix(np.ones((3, 3)))
    for r in (m23 @ np.ones(3), m23 @ A, MNLExpr(m23._nlearr.T).__rmatmul__(A)):
        assert type(r) is MNLExpr and r.shape == ()
    (n1, l1, r1, fm1, fs1), (n2, l2, r2, fm2, fs2), (n3, l3, r3, fm3, fs3) = seen
    assert n1 == "_dense_matmul_kernel" and fm1 == ExprTree._from_multiply
    assert fs1 is MNLExpr._sum_terms and fs2 is MNLExpr._sum_terms and fs3 is MNLExpr._sum_terms
    assert n2 == "_sparse_right_matmul_kernel" and r2 is A
    assert fm2 is MNLExpr._multiply_term_sparse_right
    assert n3 == "_sparse_left_matmul_kernel" and l3 is A
    assert fm3 is MNLExpr._multiply_term_sparse_left
    assert list(l1.flat) == roots(m23) and list(r3.flat) == list(grid(m23).T.flat)


def test_matmul_assignment_rebinds_to_a_new_object(m23):
    a = m23
    a @= np.ones((3, 1))
    assert a is not m23 and a.shape == (2, 1)


# --- sum ----------------------------------------------------------------------


def test_sum_all_and_by_axis(m23):
    g = grid(m23)
    total = m23.sum()
    assert type(total) is MNLExpr and total.shape == ()
    assert total._nlearr.item()._root._children == tuple(g.flat)
    s0 = m23.sum(axis=0)
    assert s0.shape == (3,)
    assert [c._root._children for c in s0._nlearr] == [tuple(g[:, j]) for j in range(3)]
    s1 = m23.sum(axis=1)
    assert [c._root._children for c in s1._nlearr] == [tuple(g[i]) for i in range(2)]
    assert m23.sum(axis=-1)._nlearr[0]._root._children == tuple(g[0])


def test_sum_of_an_axis_of_length_one_still_adds(model):
    e = MNLExpr._from_mvar(model.addMVar((1, 2)))
    r = e.sum(axis=0)
    assert [tree(c._root)[0] for c in r._nlearr] == ["plus", "plus"]
    assert [c._root._children for c in r._nlearr] == [(t,) for t in roots(e)]


@pytest.mark.parametrize("shape, axis, result", [
    ((0,), None, ()),
    ((0, 3), 0, (3,)),
    ((2, 0), 0, (0,)),
    ((2, 0), 1, (2,)),
    ((), None, ()),
])
def test_sum_of_empty_and_0d(model, shape, axis, result):
    e = MNLExpr._from_mvar(model.addMVar(shape))
    r = e.sum(axis=axis)
    assert r.shape == result
    for c in r._nlearr.flat:
        expect = (roots(e)[0],) if shape == () else ()
        assert c._root._opname == "plus" and c._root._children == expect


def test_sum_uses_the_core_addition(monkeypatch, m23):
    calls = []

    class FakeNL:
        @staticmethod
        def _from_plus(*cells):
            calls.append(cells)
            return "cell"
    monkeypatch.setattr(ax, "NLExpr", FakeNL)
    r = m23.sum(axis=1)
    assert list(r._nlearr) == ["cell", "cell"]
    assert calls == [tuple(m23._nlearr[0]), tuple(m23._nlearr[1])]


@pytest.mark.parametrize("axis, text", [(5, "5"), (-3, "-3"), ((0, 3), "(0, 3)")])
def test_sum_refuses_bad_axes(m23, axis, text):
    with pytest.raises(tvp.TovrixError) as err:
        m23.sum(axis=axis)
    assert err.value.errno == -1
    assert err.value.message == "Invalid axis specifications: " + text
    assert isinstance(err.value.__context__, IndexError)


def test_sum_refuses_a_read_only_array(m23):
    m23._nlearr.flags.writeable = False
    with pytest.raises(ValueError):
        m23.sum()


def test_sum_of_a_transposed_array(m23):
    t = MNLExpr(m23._nlearr.T)
    s = t.sum(axis=1)
    assert [c._root._children for c in s._nlearr] == \
        [tuple(grid(m23)[:, j]) for j in range(3)]


def test_no_leaks(m23):
    A = sp.csr_matrix(np.array([[1.0, 0.0], [2.5, 1.0], [0.0, 3.0]]))
    B = np.ones((3, 2))

    C = sp.csr_matrix(np.array([[1.0, 2.0]]))

    def ops():
        m23 @ A, C @ m23, m23 @ B, m23.sum(), m23.sum(axis=0)
    assert_no_leak(ops, repeat=200)

    def refused():
        try:
            m23.sum(axis=7)
        except tvp.TovrixError:
            pass
    assert_no_leak(refused, repeat=200)
