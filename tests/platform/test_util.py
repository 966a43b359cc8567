"""The stand-in module zudirivi._util."""

import copy
import ctypes
import operator
import pathlib
import pickle
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak, subprocess_env
from zudirivi import _util as u


def fsum(terms):
    return sum(terms, 0.0)


def as_float(arr):
    assert isinstance(arr, np.ndarray) and arr.dtype == object
    return arr.astype(float)


def test_numpy_is_imported_on_first_use_only():
    # Loads the extension file alone, so that no other module brings NumPy in.
    code = textwrap.dedent("""
        import glob, importlib.machinery, importlib.util, os, sys
        pkg = importlib.util.find_spec("zudirivi").submodule_search_locations[0]
        path = glob.glob(os.path.join(pkg, "_util.*so"))[0]
        loader = importlib.machinery.ExtensionFileLoader("zudirivi._util", path)
        spec = importlib.util.spec_from_file_location("zudirivi._util", path, loader=loader)
        u = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(u)
        u._broadcast_shapes((2, 1), (3,)), u._isscalar(1.5), u._isscalar(None)
        print("numpy" in sys.modules)
        import operator
        u._dense_matmul_kernel([1.0], [2.0], f_multiply=operator.mul, f_sum=sum)
        print("numpy" in sys.modules)
        """)
    out = subprocess.run(
        [sys.executable, "-c", code], env=subprocess_env(), capture_output=True, text=True
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "True"]


# ----------------------------------------------------------------- shapes


@pytest.mark.parametrize(
    "shapes, expected",
    [
        ((3,), (3,)),
        (((2, 3),), (2, 3)),
        (((),), ()),
        ((), ()),
        (([4, 0],), (4, 0)),
        ((np.int64(5),), (5,)),
        (((2, 1), (3,)), (2, 3)),
        (((1,), (0,)), (0,)),
        (((), (2, 2)), (2, 2)),
        (((4, 1, 2), (3, 1), (1,)), (4, 3, 2)),
    ],
)
def test_broadcast_shapes(shapes, expected):
    got = u._broadcast_shapes(*shapes)
    assert got == expected and type(got) is tuple
    assert all(type(d) is int for d in got)
    if len(shapes) > 1:
        assert got == np.broadcast_shapes(*shapes)


@pytest.mark.parametrize(
    "shapes, exc",
    [
        (((2,), (3,)), ValueError),
        (((0,), (2,)), ValueError),
        (((2, 3), (3,), (2, 1, 4)), ValueError),
        (((-1,),), ValueError),
        ((-2,), ValueError),
        (("ab",), TypeError),
        ((None,), TypeError),
        ((2.0,), TypeError),
        (((2, 1.5),), TypeError),
    ],
)
def test_broadcast_shapes_refused(shapes, exc):
    with pytest.raises(exc):
        u._broadcast_shapes(*shapes)


@pytest.mark.parametrize(
    "left, right",
    [
        ((2, 3), (3, 4)),
        ((2, 3), (3,)),
        ((3,), (3, 4)),
        ((3,), (3,)),
        ((3, 0), (0,)),
        ((0, 3), (3, 5)),
        ((2, 0), (0, 4)),
        ((1, 1), (1, 1)),
    ],
)
def test_matmul_shape_is_numpys(left, right):
    expected = np.matmul(np.empty(left), np.empty(right)).shape
    assert u._matmul_shape(left, right, do_raise=True) == expected
    assert u._matmul_shape(left, right) == expected
    assert u._matmul_shape(left, right, do_raise=False) == expected


@pytest.mark.parametrize(
    "left, right",
    [
        ((2, 3), (4,)),
        ((2, 0), (3,)),
        ((3,), (2, 3)),
        ((), (3,)),
        ((3,), ()),
        ((), ()),
        # The expression products index two axes only: more are refused.
        ((2, 2, 3), (3, 4)),
        ((2, 3), (2, 3, 4)),
    ],
)
def test_matmul_shape_refused(left, right):
    with pytest.raises(ValueError, match="matrix product"):
        u._matmul_shape(left, right, do_raise=True)
    assert u._matmul_shape(left, right, do_raise=False) is None


@pytest.mark.parametrize(
    "axis, ndim, expected",
    [
        (None, 2, [-1, -1]),
        (None, 0, []),
        (0, 2, [-1, 0]),
        (1, 2, [0, -1]),
        (-1, 3, [0, 1, -1]),
        (np.int64(1), 3, [0, -1, 1]),
        ((0, 2), 3, [-1, 0, -1]),
        ([2, -3], 3, [-1, 0, -1]),
        ((), 2, [0, 1]),
    ],
)
def test_axis_to_axeslist(axis, ndim, expected):
    assert u._axis_to_axeslist(axis, ndim) == expected


@pytest.mark.parametrize("axis", [None, 0, 1, 2, -1, (0, 2), (1,)])
def test_axeslist_drives_a_reducing_iterator_like_sum(axis):
    # The callers gather the cells of each result cell into a list, with the
    # axis list as op_axes of the output operand of a buffered reducing loop.
    a = np.arange(24).reshape(2, 3, 4).astype(object)
    axes = u._axis_to_axeslist(axis, a.ndim)
    shape = tuple(d for d, k in zip(a.shape, axes) if k != -1)
    out = np.fromiter(([] for _ in range(int(np.prod(shape)))), dtype="O").reshape(shape)
    with np.nditer(
        [a, out],
        flags=["refs_ok", "reduce_ok", "external_loop", "buffered", "zerosize_ok"],
        op_flags=[["readwrite"], ["readwrite"]],
        op_axes=[None, axes],
        op_dtypes=["object", "object"],
    ) as it:
        for x, y in it:
            for i in range(x.shape[0]):
                y[i].append(x[i])
    got = np.vectorize(sum, otypes=[int])(out) if out.ndim else sum(out[()])
    np.testing.assert_array_equal(got, a.astype(int).sum(axis=axis))


@pytest.mark.parametrize("axis, ndim", [(2, 2), (-3, 2), (0, 0), ((0, 0), 2), ((0, 5), 2)])
def test_axis_out_of_range_is_index_error(axis, ndim):
    with pytest.raises(IndexError):
        u._axis_to_axeslist(axis, ndim)


def test_axis_of_wrong_type():
    with pytest.raises(TypeError):
        u._axis_to_axeslist(1.0, 2)


# ----------------------------------------------------------------- scalars and text


class _BadFloat:
    def __float__(self):
        raise RuntimeError("no")


SCALARS = [0, -3, 2.5, True, np.float64(1.5), np.float32(2), np.int8(-1), np.uint64(7), np.bool_(1)]
NOT_SCALARS = [
    1j,
    np.complex128(1),
    "1",
    b"1",
    None,
    [1.0],
    (1.0,),
    {1.0},
    np.array(1.0),
    np.array([1.0]),
    np.array([True]),
    sp.csr_matrix(np.eye(2)),
    10**400,
    Fraction(1, 2),
    Decimal("1.5"),
    np.timedelta64(3, "s"),
    _BadFloat(),
    object(),
]


@pytest.mark.parametrize("value", SCALARS, ids=repr)
def test_isscalar_true_for_real_numbers(value):
    assert u._isscalar(value) is True
    float(value)  # what the callers do next


@pytest.mark.parametrize("value", NOT_SCALARS, ids=lambda v: type(v).__name__)
def test_isscalar_false_otherwise(value):
    assert u._isscalar(value) is False


@pytest.mark.parametrize(
    "value, expected",
    [("a", True), ("", True), (np.str_("x"), True), (b"a", False), (1, False), (None, False)],
)
def test_isstr(value, expected):
    assert u._isstr(value) is expected


@pytest.mark.parametrize("text", ["", "LB", "h\u00e9llo \u2211 \U0001f600"])
def test_text_round_trip(text):
    data = u._stringtobytes(text)
    assert type(data) is bytes and data == text.encode("utf-8")
    assert u._bytestostring(data) == text
    assert u._bytestostring(bytearray(data)) == text


def test_stringtobytes_accepts_paths_and_bytes():
    assert u._stringtobytes(pathlib.PurePosixPath("/tmp/x.json")) == b"/tmp/x.json"
    assert u._stringtobytes(b"abc") == b"abc"


@pytest.mark.parametrize(
    "value, exc", [("a\0b", ValueError), (b"a\0", ValueError), (1, TypeError), (None, TypeError)]
)
def test_stringtobytes_refuses(value, exc):
    # A NUL would silently cut the text the library receives.
    with pytest.raises(exc):
        u._stringtobytes(value)


@pytest.mark.parametrize(
    "value, exc", [(b"\xff\xfe", UnicodeDecodeError), (None, TypeError), (3, TypeError)]
)
def test_bytestostring_refuses(value, exc):
    with pytest.raises(exc):
        u._bytestostring(value)


# ----------------------------------------------------------------- identity test of item assignment


@pytest.fixture
def cells():
    arr = np.empty((2, 3), dtype=object)
    for i in range(2):
        for j in range(3):
            arr[i, j] = [i, j]  # distinct objects, equal to none of the others
    return arr


def test_all_refs_match_same_cells(cells):
    assert u._all_refs_match(np.asarray(cells), cells) is True
    assert u._all_refs_match(cells[0:1], cells[0:1]) is True
    assert (
        u._all_refs_match(cells[:, 1], cells[:, 1].copy()) is True
    )  # a copy holds the same objects
    single = np.empty((), dtype=object)  # what asarray makes of a one-cell selection
    single[()] = cells[1, 2]
    assert u._all_refs_match(single, cells[1, 2:3].reshape(())) is True


def test_all_refs_match_broadcast_value():
    shared = np.array([float(x) for x in "123"], dtype=object)  # three objects
    target = np.empty((2, 3), dtype=object)
    target[0] = shared
    target[1] = shared
    assert u._all_refs_match(target, shared) is True
    target[1, 2] = float("3")  # equal, not the same object
    assert u._all_refs_match(target, shared) is False


def test_all_refs_match_refusals(cells):
    other = cells.copy()
    other[1, 1] = [1, 1]  # equal content, another object
    assert u._all_refs_match(other, cells) is False
    assert u._all_refs_match(cells, cells.T) is False  # shapes that do not fit
    assert u._all_refs_match(cells[0], cells) is False  # the value larger than the selection
    assert u._all_refs_match(cells[0:0], cells[0:0]) is False  # no cell selected
    assert u._all_refs_match(np.ones(3), np.ones(3)) is False
    assert u._all_refs_match(list(cells.flat), cells.flat[:]) is False


# ----------------------------------------------------------------- pointer wrapper and C-function table

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def _capi(name, restype, argtype):
    capsule = u.__pyx_capi__[name]
    address = _get_pointer(capsule, _get_name(capsule))
    return ctypes.PYFUNCTYPE(restype, argtype)(address)


@pytest.fixture(scope="module")
def ptr():
    return _capi("_ptr", ctypes.c_void_p, ctypes.py_object)


@pytest.fixture(scope="module")
def wrapptr():
    return _capi("_wrapptr", ctypes.py_object, ctypes.c_void_p)


def test_capsule_names_are_signatures():
    assert sorted(u.__pyx_capi__) == ["_ptr", "_wrapptr"]
    assert _get_name(u.__pyx_capi__["_ptr"]) == b"void *(PyObject *)"
    assert _get_name(u.__pyx_capi__["_wrapptr"]) == b"PyObject *(void *)"


def test_pointer_round_trip(ptr, wrapptr):
    buf = ctypes.create_string_buffer(8)
    address = ctypes.addressof(buf)
    w = wrapptr(address)
    assert type(w) is u.PtrWrapper
    assert ptr(w) == address
    assert hex(address) in repr(w)
    again = wrapptr(address)
    assert again is not w and again == w and hash(again) == hash(w)
    assert w != wrapptr(address + 1) and w != address
    assert len({w, again}) == 1


def test_null_and_none(ptr, wrapptr):
    assert wrapptr(None) is None
    assert ptr(None) is None  # NULL, no error


@pytest.mark.parametrize("value", [0, "0x10", object()])
def test_ptr_refuses_other_objects(ptr, value):
    with pytest.raises(TypeError):
        ptr(value)


def test_wrapper_cannot_be_forged(wrapptr):
    with pytest.raises(TypeError):
        u.PtrWrapper()
    with pytest.raises(TypeError):
        type("Sub", (u.PtrWrapper,), {})
    w = wrapptr(4096)
    with pytest.raises(TypeError):
        copy.copy(w)
    with pytest.raises(TypeError):
        pickle.dumps(w)


# ----------------------------------------------------------------- matrix-product kernels


def objarr(shape, seed=0):
    return np.random.default_rng(seed).integers(-5, 6, size=shape).astype(float).astype(object)


@pytest.mark.parametrize(
    "lshape, rshape",
    [
        ((2, 3), (3, 4)),
        ((3,), (3, 4)),
        ((2, 3), (3,)),
        ((3,), (3,)),
        ((2, 2, 3), (3, 4)),
        ((3,), (2, 3, 4)),
        ((2, 1, 2, 3), (4, 3, 2)),
        ((0, 3), (3, 2)),
        ((2, 0), (0, 3)),
        ((2, 3), (3, 0)),
    ],
)
def test_dense_kernel_is_matmul(lshape, rshape):
    left, right = objarr(lshape, 1), objarr(rshape, 2)
    got = u._dense_matmul_kernel(left, right, f_multiply=operator.mul, f_sum=fsum)
    expected = left.astype(float) @ right.astype(float)
    assert got.shape == expected.shape
    np.testing.assert_array_equal(as_float(got), expected)


def test_dense_kernel_pairs_and_order():
    left = np.array([[object() for _ in range(2)] for _ in range(2)], dtype=object)
    right = np.array([[object() for _ in range(3)] for _ in range(2)], dtype=object)
    got = u._dense_matmul_kernel(left, right, f_multiply=lambda l, r: (l, r), f_sum=tuple)
    for i in range(2):
        for j in range(3):
            pairs = got[i, j]
            assert len(pairs) == 2
            for p, (l, r) in enumerate(pairs):
                assert l is left[i, p] and r is right[p, j]


def test_dense_kernel_strided_and_numeric_operands():
    base = objarr((4, 6), 3)
    left = base[::2, ::2]  # not contiguous
    right = np.arange(6.0).reshape(3, 2)  # float array: cells become Python floats
    got = u._dense_matmul_kernel(left, right, f_multiply=operator.mul, f_sum=fsum)
    np.testing.assert_array_equal(as_float(got), left.astype(float) @ right)


def test_dense_kernel_result_of_two_vectors_is_0d_array():
    got = u._dense_matmul_kernel(
        objarr(3), objarr(3, 1), f_multiply=operator.mul, f_sum=lambda t: ("sum", len(t))
    )
    assert isinstance(got, np.ndarray) and got.shape == () and got[()] == ("sum", 3)


def test_dense_kernel_empty_contraction_sums_nothing():
    calls = []
    got = u._dense_matmul_kernel(
        objarr((2, 0)),
        objarr((0, 2)),
        f_multiply=operator.mul,
        f_sum=lambda t: calls.append(t) or "e",
    )
    assert calls == [[]] * 4 and (got == "e").all()


@pytest.mark.parametrize(
    "lshape, rshape", [((2, 3), (4,)), ((), (3,)), ((3,), ()), ((2, 2, 3), (3, 3, 4))]
)
def test_dense_kernel_refuses_shapes(lshape, rshape):
    with pytest.raises(ValueError, match="matrix product"):
        u._dense_matmul_kernel(objarr(lshape), objarr(rshape), f_multiply=operator.mul, f_sum=fsum)


def _as_sparse(dense, fmt, index_dtype):
    m = sp.coo_matrix(dense).asformat(fmt)
    for name in ("indices", "indptr", "row", "col"):
        if hasattr(m, name) and isinstance(getattr(m, name), np.ndarray):
            setattr(m, name, getattr(m, name).astype(index_dtype))
    return m


DENSE_A = np.array([[1.0, 0.0, 2.5, 0.0], [0.0, 0.0, -1.0, 3.0], [4.0, 0.0, 0.0, 1.0]])
SPARSE_FORMATS = [(fmt, dt) for fmt in ("csr", "csc", "coo") for dt in (np.int32, np.int64)] + [
    ("lil", np.int32),
    ("dok", np.int32),
    ("bsr", np.int32),
]


@pytest.mark.parametrize("fmt, index_dtype", SPARSE_FORMATS)
@pytest.mark.parametrize("tshape", [(2, 3), (3,), (2, 2, 3), (0, 3)])
def test_sparse_right_kernel_is_matmul(fmt, index_dtype, tshape):
    A = _as_sparse(DENSE_A, fmt, index_dtype)
    tree = objarr(tshape, 4)
    calls = []

    def mul(l, a):
        calls.append(a)
        return l * a

    got = u._sparse_right_matmul_kernel(tree, A, f_multiply=mul, f_sum=fsum)
    expected = tree.astype(float) @ DENSE_A
    assert got.shape == expected.shape
    np.testing.assert_array_equal(as_float(got), expected)
    # Stored entries only: one call per stored entry and row of the tree array.
    rows = int(np.prod(tshape[:-1]))
    assert len(calls) == rows * 6 and 0.0 not in calls


@pytest.mark.parametrize("fmt, index_dtype", SPARSE_FORMATS)
@pytest.mark.parametrize("tshape", [(4, 2), (4,), (3, 4, 2), (4, 0)])
def test_sparse_left_kernel_is_matmul(fmt, index_dtype, tshape):
    A = _as_sparse(DENSE_A, fmt, index_dtype)
    tree = objarr(tshape, 5)
    got = u._sparse_left_matmul_kernel(A, tree, f_multiply=operator.mul, f_sum=fsum)
    expected = DENSE_A @ tree.astype(float)
    assert got.shape == expected.shape
    np.testing.assert_array_equal(as_float(got), expected)


def test_sparse_kernels_argument_order_and_terms():
    A = sp.csr_matrix(np.array([[1.0, 2.5], [0.0, 0.0]]))
    tree = np.array([object(), object()], dtype=object)
    right = u._sparse_right_matmul_kernel(tree, A, f_multiply=lambda l, a: (l, a), f_sum=tuple)
    assert right.shape == (2,)
    assert right[0] == ((tree[0], 1.0),) and right[0][0][0] is tree[0]
    assert right[1] == ((tree[0], 2.5),)
    left = u._sparse_left_matmul_kernel(A, tree, f_multiply=lambda a, r: (a, r), f_sum=tuple)
    assert left[0] == ((1.0, tree[0]), (2.5, tree[1])) and left[1] == ()


def test_sparse_kernels_visit_explicit_zeros_and_duplicates():
    A = sp.coo_matrix(
        (np.array([0.0, 2.0, 3.0]), (np.array([0, 1, 1]), np.array([0, 0, 0]))), shape=(2, 1)
    )
    tree = np.array([1.0, 10.0], dtype=object)
    got = u._sparse_right_matmul_kernel(tree, A, f_multiply=lambda l, a: (l, a), f_sum=tuple)
    assert got[0] == ((1.0, 0.0), (10.0, 2.0), (10.0, 3.0))


def test_sparse_kernels_hand_over_values_of_other_dtypes():
    A = sp.csr_matrix(np.array([[2, 0], [0, 3]], dtype=np.int32))
    got = u._sparse_left_matmul_kernel(
        A, np.array([1.0, 1.0], dtype=object), f_multiply=lambda a, r: a, f_sum=tuple
    )
    assert got.tolist() == [(2,), (3,)] and type(got[0][0]) is int


def test_sparse_kernels_with_one_dimensional_sparse_arrays():
    try:
        v = sp.coo_array(np.array([1.0, 0.0, 2.0]))
    except Exception:  # older SciPy: sparse arrays are two-dimensional only
        pytest.skip("no one-dimensional sparse arrays")
    if v.ndim != 1:
        pytest.skip("no one-dimensional sparse arrays")
    dense = np.array([1.0, 0.0, 2.0])
    tree = objarr((2, 3), 6)
    got = u._sparse_right_matmul_kernel(tree, v, f_multiply=operator.mul, f_sum=fsum)
    np.testing.assert_array_equal(as_float(got), tree.astype(float) @ dense)
    tree = objarr((3, 4), 7)
    got = u._sparse_left_matmul_kernel(v, tree, f_multiply=operator.mul, f_sum=fsum)
    np.testing.assert_array_equal(as_float(got), dense @ tree.astype(float))


def test_sparse_kernels_refuse_bad_operands():
    A = sp.csr_matrix(DENSE_A)
    with pytest.raises(ValueError, match="matrix product"):
        u._sparse_right_matmul_kernel(objarr((2, 4)), A, f_multiply=operator.mul, f_sum=fsum)
    with pytest.raises(ValueError, match="matrix product"):
        u._sparse_left_matmul_kernel(A, objarr((3, 2)), f_multiply=operator.mul, f_sum=fsum)
    with pytest.raises(ValueError, match="matrix product"):
        u._sparse_right_matmul_kernel(
            np.array(1.0, dtype=object), A, f_multiply=operator.mul, f_sum=fsum
        )
    with pytest.raises(TypeError):
        u._sparse_right_matmul_kernel(objarr((2, 3)), DENSE_A, f_multiply=operator.mul, f_sum=fsum)
    with pytest.raises(TypeError, match="f_sum"):
        u._sparse_left_matmul_kernel(A, objarr((4,)), f_multiply=operator.mul, f_sum=None)


@pytest.mark.parametrize("field, value", [("indices", 99), ("indices", -1), ("indptr", 50)])
def test_sparse_kernels_refuse_corrupt_matrices(field, value):
    A = sp.csr_matrix(DENSE_A)
    getattr(A, field)[1] = value
    with pytest.raises(ValueError, match="sparse matrix"):
        u._sparse_right_matmul_kernel(objarr((2, 3)), A, f_multiply=operator.mul, f_sum=fsum)
    with pytest.raises(ValueError, match="sparse matrix"):
        u._sparse_left_matmul_kernel(A, objarr((4,)), f_multiply=operator.mul, f_sum=fsum)


@pytest.mark.parametrize("where", ["f_multiply", "f_sum"])
def test_kernel_callback_errors_propagate(where):
    def boom(*args):
        raise KeyError(where)

    kw = {"f_multiply": operator.mul, "f_sum": fsum, where: boom}
    with pytest.raises(KeyError, match=where):
        u._dense_matmul_kernel(objarr((2, 2)), objarr((2, 2)), **kw)
    with pytest.raises(KeyError, match=where):
        u._sparse_right_matmul_kernel(objarr((2, 3)), sp.csr_matrix(DENSE_A), **kw)


def test_kernel_survives_callbacks_that_change_the_operands():
    left = np.empty((2, 2), dtype=object)
    for i in range(2):
        for j in range(2):
            left[i, j] = [i, j]

    seen = []

    def mul(l, r):
        left[:] = None  # drops the array's references to the cells
        seen.append(repr(l))
        return r

    got = u._dense_matmul_kernel(
        left, np.array([1.0, 1.0], dtype=object), f_multiply=mul, f_sum=fsum
    )
    assert got.tolist() == [2.0, 2.0]
    assert seen == ["[0, 0]"] + ["None"] * 3


def test_no_reference_leaks(ptr, wrapptr):
    A = sp.csr_matrix(DENSE_A)
    tree = objarr((2, 3))
    dense_l, dense_r = objarr((3, 4)), objarr((4, 2))

    def work():
        u._dense_matmul_kernel(dense_l, dense_r, f_multiply=operator.mul, f_sum=fsum)
        u._sparse_right_matmul_kernel(tree, A, f_multiply=operator.mul, f_sum=fsum)
        u._sparse_left_matmul_kernel(A, dense_r, f_multiply=operator.mul, f_sum=fsum)
        u._broadcast_shapes((2, 1), (3,))
        u._matmul_shape((2, 3), (3,))
        u._axis_to_axeslist((0,), 2)
        u._all_refs_match(tree, tree)
        u._bytestostring(u._stringtobytes("LB"))
        ptr(wrapptr(4096))

    def late(terms):  # fails after some cells are built
        if terms and terms[0] < -2:
            raise KeyError("late")
        return fsum(terms)

    def failures():
        for call in (
            lambda: u._dense_matmul_kernel(dense_l, dense_l, f_multiply=operator.mul, f_sum=fsum),
            lambda: u._dense_matmul_kernel(dense_l, dense_r, f_multiply=operator.mul, f_sum=late),
            lambda: u._sparse_left_matmul_kernel(A, dense_r, f_multiply=operator.mul, f_sum=late),
            lambda: u._sparse_right_matmul_kernel(tree, A, f_multiply=operator.mul, f_sum=None),
            lambda: u._matmul_shape((2,), (3,)),
            lambda: u._axis_to_axeslist(3, 2),
        ):
            try:
                call()
            except (ValueError, TypeError, IndexError, KeyError):
                pass

    assert_no_leak(work, repeat=2000)
    assert_no_leak(failures, repeat=2000)
