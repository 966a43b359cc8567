"""zudirivi: Python interface of the tovrix optimization solver.

Modeling objects (models, variables, expressions, constraints) and their
N-dimensional matrix forms, built by compiled extension modules.
"""

__version__ = "0.1.0"

# Load order matters: each module binds names of the ones before it at load.
from . import _util
from . import _tvx
from . import _exception
from . import _core
from . import _propkit
from . import _arrayexpr
from . import _buildaid
from . import _batch

from ._tvx import TVX
from ._exception import TovrixError
from ._core import (
    Constr,
    Env,
    GenConstr,
    GenExpr,
    LinExpr,
    Model,
    NLExpr,
    QConstr,
    QuadExpr,
    TempConstr,
    Var,
    tupledict,
)
from ._arrayexpr import (
    MConstr,
    MGenConstr,
    MLinExpr,
    MNLExpr,
    MQConstr,
    MQuadExpr,
    MVar,
    concatenate,
    hstack,
    vstack,
)
from ._batch import Batch
