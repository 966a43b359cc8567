"""Matrix-product kernels of zudirivi._util on 10^5 terms.

Each figure is the kernel's time over a baseline of the same size measured in
this run: turning the operand's 10^5 entries into Python floats (`tolist()`),
or the same product written as a Python loop. The callbacks are builtins
(`operator.mul`, `sum`), so the figures show the kernels' own cost.
"""

import operator
import time

import numpy as np
import scipy.sparse as sp

from zudirivi import _util as u

N = 1000  # sparse: N x N with 10^5 stored entries; dense: 100 x N times N
NNZ = 100_000


def best(fn, repeat=7):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def python_right(tree, csc):
    # tree @ A, column by column, as one would write it without the kernel
    indptr, indices, data = csc.indptr.tolist(), csc.indices.tolist(), csc.data.tolist()
    return [
        sum([tree[p] * v for p, v in zip(indices[a:b], data[a:b])])
        for a, b in zip(indptr[:-1], indptr[1:])
    ]


def python_dense(left, right):
    rows = left.tolist()
    col = right.tolist()
    return [sum([x * y for x, y in zip(row, col)]) for row in rows]


def main():
    rng = np.random.default_rng(0)
    flat = rng.choice(N * N, size=NNZ, replace=False)
    A = sp.csr_matrix((rng.standard_normal(NNZ), (flat // N, flat % N)), shape=(N, N))
    A64 = A.copy()
    A64.indices = A64.indices.astype(np.int64)
    A64.indptr = A64.indptr.astype(np.int64)
    tree = rng.standard_normal(N).astype(object)
    dense_left = rng.standard_normal((NNZ // N, N)).astype(object)
    kw = {"f_multiply": operator.mul, "f_sum": sum}

    tolist = best(lambda: A.data.tolist())
    right = best(lambda: u._sparse_right_matmul_kernel(tree, A, **kw))
    right64 = best(lambda: u._sparse_right_matmul_kernel(tree, A64, **kw))
    left = best(lambda: u._sparse_left_matmul_kernel(A, tree, **kw))
    coo = A.tocoo()
    left_coo = best(lambda: u._sparse_left_matmul_kernel(coo, tree, **kw))
    dense = best(lambda: u._dense_matmul_kernel(dense_left, tree, **kw))
    dense_tolist = best(lambda: dense_left.ravel().tolist())
    csc = A.tocsc()
    py_right = best(lambda: python_right(tree, csc))
    py_dense = best(lambda: python_dense(dense_left, tree))

    # The kernels give the product NumPy gives.
    got = u._sparse_right_matmul_kernel(tree, A, **kw).astype(float)
    assert np.allclose(got, tree.astype(float) @ A.toarray())

    print(f"sparse_right_kernel_over_tolist: {right / tolist:.2f}")
    print(f"sparse_right_kernel_int64_over_tolist: {right64 / tolist:.2f}")
    print(f"sparse_left_kernel_over_tolist: {left / tolist:.2f}")
    print(f"sparse_left_kernel_coo_over_tolist: {left_coo / tolist:.2f}")
    print(f"dense_kernel_over_tolist: {dense / dense_tolist:.2f}")
    print(f"sparse_right_kernel_over_python_loop: {right / py_right:.2f}")
    print(f"dense_kernel_over_python_loop: {dense / py_dense:.2f}")


if __name__ == "__main__":
    main()
