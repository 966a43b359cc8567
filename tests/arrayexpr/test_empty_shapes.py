"""Element-wise operations and matrix products with a zero-length dimension:
NumPy's result shape, with no terms and zero values, in both storage states
and in the optimized interpreter (where a broken invariant would otherwise
slip through)."""

import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi import MLinExpr

from helpers import subprocess_env

X, Z, Y = (0, 3), (1, 3), (3, 0)  # shapes of the operands x, z and y below

# (label, operation on MVars x, z, y, the same operation on float arrays)
CASES = [
    ("zeros(1,0) @ x", lambda x, z, y: np.zeros((1, 0)) @ x, None),
    ("zeros(0) @ x", lambda x, z, y: np.zeros((0,)) @ x, None),
    ("csr(1,0) @ x", lambda x, z, y: sp.csr_matrix((1, 0)) @ x,
     lambda x, z, y: np.zeros((1, 0)) @ x),
    ("ones(1,3) @ y", lambda x, z, y: np.ones((1, 3)) @ y, None),
    ("x.T @ zeros(0,2)", lambda x, z, y: x.T @ np.zeros((0, 2)), None),
    ("y * ones(3,1)", lambda x, z, y: y * np.ones((3, 1)), None),
    ("y / ones(3,1)", lambda x, z, y: y / np.ones((3, 1)), None),
    ("y *= ones(3,1)", lambda x, z, y: (y + 0).__imul__(np.ones((3, 1))), None),
    ("y /= ones(3,1)", lambda x, z, y: (y + 0).__itruediv__(np.ones((3, 1))), None),
    ("x + z", lambda x, z, y: x + z, None),
    ("z - x", lambda x, z, y: z - x, None),
    ("(z + 1) + (x + 1)", lambda x, z, y: (z + 1) + (x + 1), None),
    ("x + ones(1,3)", lambda x, z, y: x + np.ones((1, 3)), None),
    ("x += ones(3)", lambda x, z, y: (x + 0).__iadd__(np.ones(3)), None),
]


def cells_are_zero(e):
    if e._is_compact:
        return not e._matmulparts and not e._const.any()
    return all(c.size() == 0 and c.getConstant() == 0.0 for c in e._learr.flat)


@pytest.mark.parametrize("label, op, numpy_op", CASES, ids=[c[0] for c in CASES])
def test_numpy_shape_and_zero_cells(model, keep, label, op, numpy_op):
    x, z, y = model.addMVar(X), model.addMVar(Z), model.addMVar(Y)
    e = op(x, z, y)
    expected = (numpy_op or op)(np.ones(X), np.ones(Z), np.ones(Y)).shape
    assert isinstance(e, MLinExpr) and e.shape == expected
    assert cells_are_zero(e)
    model.update()
    model._loadSolution([1.0] * model.NumVars)
    assert np.array_equal(e.getValue(), np.zeros(expected))


def test_in_place_operators_keep_the_object(model):
    x, y = model.addMVar(X), model.addMVar(Y)
    e, f = x + 0, y + 0
    assert (e.__iadd__(np.ones(3)) is e) and e.shape == X
    assert (f.__imul__(np.ones((3, 1))) is f) and f.shape == Y
    assert (f.__itruediv__(np.ones((3, 1))) is f) and f.shape == Y


def test_optimized_interpreter_gives_the_same_shapes():
    code = (
        "import numpy as np, zudirivi as tvp\n"
        "m = tvp.Model()\n"
        "x, z, y = m.addMVar((0, 3)), m.addMVar((1, 3)), m.addMVar((3, 0))\n"
        "print([(np.zeros((1, 0)) @ x).shape, (y * np.ones((3, 1))).shape, (x + z).shape,\n"
        "       (z - x).shape])\n"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         env=subprocess_env(), check=True).stdout
    assert out.strip() == "[(1, 3), (3, 0), (0, 3), (0, 3)]"
