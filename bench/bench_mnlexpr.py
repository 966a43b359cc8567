"""MNLExpr element-wise operators at scale, on a (1000, 1000) array.

Each operator makes one node per cell with a node factory of the core and
wraps it in a new cell. Figures, each a ratio to the bare cost of those
factory calls measured in the same run (best of several runs):
- "/ loop": the same factory called 10^6 times from a plain Python loop over
  prebuilt lists of the same nodes, keeping the new nodes in a list as the
  operator keeps them in its cells (target: at most 1.0);
- "/ map": the same calls made through `map` (reported).
Each is measured twice: with the cycle collector on for both sides, as a
user's program runs (the collector's passes over millions of new objects
then dominate the bare calls), and with it off for both, which leaves the
operator's own cost per cell (its new cell and the read of each root) beside
the calls.
Operators: `m + a` (a (1000,) float array, broadcast), `m * m`, `-m`,
`m **= 2` (in place).
"""

import gc
import time

import numpy as np

from zudirivi._arrayexpr import MNLExpr
from zudirivi._core import Model, _ExprTree


def best(fn, repeat=3, setup=None, no_gc=False):
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        gc.collect()
        if no_gc:
            gc.disable()
        t = time.perf_counter()
        keep = fn(arg) if setup else fn()
        times.append(time.perf_counter() - t)
        gc.enable()
        del keep, arg
    return min(times)


def loop1(f, xs):
    return [f(a) for a in xs]


def loop2(f, xs, ys):
    return [f(a, b) for a, b in zip(xs, ys)]


def main():
    shape = (1000, 1000)
    model = Model()
    x = model.addMVar(shape)
    m = MNLExpr._from_mvar(x)
    roots = [c._root for c in m._nlearr.flat]
    a = np.random.default_rng(0).random(shape[1])
    anodes = [_ExprTree._from_constant(float(v)) for v in a] * shape[0]

    cases = [
        ("m + a", lambda: m + a, _ExprTree._from_plus, (roots, anodes), None),
        ("m * m", lambda: m * m, _ExprTree._from_multiply, (roots, roots), None),
        ("-m", lambda: -m, _ExprTree._from_uminus, (roots,), None),
        ("m **= 2", lambda e: e.__ipow__(2), _ExprTree._from_square, (roots,),
         lambda: MNLExpr._from_mvar(x)),
    ]
    for name, op, factory, lists, setup in cases:
        loop = loop1 if len(lists) == 1 else loop2
        for no_gc in (False, True):
            bare = best(lambda: loop(factory, *lists), no_gc=no_gc)
            mapped = best(lambda: list(map(factory, *lists)), no_gc=no_gc)
            t = best(op, setup=setup, no_gc=no_gc)
            print(f"{name} (1000, 1000), collector {'off' if no_gc else 'on'}: "
                  f"/ loop {t / bare:.2f}, / map {t / mapped:.2f}")


if __name__ == "__main__":
    main()
