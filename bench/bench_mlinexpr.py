"""MLinExpr: conversion, whole-array operations and evaluation at scale.

Figures, each a ratio to a baseline of the same size measured in the same run
(best of several runs each):
- convert 1e5 rows 1e6 nnz int32 / int64: compact to full conversion of
  A @ x (A with 10^5 rows and 10^6 stored entries, 32- or 64-bit indices),
  against A.data.tolist() plus A.indices.tolist().
- copy / sum / sum axis=1 1000x1000: E.copy(), E.sum(), E.sum(axis=1) on a
  full (1000, 1000) expression of one term per cell, against arr.tolist() of
  10^6 floats.
- sum / sum axis=1 2000x1000: the same at twice the size against tolist() of
  2 * 10^6 floats; "growth" figures give the time at twice the size over the
  time at the base size (2 means linear).
- getValue compact 1e6 nnz: (A @ x + b).getValue() in the compact state,
  against A @ v with a NumPy vector v; and the share of it that the one
  read of the solution values ("X" of the 10^5 variables) takes.
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

from zudirivi._arrayexpr import MLinExpr
from zudirivi._core import Model


def best(fn, repeat=5, setup=None):
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        gc.collect()
        t = time.perf_counter()
        keep = fn(arg) if setup else fn()
        times.append(time.perf_counter() - t)
        del keep
    return min(times)


def tolist_baseline(n):
    arr = np.random.default_rng(0).random(n)
    return best(lambda: arr.tolist())


def conversion(model):
    rows, cols, nnz = 10**5, 10**5, 10**6
    x = model.addMVar(cols)
    rng = np.random.default_rng(1)
    A = sp.random(rows, cols, density=nnz / (rows * cols), format="csr", random_state=rng)
    for dtype in (np.int32, np.int64):
        A.indices = A.indices.astype(dtype)
        A.indptr = A.indptr.astype(dtype)
        base = best(lambda: (A.data.tolist(), A.indices.tolist()))
        xv = MLinExpr._from_compact_affine_expr(A=A, x_right=x)._matmulparts[0][1]

        def make():
            return MLinExpr(matmulparts=[(A, xv)], b=np.zeros(rows))

        def convert(e):
            e._convert_to_full()
            return e

        t = best(convert, setup=make)
        print(f"convert 1e5 rows 1e6 nnz {np.dtype(dtype).name}: {t / base:.2f}")
    return A, x


def evaluation(model, A, x):
    b = np.arange(A.shape[0], dtype=float)
    e = MLinExpr._from_compact_affine_expr(A=A, x_right=x, b=b)
    model.update()
    model._loadSolution(np.random.default_rng(2).random(model.NumVars).tolist())
    v = x.X
    base = best(lambda: A @ v)
    t = best(lambda: e.getValue())
    t_x = best(lambda: e._matmulparts[0][1].X)
    assert e._is_compact
    np.testing.assert_allclose(e.getValue(), A @ v + b)
    print(f"getValue compact 1e6 nnz: {t / base:.2f}")
    print(f"getValue compact 1e6 nnz, of which the X read: {t_x / base:.2f}")


def whole_array(model):
    times = {}
    for rows in (1000, 2000):
        E = MLinExpr._from_mvar(model.addMVar((rows, 1000)), force_full=True)
        base = tolist_baseline(rows * 1000)
        tag = f"{rows}x1000"
        if rows == 1000:
            t = best(lambda: E.copy(), repeat=3)
            print(f"copy {tag}: {t / base:.2f}")
        for name, fn in (("sum", lambda: E.sum()), ("sum axis=1", lambda: E.sum(axis=1))):
            t = best(fn, repeat=3)
            times[(name, rows)] = t
            print(f"{name} {tag}: {t / base:.2f}")
        del E
        gc.collect()
    for name in ("sum", "sum axis=1"):
        print(f"{name} growth 2x size: {times[(name, 2000)] / times[(name, 1000)]:.2f}")


def main():
    model = Model()
    A, x = conversion(model)
    evaluation(model, A, x)
    whole_array(Model())


if __name__ == "__main__":
    main()
