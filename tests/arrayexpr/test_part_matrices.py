"""The CSR part matrices that compact expressions make for themselves must be
the very objects SciPy's own constructor would make: same class, same
instance attributes in the same order, same dtypes, a valid format, and
copies that share nothing with their source."""

import numpy as np
import pytest
import scipy.sparse as sp

RNG = np.random.default_rng(5)


def scipy_made(M):
    """The matrix SciPy's checking constructor makes from M's arrays."""
    return sp.csr_matrix((M.data.copy(), M.indices.copy(), M.indptr.copy()), shape=M.shape)


def assert_like_scipy(M):
    ref = scipy_made(M)
    assert type(M) is type(ref)
    assert sorted(vars(M)) == sorted(vars(ref))
    for name in ("data", "indices", "indptr"):
        got, want = getattr(M, name), getattr(ref, name)
        assert type(got) is np.ndarray and got.dtype == want.dtype
        assert np.array_equal(got, want, equal_nan=True)
    assert M.shape == ref.shape and all(type(d) is int for d in M.shape)
    assert M.maxprint == ref.maxprint
    M.check_format(full_check=True)


DENSE = np.array([[0.0, -0.0, 2.5, np.nan], [0, 0, 0, 0], [1, 0, -3, 0]])


@pytest.mark.parametrize("make", [
    lambda x: x + 0,
    lambda x: x + 1,
    lambda x: 2 * x,
    lambda x: DENSE @ x,
    lambda x: np.nan_to_num(DENSE).astype(np.int64) @ x,
    lambda x: (np.arange(12).reshape(3, 4) % 3) @ x,
    lambda x: sp.csr_matrix(DENSE) @ x,
    lambda x: sp.csc_matrix(DENSE) @ x,
    lambda x: (x + 0).copy(),
    lambda x: sp.csr_matrix(DENSE) @ x + np.ones(3),
    lambda x: np.zeros((0, 4)) @ x,
], ids=["identity", "plus", "scaled", "dense", "dense-int-valued", "int", "csr", "csc", "copy",
        "sum", "no-rows"])
def test_parts_are_scipy_matrices(model, make):
    x = model.addMVar(4)
    e = make(x)
    assert e._is_compact
    for A, _ in e._matmulparts:
        assert_like_scipy(A)


def test_dense_operands_keep_scipy_entries(model):
    x = model.addMVar(4)
    for dense in (DENSE, np.nan_to_num(DENSE).astype(np.int32), np.zeros((2, 4)), RNG.random((5, 4))):
        (A, _), = (dense @ x)._matmulparts
        ref = sp.csr_matrix(dense, dtype=np.float64)
        assert np.array_equal(A.data, ref.data, equal_nan=True)
        assert np.array_equal(A.indices, ref.indices) and np.array_equal(A.indptr, ref.indptr)


def test_copies_share_nothing_with_their_source(model):
    x = model.addMVar(4)
    A = sp.csr_matrix(DENSE)
    e = A @ x
    f = e.copy()
    (Ae, _), (Af, _) = e._matmulparts[0], f._matmulparts[0]
    for name in ("data", "indices", "indptr"):
        assert not np.shares_memory(getattr(Ae, name), getattr(Af, name))
        assert not np.shares_memory(getattr(Ae, name), getattr(A, name))
    Af.data[:] = 7.0
    assert not (Ae.data == 7.0).any()
