"""Scalar expressions of _core: big expressions and per-cell arithmetic.

Figures (each as a ratio to a baseline of the same size measured here):
- LinExpr.addTerms / LinExpr(coeffs, vars) with 10^6 terms from lists and from
  NumPy arrays, against copying the two lists (list(c), list(v)).
- LinExpr + LinExpr of 2 x 5*10^5 terms, against the list concatenations.
- _normalize and getValue of 10^6 terms, against dict.fromkeys(vars).
- Per-cell arithmetic as NumPy's object loops run it (10^6 cells): Var * 2.0,
  Var + Var, LinExpr + LinExpr, Var * Var, against the same loop over Python
  floats (float * float), which is the floor for any object operator.
"""

import time

import numpy as np

from zudirivi import _core
from zudirivi._core import LinExpr

N = 10**6


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def figure(label, t, base):
    print(f"{label:<48} {t * 1e3:9.1f} ms   ratio {t / base:6.2f}")


def big_expressions(varr):
    vlist = varr.tolist()
    carr = np.random.default_rng(1).normal(size=N)
    clist = carr.tolist()
    base = best(lambda: (list(clist), list(vlist)))
    print(f"{'baseline list(c), list(v) of 1e6':<48} {base * 1e3:9.1f} ms")

    def add_terms_lists():
        LinExpr().addTerms(clist, vlist)

    figure("LinExpr().addTerms(list, list) 1e6", best(add_terms_lists), base)
    figure("LinExpr(ndarray, object ndarray) 1e6", best(lambda: LinExpr(carr, varr)), base)
    figure("LinExpr(list, list) 1e6", best(lambda: LinExpr(clist, vlist)), base)

    half = N // 2
    a = LinExpr(clist[:half], vlist[:half])
    b = LinExpr(clist[half:], vlist[half:])
    cat = best(lambda: (a.coef_list + b.coef_list, a.var_list + b.var_list))
    print(f"{'baseline list concatenations 2 x 5e5':<48} {cat * 1e3:9.1f} ms")
    figure("LinExpr + LinExpr 2 x 5e5", best(lambda: a + b), cat)
    figure("LinExpr * 2.0 1e6 terms", best(lambda: (a + b) * 2.0), cat)

    keys = best(lambda: dict.fromkeys(vlist))
    print(f"{'baseline dict.fromkeys(vars) 1e6':<48} {keys * 1e3:9.1f} ms")
    dup = LinExpr(clist + clist, vlist + vlist)
    figure("_normalize 2e6 terms -> 1e6", best(lambda: dup.copy()._normalize(), repeat=3), keys)
    le = LinExpr(clist, vlist)
    figure("getValue 1e6 terms", best(le.getValue), keys)


def per_cell(varr):
    x = varr[: N // 2]
    y = varr[N // 2 :]
    floats = np.array(np.random.default_rng(2).normal(size=N // 2), dtype=object)
    base = best(lambda: floats * floats)
    print(f"{'baseline object loop float * float 5e5':<48} {base * 1e3:9.1f} ms")
    figure("Var * 2.0 per cell 5e5", best(lambda: x * 2.0), base)
    figure("Var + Var per cell 5e5", best(lambda: x + y), base)
    lx, ly = x * 2.0, y + 1.0
    figure("LinExpr + LinExpr per cell 5e5", best(lambda: lx + ly), base)
    figure("Var * Var per cell 5e5", best(lambda: x * y), base)
    figure("LinExpr <= 1.0 per cell 5e5", best(lambda: np.less_equal(lx, 1.0, dtype=object)), base)


def main():
    m = _core.Model()
    varr = m.addMVar(N)._vararr
    m.update()
    m._loadSolution(np.ones(N))
    big_expressions(varr)
    per_cell(varr)


if __name__ == "__main__":
    main()
