"""Constraints added cell by cell over two N x N MVars x, y (lower bound 0,
x >= 1 for the nonlinear case), N = 100, 316, 1000 (10^4 to 10^6 cells):
- quad:  m.addConstr(x * y <= 1)            one quadratic constraint per cell
- nl:    m.addConstr(y == 1.0 / x)          one general constraint per cell
- stack: m.addConstr(vstack([x, 2 * y + 1]) <= 1)   2 N^2 linear rows

The library takes quadratic and general constraints one per call, so their
cost per row must not grow with the rows already in the model. Figures per
case and N: seconds from the model to the updated rows (best of a few runs)
and of its addConstr + update alone, each also per row and, in brackets, as
a ratio to the per-row cost at the smallest N (flat: about 1, whatever
larger arrays cost in cache misses; a cost that grows with the model shows
as a ratio of about the growth in rows).

    bench_cellrows.py [N ...]      other sizes (default 100 316 1000)
"""

import gc
import sys
import time

import zudirivi as tvp


def build(case, N):
    """Seconds of the whole build, and of its addConstr + update."""
    gc.collect()
    t0 = time.perf_counter()
    m = tvp.Model(case)
    x = m.addMVar((N, N), lb=1.0 if case == "nl" else 0.0, name="x")
    y = m.addMVar((N, N), name="y")
    if case == "quad":
        tc = x * y <= 1
    elif case == "nl":
        tc = y == 1.0 / x
    else:
        tc = tvp.vstack([x, 2 * y + 1]) <= 1
    t1 = time.perf_counter()
    m.addConstr(tc)
    m.update()
    t2 = time.perf_counter()
    rows = {"quad": m.NumQConstrs, "nl": m.NumGenConstrs, "stack": m.NumConstrs}[case]
    assert rows == (2 if case == "stack" else 1) * N * N, (case, N, rows)
    return t2 - t0, t2 - t1, rows


def main(argv):
    sizes = [int(a) for a in argv] or [100, 316, 1000]
    for case in ("quad", "nl", "stack"):
        build(case, 10)  # warm up
        first = None
        for N in sizes:
            runs = 5 if N <= 316 else 2
            got = [build(case, N) for _ in range(runs)]
            total = min(g[0] for g in got)
            add = min(g[1] for g in got)
            rows = got[0][2]
            per_row, add_row = total / rows, add / rows
            first = first or (per_row, add_row)
            print(f"{case:<5} N={N:<5} rows {rows:>8}: {total:7.3f} s {per_row * 1e6:6.2f} us/row"
                  f" (x{per_row / first[0]:.2f}); addConstr+update {add:7.3f} s "
                  f"{add_row * 1e6:6.2f} us/row (x{add_row / first[1]:.2f})", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
