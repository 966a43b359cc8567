"""MLinExpr element-wise arithmetic at scale.

Figures, each a ratio to the NumPy operation of the same shape on float64
arrays measured in the same run (best of several runs each), so that a figure
is the cost per cell of the expressions over plain numbers:
- 2x+3 / x+y compact (10^6,): `2.0 * x + 3.0` and `x + y` for MVars of 10^6
  cells in a compact shape, against `2.0 * a + 3.0` and `a + b`.
- 2x+3 / x+y full (1000, 1000): the same in a shape that the compact state
  does not allow (every cell a LinExpr object).
- e += f full (1000, 1000): in-place addition of two full expressions (one
  term per cell), against `a += b`.
- e *= arr full (1000, 1000): in-place product with a float array of the
  same shape, against `a *= b`.
"""

import gc
import time

import numpy as np

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
        del keep, arg
    return min(times)


def expressions(model):
    rng = np.random.default_rng(0)
    for tag, shape in (("compact (10^6,)", (10**6,)), ("full (1000, 1000)", (1000, 1000))):
        x = model.addMVar(shape)
        y = model.addMVar(shape)
        a, b = rng.random(shape), rng.random(shape)
        repeat = 5 if len(shape) == 1 else 3
        base = best(lambda: 2.0 * a + 3.0, repeat=repeat)
        t = best(lambda: 2.0 * x + 3.0, repeat=repeat)
        print(f"2x+3 {tag}: {t / base:.1f}")
        base = best(lambda: a + b, repeat=repeat)
        t = best(lambda: x + y, repeat=repeat)
        print(f"x+y {tag}: {t / base:.1f}")


def inplace(model):
    shape = (1000, 1000)
    x = model.addMVar(shape)
    y = model.addMVar(shape)
    rng = np.random.default_rng(1)
    arr = rng.random(shape)

    def full(v):
        return MLinExpr._from_mvar(v, force_full=True)

    f = full(y)

    def iadd(e):
        e += f
        return e

    def imul(e):
        e *= arr
        return e

    def floats():
        return rng.random(shape)

    base = best(lambda a: a.__iadd__(arr), repeat=3, setup=floats)
    t = best(iadd, repeat=3, setup=lambda: full(x))
    print(f"e += f full (1000, 1000): {t / base:.1f}")
    base = best(lambda a: a.__imul__(arr), repeat=3, setup=floats)
    t = best(imul, repeat=3, setup=lambda: full(x))
    print(f"e *= arr full (1000, 1000): {t / base:.1f}")


def main():
    model = Model()
    expressions(model)
    inplace(model)


if __name__ == "__main__":
    main()
