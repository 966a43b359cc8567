"""Malformed sparse matrices: every path that reads a part's CSR arrays refuses
them alike (index pointers: IndexError; indices: ValueError), in int32 and
int64 alike, before anything is changed."""

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi._arrayexpr import MLinExpr

POINTER = (IndexError, "sparse matrix index pointers out of range at row")
SHORT = (IndexError, "sparse matrix has index pointers for 2 rows, 3 needed")
COLUMN = (ValueError, "sparse matrix column index out of range")

FAULTS = {
    "pointer beyond entries": (lambda A: setattr(A, "indptr", np.array([0, 1, 2, 9])), POINTER),
    "falling pointer": (lambda A: setattr(A, "indptr", np.array([0, 2, 1, 3])), POINTER),
    "negative pointer": (lambda A: setattr(A, "indptr", np.array([-1, 1, 2, 3])), POINTER),
    "too few pointers": (lambda A: setattr(A, "indptr", np.array([0, 1, 2])), SHORT),
    "column too large": (lambda A: setattr(A, "indices", np.array([0, 3, 2])), COLUMN),
    "negative column": (lambda A: setattr(A, "indices", np.array([0, -1, 2])), COLUMN),
}


def malformed(fault, dtype):
    A = sp.csr_matrix(([1.0, 2.0, 3.0], [0, 1, 2], [0, 1, 2, 3]), shape=(3, 3))
    spoil, _ = FAULTS[fault]
    spoil(A)
    A.indptr = A.indptr.astype(dtype)
    A.indices = A.indices.astype(dtype)
    return A


PATHS = {
    "conversion": lambda e: e._convert_to_full(),
    "value": lambda e: e.getValue(),
    "sum": lambda e: e + np.ones(3),
    "scaling": lambda e: e.__imul__(np.array([1.0, 2.0, 3.0])),
}


# scaling reads the row pointers only
CASES = [(p, f) for p in PATHS for f in FAULTS if not (p == "scaling" and "column" in f)]


@pytest.mark.parametrize("dtype", [np.int32, np.int64])
@pytest.mark.parametrize("path, fault", CASES)
def test_malformed_parts_are_refused_alike(model, x, path, fault, dtype):
    model._loadSolution([1.0, 2.0, 3.0])
    A = malformed(fault, dtype)
    data = A.data.copy()
    e = MLinExpr(matmulparts=[(A, x)], b=np.ones(3))
    error, text = FAULTS[fault][1]
    with pytest.raises(error, match=text):
        PATHS[path](e)
    assert e._is_compact and (e._const == 1.0).all() and (A.data == data).all()


@pytest.mark.parametrize("dtype", [np.int32, np.int64])
@pytest.mark.parametrize("fault", ["column too large", "negative column"])
def test_malformed_operand_of_a_product(model, fault, dtype):
    X = model.addMVar((3, 2))
    error, text = FAULTS[fault][1]
    with pytest.raises(error, match=text):
        malformed(fault, dtype) @ X
