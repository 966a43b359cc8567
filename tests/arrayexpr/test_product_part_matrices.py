"""Part matrices of compact products are SciPy's own conversions, entry for
entry: the transpose kept by x @ A, and the COO copies kept by quadratic
products and copies (stored order, duplicates and explicit zeros kept)."""

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi._arrayexpr import MQuadExpr

from helpers import assert_no_leak


def csr(data, indices, indptr, shape, itype=np.int32):
    A = sp.csr_matrix((np.array(data, dtype=float), np.array(indices), np.array(indptr)),
                      shape=shape)
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    return A


# Rows of 4 columns: unsorted indices, a duplicate (3, 0), an explicit zero, an empty
# row and an empty column.
ODD = dict(data=[3.0, 1.0, 0.0, 2.0, 2.5, -1.0], indices=[2, 0, 1, 2, 0, 0],
           indptr=[0, 3, 3, 4, 6], shape=(4, 4))

OPERANDS = {
    "odd int32": lambda: csr(**ODD),
    "odd int64": lambda: csr(**ODD, itype=np.int64),
    "odd float32": lambda: csr(**ODD).astype(np.float32),
    "random": lambda: sp.random(4, 4, density=0.6, format="csr", random_state=1),
    "no entries": lambda: sp.csr_matrix((4, 4)),
    "csc": lambda: csr(**ODD).tocsc(),
    "coo": lambda: csr(**ODD).tocoo(),
}


def same_csr(M, ref):
    assert type(M) is type(ref) and M.shape == ref.shape
    for name in ("data", "indices", "indptr"):
        got, want = getattr(M, name), getattr(ref, name)
        assert got.dtype == want.dtype and np.array_equal(got, want), name
    assert M.has_sorted_indices
    M.check_format(full_check=True)


@pytest.mark.parametrize("make", OPERANDS.values(), ids=OPERANDS.keys())
def test_left_product_keeps_scipys_transpose(model, make):
    x = model.addMVar(4)
    A = make()
    before = A.copy()
    (M, xp), = (x @ A)._matmulparts
    ref = sp.csr_matrix(A.T, dtype=np.float64, copy=True)
    ref.sort_indices()
    same_csr(M, ref)
    assert xp._vararr[0] is x._vararr[0]
    assert not np.shares_memory(M.data, A.data)
    assert (A != before).nnz == 0  # the operand is untouched


@pytest.mark.parametrize("itype", [np.int32, np.int64])
@pytest.mark.parametrize("spoil, error, text", [
    (lambda A: setattr(A, "indices", np.array([2, 0, 1, 2, 0, 4])), ValueError,
     "sparse matrix column index out of range"),
    (lambda A: setattr(A, "indices", np.array([2, 0, -1, 2, 0, 2])), ValueError,
     "sparse matrix column index out of range"),
    (lambda A: setattr(A, "indptr", np.array([0, 3, 2, 4, 6])), IndexError,
     "sparse matrix index pointers out of range at row"),
])
def test_left_product_refuses_malformed_operands(model, spoil, error, text, itype):
    x = model.addMVar(4)
    A = csr(**ODD)
    spoil(A)
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    with pytest.raises(error, match=text):
        x @ A


def same_coo(M, ref):
    assert type(M) is type(ref) and M.shape == ref.shape
    for got, want in zip((M.data, M.row, M.col), (ref.data, ref.row, ref.col)):
        assert got.dtype == want.dtype and np.array_equal(got, want)
    assert M.has_canonical_format == ref.has_canonical_format
    assert sorted(vars(M)) == sorted(vars(ref))


@pytest.mark.parametrize("make", [
    lambda: csr(**ODD),
    lambda: csr(**ODD).tocoo(),
    lambda: sp.coo_matrix(np.eye(4)),  # canonical
    lambda: csr(**ODD, itype=np.int64).tocoo(),
    lambda: csr(**ODD).astype(np.float32).tocoo(),
    lambda: np.arange(16.0).reshape(4, 4) - 5,
], ids=["csr", "coo", "canonical coo", "coo int64", "coo float32", "dense"])
def test_quadratic_parts_are_scipys_coo_copies(model, make):
    x = model.addMVar(4)
    Q = make()
    q = MQuadExpr._from_quadfun(x, Q, x, None, None, None)
    (_, M, _), = q._quadparts
    ref = sp.coo_matrix(Q, copy=True, dtype="float")
    same_coo(M, ref)
    (_, C, _), = q._copy_quadparts()
    same_coo(C, M)
    assert not np.shares_memory(C.data, M.data) and not np.shares_memory(C.row, M.row)
    assert not np.shares_memory(C.col, M.col)


def test_product_of_a_left_product_keeps_its_entries(model):
    x = model.addMVar(4)
    model.update()
    A = csr(**ODD)
    e = x @ A
    q = e @ x
    (_, M, _), = q._quadparts
    (L, _), = e._matmulparts
    same_coo(M, sp.coo_matrix(L, copy=True))
    value = np.array([1.0, -2.0, 3.0, 0.5])
    model._loadSolution(value.tolist())
    assert np.isclose(q.getValue(), value @ A.toarray() @ value)
    assert np.isclose((2.0 * q + np.ones(4) @ x).getValue(),
                      2 * (value @ A.toarray() @ value) + value.sum())


def test_products_do_not_leak(model):
    x = model.addMVar(4)
    A = csr(**ODD)
    assert_no_leak(lambda: 2.0 * (x @ A @ x) + np.ones(4) @ x, repeat=300)


@pytest.mark.parametrize("linear", ["same", "other", "reversed", "none", "full"])
def test_compact_value_reads_each_solution_right(model, linear):
    x, z = model.addMVar(4), model.addMVar(4)
    model.update()
    A = csr(**ODD)
    c = np.array([1.0, -1.0, 0.5, 2.0])
    lin = {"same": lambda: c @ x, "other": lambda: c @ z, "reversed": lambda: c @ x[::-1],
           "none": lambda: None, "full": lambda: c @ x}[linear]()
    q = x @ A @ x
    if lin is not None:
        q = q + lin
    if linear == "full":
        q._ndle._convert_to_full()
    assert q._is_compact
    sol = np.array([1.0, -2.0, 3.0, 0.5, 4.0, -1.0, 0.25, 2.0])
    model._loadSolution(sol.tolist())
    xv, zv = sol[:4], sol[4:]
    want = xv @ A.toarray() @ xv + {"same": c @ xv, "other": c @ zv, "reversed": c @ xv[::-1],
                                    "none": 0.0, "full": c @ xv}[linear]
    assert np.isclose(q.getValue(), want)
    assert_no_leak(q.getValue, repeat=200)
