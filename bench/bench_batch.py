"""_batch: one attribute read of an open Batch.

Figures, each a ratio to _propkit's single model attribute read of the same
type (_getattr(model, name, True)) in the same run; the target is 3 or less:
- Batch int read: batch.BatchStatus against the model's "NumVars".
- Batch str read: batch.BatchID against the model's "ModelName".
- Batch lower-case read: batch.batchstatus (the same call, fewer letters to map).
"""

import sys
import time

from zudirivi import TVX, Batch, Env, Model, _propkit

N = 20000


def best(fn, repeat=7):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def loop(fn):
    def run():
        for _ in range(N):
            fn()
    return run


def main():
    env = Env()
    env._addTestBatch("bench-batch-0001", TVX.BATCH_SUBMITTED)
    model = Model("bench")
    get = _propkit._getattr
    with Batch("bench-batch-0001", env) as b:
        assert b.BatchStatus == get(model, "NumVars", True) + TVX.BATCH_SUBMITTED
        figures = [
            ("Batch int read", lambda: b.BatchStatus, lambda: get(model, "NumVars", True)),
            ("Batch str read", lambda: b.BatchID, lambda: get(model, "ModelName", True)),
            ("Batch lower-case read", lambda: b.batchstatus,
             lambda: get(model, "NumVars", True)),
        ]
        for name, fn, base in figures:
            t_base = best(loop(base))
            t = best(loop(fn))
            print(f"{name} (baseline {t_base / N * 1e9:.0f} ns): {t / t_base:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
