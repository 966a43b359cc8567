"""MLinExpr products of a constant matrix with a variable array: A @ x, x @ A."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MVar
from oracle import terms

RNG = np.random.default_rng(7)


@pytest.fixture(params=[1, 0], ids=["compact", "full"])
def keep(request):
    MLinExpr._keep_compact = request.param
    try:
        yield request.param
    finally:
        MLinExpr._keep_compact = 1


def solve(model):
    model.update()
    model._loadSolution(RNG.random(model.NumVars).tolist())


def matrix(kind, shape):
    """A matrix of `kind` with some zeros, as the operand and as floats."""
    dense = RNG.random(shape) * (RNG.random(shape) < 0.6)
    if kind == "ndarray":
        return dense, dense
    if kind == "int ndarray":
        ints = (dense * 10).astype(np.int64)
        return ints, ints.astype(float)
    if kind == "csr int64":
        A = sp.csr_matrix(dense)
        A.indices = A.indices.astype(np.int64)
        A.indptr = A.indptr.astype(np.int64)
        return A, dense
    return sp.csr_matrix(dense).asformat(kind), dense


KINDS = ["ndarray", "int ndarray", "csr", "csc", "coo", "csr int64"]


def cases(shapes, matrix_at):
    """(kind, shapes...) for every kind; one-dimensional matrices dense only."""
    return [(k,) + s for s in shapes for k in KINDS if len(s[matrix_at]) == 2 or "ndarray" in k]


@pytest.mark.parametrize(
    "kind, ashape, xshape",
    cases([((5, 4), (4,)), ((5, 4), (4, 1)), ((5, 4), (4, 3)), ((4,), (4,)), ((4,), (4, 3)),
           ((1, 4), (4, 2)), ((5, 1), (1, 3))], 0),
)
def test_right_product_values_and_state(model, keep, kind, ashape, xshape):
    A, dense = matrix(kind, ashape)
    x = model.addMVar(xshape)
    e = A @ x
    assert type(e) is MLinExpr
    want_shape = (dense @ np.zeros(xshape)).shape
    assert e.shape == want_shape
    compact = keep == 1 and MLinExpr._allows_compact(want_shape) and MLinExpr._allows_compact(
        xshape)
    assert e._is_compact is compact
    solve(model)
    np.testing.assert_allclose(e.getValue(), dense @ x.X)


@pytest.mark.parametrize(
    "kind, xshape, ashape",
    cases([((4,), (4, 5)), ((1, 4), (4, 5)), ((3, 4), (4, 5)), ((4,), (4,)), ((3, 4), (4,)),
           ((2, 4), (4, 1)), ((3, 1), (1, 5))], 1),
)
def test_left_product_values_and_state(model, keep, kind, xshape, ashape):
    A, dense = matrix(kind, ashape)
    x = model.addMVar(xshape)
    e = x @ A
    assert type(e) is MLinExpr
    want_shape = (np.zeros(xshape) @ dense).shape
    assert e.shape == want_shape
    compact = keep == 1 and MLinExpr._allows_compact(want_shape) and MLinExpr._allows_compact(
        xshape)
    assert e._is_compact is compact
    solve(model)
    np.testing.assert_allclose(e.getValue(), x.X @ dense)


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
@pytest.mark.parametrize("index", [np.int32, np.int64])
def test_compact_product_is_one_csr_copy(model, fmt, index):
    A = sp.random(6, 4, density=0.5, format="csr", random_state=3, dtype=np.float32)
    A.indices, A.indptr = A.indices.astype(index), A.indptr.astype(index)
    A = A.asformat(fmt)
    x = model.addMVar(4)
    e = A @ x
    ((M, xv),) = e._matmulparts
    assert M.format == "csr" and M.dtype == np.float64
    np.testing.assert_array_equal(M.toarray(), A.toarray().astype(np.float64))
    assert not np.shares_memory(M.data, A.data)
    assert xv.shape == (4,) and all(a is b for a, b in zip(xv._vararr, x._vararr))
    assert e._const.dtype == np.float64 and e._const.shape == (6,) and not e._const.any()
    # x @ A stores A transposed, rows sorted
    y = model.addMVar(6)
    f = y @ A
    ((N, yv),) = f._matmulparts
    assert N.format == "csr" and N.has_sorted_indices
    np.testing.assert_array_equal(N.toarray(), A.toarray().T)


def test_full_sparse_cells_follow_stored_entries(model, keep):
    x = model.addMVar((3, 2))
    # row 0: unsorted columns, an explicit zero and a duplicate; row 1 empty
    A = sp.csr_matrix((np.array([2.0, 0.0, 3.0, 1.5]), np.array([2, 0, 2, 1]),
                       np.array([0, 4, 4])), shape=(2, 3))
    e = A @ x
    assert not e._is_compact and e.shape == (2, 2)
    v = x._vararr
    assert terms(e._learr[0, 1]) == (0.0, [2.0, 0.0, 3.0, 1.5],
                                     [id(v[2, 1]), id(v[0, 1]), id(v[2, 1]), id(v[1, 1])])
    assert terms(e._learr[1, 0]) == (0.0, [], [])
    assert A.indices.tolist() == [2, 0, 2, 1]
    # x @ A with an unsorted CSC: terms by increasing row, operand left unsorted
    C = sp.csc_matrix((np.array([4.0, 5.0]), np.array([2, 0]), np.array([0, 2, 2])),
                      shape=(3, 2))
    y = model.addMVar((2, 3))
    f = y @ C
    assert terms(f._learr[1, 0]) == (0.0, [5.0, 4.0], [id(y._vararr[1, 0]),
                                                        id(y._vararr[1, 2])])
    assert terms(f._learr[0, 1]) == (0.0, [], [])
    assert C.indices.tolist() == [2, 0]


def test_full_cells_own_their_lists(model):
    x = model.addMVar((3, 2))
    for A in (sp.csr_matrix(np.ones((2, 3))), np.ones((2, 3))):
        e = A @ x
        a, b = e._learr[0, 0], e._learr[0, 1]
        assert a.coef_list is not b.coef_list and a.var_list is not b.var_list
        a.coef_list.append(9.0)
        assert len(b.coef_list) == 3
    y = model.addMVar((2, 3))
    f = y @ sp.csc_matrix(np.ones((3, 2)))
    assert f._learr[0, 0].coef_list is not f._learr[1, 0].coef_list


def test_dense_cells_hold_every_entry(model):
    x = model.addMVar((3, 2))
    A = np.array([[0, 2, 0]])
    e = A @ x
    assert terms(e._learr[0, 1]) == (0.0, [0.0, 2.0, 0.0], [id(v) for v in x._vararr[:, 1]])
    assert all(type(c) is float for c in e._learr[0, 1].coef_list)


@pytest.mark.parametrize("right", [True, False])
def test_dense_builders_serve_subclasses(model, right):
    class Sub(MLinExpr):
        pass

    x = model.addMVar((2, 2))
    if right:
        dense, sparse = Sub._from_matmul_right_ndarray(np.ones((2, 2)), x), \
            Sub._from_matmul_right_spmatrix(sp.eye(2), x)
    else:
        dense, sparse = Sub._from_matmul_left_ndarray(x, np.ones((2, 2))), \
            Sub._from_matmul_left_spmatrix(x, sp.eye(2))
    assert type(dense) is Sub and type(sparse) is MLinExpr
    assert type(Sub._from_matmul_right(sp.eye(2), model.addMVar(2))) is Sub


@pytest.mark.parametrize(
    "make, shape, parts",
    [
        (lambda x0, x4: np.ones((3, 0)) @ x0, (3,), 1),
        (lambda x0, x4: sp.csr_matrix((3, 0)) @ x0, (3,), 1),
        (lambda x0, x4: x0 @ np.ones((0, 3)), (3,), 0),
        (lambda x0, x4: np.ones((0, 4)) @ x4, (0,), 0),
        (lambda x0, x4: x4 @ sp.csr_matrix((4, 0)), (0,), 0),
    ],
)
def test_empty_products(model, keep, make, shape, parts):
    e = make(model.addMVar(0), model.addMVar(4))
    assert e.shape == shape
    if e._is_compact:
        assert len(e._matmulparts) == parts
    else:
        assert keep == 0 and all(terms(c) == (0.0, [], []) for c in e._learr.flat)
    solve(model)
    np.testing.assert_array_equal(e.getValue(), np.zeros(shape))


def test_factory_errors(model):
    x = model.addMVar(3)
    with pytest.raises(ValueError, match=r"^Cannot construct MLinExpr from \[1, 2\]$") as info:
        MLinExpr._from_matmul_right([1, 2], x)
    assert isinstance(info.value.__context__, AttributeError)
    with pytest.raises(ValueError, match=r"^Cannot construct MLinExpr from abc$"):
        MLinExpr._from_matmul_left("abc", np.ones(3))
    with pytest.raises(ValueError, match="do not match"):
        np.ones((2, 4)) @ x
    with pytest.raises(ValueError, match="do not match"):
        x @ sp.eye(4)
    with pytest.raises(ValueError, match="do not match"):
        np.ones((2, 0)) @ x  # the shape rule comes before the empty test
    with pytest.raises(ValueError, match="more than two dimensions"):
        np.ones((2, 2, 3)) @ x
    with pytest.raises(ValueError, match="Input operand does not have enough dimensions"):
        2.0 @ x

    class Shaped:
        shape = (2, 3)

        def __str__(self):
            return "shaped"

    with pytest.raises(ValueError, match="^Cannot construct MLinExpr from shaped$"):
        MLinExpr._from_matmul_right(Shaped(), model.addMVar((3, 2)))


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^_from_matmul_right\(\) takes exactly 3 positional arguments \(2 given\)$"):
        MLinExpr._from_matmul_right(np.ones(2))
    with pytest.raises(TypeError, match="unexpected keyword argument 'y'"):
        MLinExpr._from_matmul_left(x=None, y=None)


def test_malformed_sparse_is_refused(model):
    x = model.addMVar((3, 2))
    bad = sp.csr_matrix((np.ones(2), np.array([0, 7]), np.array([0, 1, 2])), shape=(2, 3))
    with pytest.raises(ValueError, match="out of range"):
        bad @ x
    bad = sp.csc_matrix((np.ones(2), np.array([0, -1]), np.array([0, 1, 2])), shape=(3, 2))
    with pytest.raises(ValueError, match="out of range"):
        model.addMVar((2, 3)) @ bad


def test_non_variable_cells_are_refused(model):
    row = np.array([[model.addVar(), 2.0]], dtype=object)
    with pytest.raises(TypeError, match="expected a Var in vars, got float"):
        MLinExpr._from_matmul_right_spmatrix(sp.eye(2), MVar(row.T.copy()))
    with pytest.raises(TypeError, match="expected a Var in vars, got float"):
        MLinExpr._from_matmul_left_ndarray(MVar(row), np.ones((2, 1)))


# SciPy's conversions settle their caches slowly (a few hundred blocks over
# thousands of calls); a reference leaked per call grows by at least `repeat`.
LEAK = dict(repeat=2000, warmup=2000, tolerance=1000)


def test_no_leaks(model):
    x, X = model.addMVar(20), model.addMVar((20, 3))
    A = sp.random(10, 20, density=0.3, format="csr", random_state=1)
    D = A.toarray()
    C = A.T.tocsc()
    assert_no_leak(lambda: A @ x, **LEAK)
    assert_no_leak(lambda: A @ X, **LEAK)
    assert_no_leak(lambda: D @ X, **LEAK)
    assert_no_leak(lambda: X.T @ C, **LEAK)
    assert_no_leak(lambda: X.T @ D.T, **LEAK)


@pytest.mark.parametrize("kind", ["csr", "csc", "coo", "ndarray"])
@pytest.mark.parametrize("xshape", [(4,), (4, 1)])
def test_typical_road(model, kind, xshape):
    A, dense = matrix(kind, (3, 4))
    x = model.addMVar(xshape)
    b, c = RNG.random(3), RNG.random(3)
    if len(xshape) == 2:
        b, c = b[:, None], c[:, None]
    expr = A @ x
    ((M, xv),) = expr._matmulparts
    assert expr._is_compact and M.format == "csr" and xv.shape == (4,)
    tc = expr + b <= c
    assert type(tc) is tvp.TempConstr
    lhs = tc._lhs
    assert type(lhs) is MLinExpr and lhs._is_compact and lhs.shape == (3,) + xshape[1:]
    assert tc._sense == tvp.TVX.LESS_EQUAL and tc._rhs is c
    solve(model)
    np.testing.assert_allclose(lhs.getValue(), dense @ x.X + b)
    # x @ A on the same road
    y = model.addMVar((1, 3) if len(xshape) == 2 else 3)
    tc = y @ A + 1.0 >= 0.0
    assert type(tc._lhs) is MLinExpr and tc._lhs._is_compact and tc._sense == ">"
