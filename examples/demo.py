"""A short tour of the package: what is built and loads."""

import importlib

import zudirivi as tvp

MODULES = ["_util", "_tvx", "_exception", "_core", "_propkit", "_arrayexpr", "_buildaid", "_batch"]


def main():
    print(f"zudirivi {tvp.__version__} from {tvp.__file__}")
    for name in MODULES:
        try:
            mod = importlib.import_module("zudirivi." + name)
        except ImportError as exc:
            print(f"  {name:<11} not available ({exc})")
            continue
        public = sorted(n for n in vars(mod) if not n.startswith("_"))
        shown = ", ".join(public[:8]) + (", ..." if len(public) > 8 else "")
        print(f"  {name:<11} loaded: {shown or '(no public names yet)'}")


def constraint_arrays():
    """The typical road: A @ x + b <= c becomes an MConstr of rows."""
    import numpy as np
    import scipy.sparse as sp

    from zudirivi import _core

    print("constraint arrays:")
    m = _core.Model()
    x = m.addMVar(4, name="x")
    A = sp.csr_matrix(np.array([[1.0, 2.0, 0.0, 0.0], [0.0, 1.0, 0.0, -1.0], [3.0, 0.0, 1.0, 0.0]]))
    b, c = np.array([1.0, 0.0, -1.0]), np.array([4.0, 2.0, 6.0])
    constr = m.addConstr(A @ x + b <= c, name="row")
    print("  m.addConstr(A @ x + b <= c) ->", constr)
    m.update()
    print("  after update:", constr)
    for i, name in enumerate(constr.ConstrName):
        print(f"    {name}: {m.getRow(constr[i].item())} {constr.Sense[i]} {constr.RHS[i]}")
    constr.RHS = [10.0, 20.0, 30.0]
    print("  constr.RHS = [10, 20, 30] ->", constr.RHS)
    m.remove(constr[1])
    m.update()
    print("  after removing row 1:", constr, "indices", constr._idxarr())


def matrix_products():
    """A @ x at scale: the product costs about one copy of A."""
    import time

    import numpy as np
    import scipy.sparse as sp

    from zudirivi import _core

    print("matrix products:")
    n, nnz = 10**5, 10**6
    m = _core.Model()
    x = m.addMVar(n, name="x")
    A = sp.random(n, n, density=nnz / (n * n), format="csr", random_state=np.random.default_rng(0))
    b, c = np.ones(n), np.full(n, 10.0)

    def timed(label, fn, repeat=3):
        best = float("inf")
        for _ in range(repeat):
            t = time.perf_counter()
            out = fn()
            best = min(best, time.perf_counter() - t)
        print(f"  {label:<34} {1e3 * best:8.1f} ms")
        return out

    timed("A.astype(float64, copy=True)", lambda: A.astype(np.float64, copy=True))
    e = timed("A @ x", lambda: A @ x)
    print(f"    -> shape {e.shape}, compact {e._is_compact}, {len(e._matmulparts)} matrix part")
    timed("x @ A.T (CSC)", lambda: x @ A.T)
    tc = timed("A @ x + b <= c", lambda: A @ x + b <= c)
    constr = timed("m.addConstr(A @ x + b <= c)", lambda: m.addConstr(tc, name="row"), repeat=1)
    m.update()
    print(f"    -> {constr!r}, NumConstrs {m.NumConstrs}")
    X = m.addMVar((1000, 10))
    B = sp.random(1000, 1000, density=0.1, format="csr", random_state=np.random.default_rng(1))
    E = timed("B @ X, X of shape (1000, 10)", lambda: B @ X)
    print(f"    -> full state, {E.size} cells of {B.nnz // 1000} terms on average")


def quadratic_and_nonlinear():
    """Products of variable arrays, quadratic constraints, nonlinear arrays, stacking."""
    import numpy as np
    import scipy.sparse as sp

    from zudirivi import _core

    print("quadratic and nonlinear expressions:")
    m = _core.Model()
    x = m.addMVar(3, name="x")
    y = m.addMVar(3, name="y")
    q = x * y + 2.0
    print("  x * y + 2.0 ->", type(q).__name__, "shape", q.shape, "compact", q._is_compact)
    qc = m.addConstr(q <= 5.0, name="xy")
    Q = sp.diags([1.0, 2.0, 3.0]).tocsr()
    c = np.array([1.0, 0.0, -1.0])
    fc = m.addConstr(x @ Q @ x + c @ x <= 4.0, name="f")
    m.update()
    print(f"  addConstr(x * y + 2.0 <= 5.0) -> {qc!r}; x @ Q @ x + c @ x <= 4.0 -> {fc!r}")
    m._loadSolution([1.0, 2.0, 3.0, 0.5, 0.5, 0.5])
    print("  with x = (1, 2, 3), y = 0.5: (x * y + 2.0).getValue() =", q.getValue())
    print("    (x @ Q @ x + c @ x).getValue() =", (x @ Q @ x + c @ x).getValue())
    n = x / y + x ** 3
    print("  x / y + x ** 3 ->", type(n).__name__, "shape", n.shape)
    z = m.addMVar(3, name="z")
    g = m.addGenConstrNL(z, n, name="nl")
    print("  m.addGenConstrNL(z, x / y + x ** 3) ->", repr(g))
    s = tvp.vstack([x, 2.0 * y + 1.0])
    print("  vstack([x, 2.0 * y + 1.0]) ->", type(s).__name__, "shape", s.shape)
    print("    values", s.getValue().tolist())


def batch_requests():
    """A batch request opened by its ID, read, and its JSON solution fetched."""
    from zudirivi import _core

    print("batch requests:")
    env = _core.Env()
    env._addTestBatch("demo-0001", tvp.TVX.BATCH_COMPLETED, '{"X": [1.0, 2.5]}')
    with tvp.Batch("demo-0001", env) as b:
        print(f"  {b!r}: BatchID {b.BatchID!r}, BatchStatus {b.BatchStatus}")
        print("  getJSONSolution() ->", b.getJSONSolution())


if __name__ == "__main__":
    main()
    constraint_arrays()
    matrix_products()
    quadratic_and_nonlinear()
    batch_requests()
