"""libtovrix: bulk row adds and long attribute lists, against NumPy baselines.

Figures:
- addconstrs 1e5x10: adding 10^5 rows of 10 terms (one TVXaddconstrs call
  plus the update), as a ratio to copying the same CSR arrays with NumPy.
  The library's time includes first-touch page faults of its fresh storage,
  which NumPy's reused buffers mostly avoid.
- getdblattrlist 1e6 / setdblattrlist 1e6: one list call over 10^6
  variables, as a ratio to NumPy fancy indexing of the same size.
"""

import ctypes as C
import importlib.util
import os
import sys
import time

import numpy as np


def find_library():
    path = os.environ.get("ZD_LIBTOVRIX")
    if path:
        return path
    spec = importlib.util.find_spec("zudirivi")
    if spec is not None and spec.submodule_search_locations:
        for d in spec.submodule_search_locations:
            cand = os.path.join(d, "libtovrix.so")
            if os.path.exists(cand):
                return cand
    return None


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def ptr(a, t):
    return a.ctypes.data_as(C.POINTER(t))


def main():
    path = find_library()
    if path is None:
        print("libtovrix.so not built", file=sys.stderr)
        return 1
    lib = C.CDLL(path)
    P = C.c_void_p
    lib.TVXemptyenv.argtypes = [C.POINTER(P)]
    lib.TVXfreeenv.argtypes = [P]
    lib.TVXnewmodel.argtypes = [P, C.POINTER(P), C.c_char_p]
    lib.TVXfreemodel.argtypes = [P]
    lib.TVXupdatemodel.argtypes = [P]
    lib.TVXaddvars.argtypes = [P, C.c_int, P, P, P, P, P]
    lib.TVXaddconstrs.argtypes = [P, C.c_int, C.c_int64, P, P, P, P, P, P]
    lib.TVXgetdblattrlist.argtypes = [P, C.c_char_p, C.c_int, P, P]
    lib.TVXsetdblattrlist.argtypes = [P, C.c_char_p, C.c_int, P, P]

    env = P()
    assert lib.TVXemptyenv(C.byref(env)) == 0

    # --- 10^5 rows of 10 terms
    nrows, per, ncols = 100_000, 10, 10_000
    rng = np.random.default_rng(0)
    beg = np.arange(nrows, dtype=np.int64) * per
    ind = rng.integers(0, ncols, nrows * per).astype(np.int32)
    val = rng.standard_normal(nrows * per)
    sense = np.full(nrows, ord("<"), dtype=np.int8)
    rhs = np.ones(nrows)

    def add_rows():
        m = P()
        assert lib.TVXnewmodel(env, C.byref(m), b"bench") == 0
        assert lib.TVXaddvars(m, ncols, None, None, None, None, None) == 0
        assert lib.TVXupdatemodel(m) == 0
        t = time.perf_counter()
        rc = lib.TVXaddconstrs(m, nrows, nrows * per, beg.ctypes.data, ind.ctypes.data,
                               val.ctypes.data, sense.ctypes.data, rhs.ctypes.data, None)
        assert rc == 0
        assert lib.TVXupdatemodel(m) == 0
        dt = time.perf_counter() - t
        assert lib.TVXfreemodel(m) == 0
        return dt

    def copy_arrays():
        beg.copy(), ind.copy(), val.copy(), sense.copy(), rhs.copy()

    t_lib = min(add_rows() for _ in range(5))
    t_np = best(copy_arrays)
    print(f"addconstrs 1e5x10: {t_lib * 1e3:.2f} ms")
    print(f"addconstrs 1e5x10 vs numpy copy: {t_lib / t_np:.2f} ratio")

    # --- 10^6 double list get/set
    n = 1_000_000
    m = P()
    assert lib.TVXnewmodel(env, C.byref(m), b"bench") == 0
    assert lib.TVXaddvars(m, n, None, None, None, None, None) == 0
    assert lib.TVXupdatemodel(m) == 0
    idx = rng.permutation(n).astype(np.int32)
    vals = rng.standard_normal(n)
    out = np.empty(n)
    store = np.zeros(n)

    def lib_set():
        assert lib.TVXsetdblattrlist(m, b"LB", n, idx.ctypes.data, vals.ctypes.data) == 0

    def lib_get():
        assert lib.TVXgetdblattrlist(m, b"LB", n, idx.ctypes.data, out.ctypes.data) == 0

    def np_set():
        store[idx] = vals

    def np_get():
        np.take(store, idx, out=out)

    t_set, t_npset = best(lib_set), best(np_set)
    t_get, t_npget = best(lib_get), best(np_get)
    assert np.array_equal(out, vals)
    print(f"setdblattrlist 1e6: {t_set * 1e3:.2f} ms")
    print(f"setdblattrlist 1e6 vs numpy: {t_set / t_npset:.2f} ratio")
    print(f"getdblattrlist 1e6: {t_get * 1e3:.2f} ms")
    print(f"getdblattrlist 1e6 vs numpy: {t_get / t_npget:.2f} ratio")
    assert lib.TVXfreemodel(m) == 0
    assert lib.TVXfreeenv(env) == 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
