"""MLinExpr: storage states, compact affine algebra and factories."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import run_optimized
from zudirivi._arrayexpr import MLinExpr, MVar
from zudirivi._core import LinExpr, Model
from oracle import terms


@pytest.fixture
def model():
    return Model()


@pytest.fixture
def keep_compact_off():
    MLinExpr._keep_compact = 0
    try:
        yield
    finally:
        MLinExpr._keep_compact = 1


def cell_terms(e):
    return [terms(le) for le in e._to_full()._learr.flat] if e._is_compact else [
        terms(le) for le in e._learr.flat
    ]


@pytest.mark.parametrize(
    "shape, compact",
    [(3, True), ((), True), ((0,), True), ((0, 7), True), ((1, 4), True), ((2, 3), False),
     ((1, 1, 1), False)],
)
def test_zeros_state_follows_shape(shape, compact):
    e = MLinExpr.zeros(shape)
    assert e._is_compact is compact
    norm = (shape,) if isinstance(shape, int) else shape
    assert e.shape == norm and e.size == int(np.prod(norm)) and e.ndim == len(norm)
    if compact:
        assert e._matmulparts == [] and e._learr is None
        assert e._const.dtype == np.float64 and not e._const.any()
        assert e._leading_adim == e.size
    else:
        assert e._matmulparts is None and e._const is None
        cells = list(e._learr.flat)
        assert len({id(c) for c in cells}) == len(cells)
        assert all(terms(c) == (0.0, [], []) for c in cells)


def test_keep_compact_switch(keep_compact_off):
    assert not MLinExpr.zeros(3)._is_compact
    MLinExpr._keep_compact = 1
    assert MLinExpr.zeros(3)._is_compact


@pytest.mark.parametrize(
    "shape, allowed",
    [((), True), ((5,), True), ((1, 5), True), ((5, 1), True), ((1, 1), True), ((0, 7), True),
     ((2, 3), False), ((2, 2), False), ((1, 1, 1), False), ((5, 1, 1), False)],
)
def test_allows_compact(shape, allowed):
    assert MLinExpr._allows_compact(shape) is allowed


def test_constructor_stores_without_copy(model):
    arr = np.array([LinExpr(), LinExpr()], dtype=object)
    e = MLinExpr(arr)
    assert e._learr is arr
    arr[0].addConstant(2.0)
    assert e._learr[0].constant == 2.0
    b = np.zeros(0)
    empty = MLinExpr(matmulparts=[], b=b)
    assert empty._const is b and empty.shape == (0,)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(wraponly=np.empty(1, dtype=object), b=np.zeros(1)),
        dict(wraponly=[1]),
        dict(matmulparts=[]),
        dict(matmulparts=[], b=[0.0]),
        dict(matmulparts=[(sp.csr_matrix(np.ones((1, 1))), None)], b=np.zeros(0)),
        dict(matmulparts=[(np.ones((1, 1)), None)], b=np.zeros(1)),
    ],
)
def test_constructor_assertions(kwargs):
    with pytest.raises(AssertionError):
        MLinExpr(**kwargs)


@pytest.mark.parametrize(
    "part, text",
    [((1, 2, 3), "too many values to unpack (expected 2)"),
     ((sp.csr_matrix(np.ones((1, 1))),), "need more than 1 value to unpack")],
)
def test_part_unpacking_fails_in_every_mode(part, text):
    with pytest.raises(ValueError, match=text.replace("(", r"\(").replace(")", r"\)")):
        MLinExpr(matmulparts=[part], b=np.zeros(1))


def test_assertions_skipped_when_optimized():
    run_optimized(
        """
        import numpy as np
        import zudirivi
        from zudirivi._arrayexpr import MLinExpr
        e = MLinExpr(np.empty(1, dtype=object), b=np.zeros(1))   # no check
        print(e._learr is not None)
        f = MLinExpr.zeros(3)
        f._learr = np.empty(3, dtype=object)                     # broken pairing
        print(f._is_compact)
        try:
            MLinExpr(matmulparts=[(1, 2, 3)], b=np.zeros(1))
        except ValueError as exc:
            print(exc)
        """,
        expected="True\nTrue\ntoo many values to unpack (expected 2)",
    )


def test_is_compact_asserts_pairing():
    f = MLinExpr.zeros(3)
    f._learr = np.empty(3, dtype=object)
    with pytest.raises(AssertionError):
        f._is_compact
    with pytest.raises(AttributeError):
        MLinExpr.zeros((2, 3))._leading_adim


# --- compact affine algebra -------------------------------------------------


def test_affine_without_arguments():
    e = MLinExpr._from_compact_affine_expr()
    assert e._is_compact and e.shape == () and e._matmulparts == [] and e._const == 0.0


@pytest.mark.parametrize("b, shape", [(np.ones((2, 3)), (2, 3)), ([1, 2], (2,))])
def test_affine_constant_only(b, shape):
    e = MLinExpr._from_compact_affine_expr(b=b)
    assert e.shape == shape and e._const.dtype == np.float64 and e._matmulparts == []
    assert e._const is not b


@pytest.mark.parametrize(
    "A, side, xshape, shape, mat",
    [
        (np.array([[1.0, 0, 2], [0, 3, 0]]), "right", (3,), (2,), [[1, 0, 2], [0, 3, 0]]),
        (np.array([[1.0, 2], [3, 4], [5, 6]]), "left", (3,), (2,), [[1, 3, 5], [2, 4, 6]]),
        (np.array([1.0, 2, 3]), "right", (3,), (), [[1, 2, 3]]),
        (np.array([[1.0], [2], [3]]), "right", (3, 1), (3,), None),
        (np.array([[2.5]]), "right", (1, 4), (1, 4), np.diag([2.5] * 4)),
        (np.array([[2.5]]), "left", (4, 1), (4, 1), np.diag([2.5] * 4)),
    ],
)
def test_affine_layouts(model, A, side, xshape, shape, mat):
    x = model.addMVar(xshape)
    if side == "right":
        if xshape == (3, 1):
            with pytest.raises(ValueError):  # (3, 1) @ (3, 1) does not multiply
                MLinExpr._from_compact_affine_expr(A=A, x_right=x)
            return
        e = MLinExpr._from_compact_affine_expr(A=A, x_right=x)
    else:
        e = MLinExpr._from_compact_affine_expr(x_left=x, A=A)
    assert e.shape == shape and not e._const.any()
    (M, xv), = e._matmulparts
    assert isinstance(M, sp.csr_matrix) and M.dtype == np.float64
    assert M.nnz == np.count_nonzero(mat)
    np.testing.assert_array_equal(M.toarray(), mat)
    assert xv.shape == (x.size,)
    assert all(a is b for a, b in zip(xv._vararr, x._vararr.reshape(-1)))
    A[...] = 0  # the caller's matrix is not shared
    assert M.nnz == np.count_nonzero(mat)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(x_left=1, x_right=1), "Matmul expression has too many variables"),
        (dict(A=np.ones((2, 2))), "Matmul expression has no variables"),
        (dict(A=np.ones((4, 3)), xs=(3, 4)), "Right variable's shape (3, 4) is not compact"),
        (dict(A=np.ones((3, 2)), b=np.ones((3, 1)), xs=(2,)),
         "Compact state cannot have shape (3, 3)"),
    ],
)
def test_affine_errors(model, kwargs, text):
    xs = kwargs.pop("xs", None)
    if xs is not None:
        kwargs["x_right"] = model.addMVar(xs)
    with pytest.raises(ValueError) as info:
        MLinExpr._from_compact_affine_expr(**kwargs)
    assert str(info.value) == text


def test_affine_left_shape_error(model):
    with pytest.raises(ValueError, match=r"Left variable's shape \(2, 3\) is not compact"):
        MLinExpr._from_compact_affine_expr(x_left=model.addMVar((2, 3)), A=np.ones((3, 3)))


def test_affine_with_constant(model):
    x = model.addMVar(3)
    e = MLinExpr._from_compact_affine_expr(A=np.ones((2, 3)), x_right=x, b=5.0)
    np.testing.assert_array_equal(e._const, [5.0, 5.0])
    assert e._const.flags.writeable and e._const.flags.c_contiguous
    # A one-cell product under a longer constant: its row serves every cell.
    f = MLinExpr._from_compact_affine_expr(A=np.ones(3), x_right=x, b=[1.0, 2.0])
    assert f.shape == (2,) and f._matmulparts[0][0].shape == (2, 3)
    assert cell_terms(f)[1][0] == 2.0 and len(cell_terms(f)[1][1]) == 3


def test_concat_extract_and_add_part(model):
    x1, x2 = model.addMVar(2), model.addMVar(1)
    A1 = sp.csr_matrix(np.array([[1.0, 0], [0, 2], [3, 0]]))
    e = MLinExpr._from_compact_affine_expr(A=A1, x_right=x1)
    assert e._extract_Axb()[0] is e._matmulparts[0][0]
    e._add_matmul_part(np.ones((3, 1)), x2)
    e._add_matmul_part(np.ones((3, 1)), x2)  # the same variable twice stays twice
    A, x, b = e._extract_Axb()
    assert len(e._matmulparts) == 1 and e._matmulparts[0] == (A, x)
    np.testing.assert_array_equal(A.toarray(), [[1, 0, 1, 1], [0, 2, 1, 1], [3, 0, 1, 1]])
    assert [v for v in x._vararr] == [*x1._vararr, x2._vararr[0], x2._vararr[0]]
    assert b is e._const
    empty = MLinExpr.zeros(3)
    assert empty._extract_Axb() == (None, None, empty._const) and empty._matmulparts == []
    with pytest.raises(AssertionError):
        e._add_matmul_part(np.ones((2, 1)), x2)  # rows must match the cells
    with pytest.raises(AssertionError):
        MLinExpr.zeros((2, 3))._extract_Axb()


# --- factories ----------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, compact, side",
    [((3,), True, "right"), ((1, 4), True, "left"), ((1, 1), True, "left"),
     ((4, 1), True, "right"), ((), True, "right"), ((2, 3), False, None),
     ((2, 1, 2), False, None)],
)
def test_from_mvar_states(model, shape, compact, side):
    x = model.addMVar(shape)
    e = MLinExpr._from_mvar(x)
    assert e._is_compact is compact and e.shape == shape
    if compact:
        (A, xv), = e._matmulparts
        np.testing.assert_array_equal(A.toarray(), np.eye(max(x.size, 1)))
        assert x.shape == shape  # a 0-d MVar keeps its shape
    vars_ = list(x._vararr.flat)
    assert cell_terms(e) == [(0.0, [1.0], [id(v)]) for v in vars_]
    full = MLinExpr._from_mvar(x, force_full=True)
    assert not full._is_compact and cell_terms(full) == cell_terms(e)


def test_from_mvar_empty_and_subclass(model, keep_compact_off):
    class Sub(MLinExpr):
        pass

    MLinExpr._keep_compact = 1
    for shape in [(0,), (2, 0)]:
        e = Sub._from_mvar(model.addMVar(shape))
        assert type(e) is MLinExpr and e._is_compact and e._matmulparts == []
    e = Sub._from_mvar(model.addMVar((0, 3, 3)))
    assert type(e) is Sub and not e._is_compact and e.shape == (0, 3, 3)
    MLinExpr._keep_compact = 0
    assert not MLinExpr._from_mvar(model.addMVar(3))._is_compact


def test_from_mvar_compact_refuses_wide_shapes(model):
    with pytest.raises(AssertionError):
        MLinExpr._from_mvar_compact(model.addMVar((2, 3)))
    run_optimized(
        """
        from zudirivi._arrayexpr import MLinExpr
        from zudirivi._core import Model
        try:
            MLinExpr._from_mvar_compact(Model().addMVar((2, 3)))
        except UnboundLocalError as exc:
            print(exc)
        """,
        expected="local variable 'ndle' referenced before assignment",
    )


def test_from_var_and_linexpr(model):
    v = model.addVar()
    e = MLinExpr._from_var(v)
    assert e.shape == () and not e._is_compact and terms(e._learr.item()) == (0.0, [1.0], [id(v)])
    le = LinExpr(2.0, v)
    f = MLinExpr._from_linexpr(le)
    le.addConstant(1.0)
    assert f._learr.item() is not le and terms(f._learr.item()) == (0.0, [2.0], [id(v)])
    for factory, arg in [(MLinExpr._from_var, le), (MLinExpr._from_linexpr, v)]:
        with pytest.raises(Exception, match="Wrong type") as info:
            factory(arg)
        assert type(info.value) is Exception


def test_from_linexprs(model):
    v, w = model.addVar(), model.addVar()
    le1, le2 = LinExpr(1.0, v), LinExpr(2.0, w)
    inner = MLinExpr._from_linexpr(LinExpr(3.0, w))
    e = MLinExpr._from_linexprs([[le1, le2], [v, inner]])
    assert e.shape == (2, 2) and not e._is_compact
    assert cell_terms(e) == [terms(le1), terms(le2), (0.0, [1.0], [id(v)]),
                             terms(inner._learr.item())]
    assert e._learr[0, 0] is not le1
    with pytest.raises(ValueError):
        MLinExpr._from_linexprs([])


# --- class table --------------------------------------------------------------


def test_member_order_kinds_and_defaults():
    names = [n for n in vars(MLinExpr) if not n.startswith("__") or n in (
        "__array_priority__", "__init__", "__repr__", "__getitem__", "__setitem__", "__iadd__")]
    core = ["__array_priority__", "_keep_compact", "__init__", "_is_compact", "_allows_compact",
            "zeros", "_zeros_full", "_concat_matmulparts", "_extract_Axb", "_convert_to_full",
            "_to_full", "_from_compact_affine_expr", "_add_matmul_part", "_from_mvar",
            "_from_mvar_compact", "_from_mvar_full", "_from_var", "_from_linexpr",
            "_from_linexprs", "__repr__", "ndim", "shape", "size", "_leading_adim", "item",
            "__getitem__", "__setitem__", "_setitem_linexpr", "_setitem_mlinexpr",
            "_setitem_iaddable", "clear", "_clear_compact", "_clear_full", "getConstant", "copy",
            "_copy_compact", "_copy_full", "_flatten", "_normalize", "sum", "getValue"]
    assert [n for n in names if n in core] == core
    d = vars(MLinExpr)
    assert isinstance(d["_allows_compact"], staticmethod)
    assert all(isinstance(d[n], classmethod) for n in ("zeros", "_from_mvar", "_from_linexprs"))
    assert all(isinstance(d[n], property) for n in ("_is_compact", "ndim", "shape", "size"))
    assert d["shape"].__doc__ == "The shape of the expression, as a tuple of ints"
    assert MLinExpr.__init__.__defaults__ == (None, None, None)
    assert d["_from_compact_affine_expr"].__func__.__defaults__ == (None,) * 4
    assert d["_from_mvar"].__func__.__defaults__ == (False,)
    assert MLinExpr.sum.__defaults__ == (None,)
    assert MLinExpr.copy.__qualname__ == "MLinExpr.copy"
    assert "PURPOSE:\n  Create a copy of this expression." in MLinExpr.copy.__doc__
    assert MLinExpr.__getitem__.__doc__ is None and MLinExpr._keep_compact == 1


@pytest.mark.parametrize(
    "call, text",
    [(lambda e: e.copy(1), "copy() takes exactly 1 positional argument (2 given)"),
     (lambda e: e.sum(0, 1), "sum() takes at most 2 positional arguments (3 given)"),
     (lambda e: e.sum(axes=0), "sum() got an unexpected keyword argument 'axes'")],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call(MLinExpr.zeros(3))
    assert str(info.value) == text
