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

    from zudirivi import _arrayexpr, _core

    print("constraint arrays:")
    m = _core.Model()
    x = m.addMVar(4, name="x")
    A = sp.csr_matrix(np.array([[1.0, 2.0, 0.0, 0.0], [0.0, 1.0, 0.0, -1.0], [3.0, 0.0, 1.0, 0.0]]))
    b, c = np.array([1.0, 0.0, -1.0]), np.array([4.0, 2.0, 6.0])
    try:
        constr = m.addConstr(A @ x + b <= c, name="row")
        print("  m.addConstr(A @ x + b <= c) ->", constr)
    except (AttributeError, TypeError):
        # matrix products not built yet: the same expression from its factory
        expr = _arrayexpr.MLinExpr._from_compact_affine_expr(A=A, x_right=x, b=b)
        constr = m.addConstr(_core.TempConstr(expr, "<", c), name="row")
        print("  m.addConstr(A x + b <= c) ->", constr)
    m.update()
    print("  after update:", constr)
    for i, name in enumerate(constr.ConstrName):
        print(f"    {name}: {m.getRow(constr[i].item())} {constr.Sense[i]} {constr.RHS[i]}")
    constr.RHS = [10.0, 20.0, 30.0]
    print("  constr.RHS = [10, 20, 30] ->", constr.RHS)
    m.remove(constr[1])
    m.update()
    print("  after removing row 1:", constr, "indices", constr._idxarr())


if __name__ == "__main__":
    main()
    constraint_arrays()
