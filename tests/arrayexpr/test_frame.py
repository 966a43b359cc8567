"""Load behaviour of _arrayexpr: bindings, globals, class creation, member kinds."""

import json
import subprocess
import sys
import textwrap

import pytest

import zudirivi
from zudirivi import _arrayexpr as ax
from zudirivi import _core, _exception, _tvx, _util

from helpers import BARE_PACKAGE, subprocess_env

GLOBALS = [
    "itertools", "Iterable",
    "_attrlist", "_getattrinfo", "_gettypedattrlist", "_prefetchattr", "_settypedattrlist",
    "Constr", "GenConstr", "QConstr", "TempConstr", "Var", "GenExpr", "NLExpr", "_ExprTree",
    "TovrixError", "TVX",
    "_all_refs_match", "_axis_to_axeslist", "_broadcast_shapes", "_isscalar", "_isstr",
    "_matmul_shape", "_dense_matmul_kernel", "_sparse_right_matmul_kernel",
    "_sparse_left_matmul_kernel",
    "MVar", "MLinExpr", "MQuadExpr", "MConstr", "MQConstr", "MGenConstr",
    "_copy_learr", "_copy_learr_qearr", "_apply_array_manipulation_routine",
    "vstack", "hstack", "concatenate",
    "MNLExpr", "__test__",
]

# name, kind, has docstring
MVAR_MEMBERS = [
    ("__array_priority__", "attr", False), ("__init__", "method", False),
    ("__dir__", "method", False), ("__repr__", "method", False), ("copy", "method", True),
    ("tolist", "method", True), ("fromlist", "static", True), ("fromvar", "static", True),
    ("nl", "property", True), ("transpose", "method", True), ("T", "property", True),
    ("reshape", "method", True), ("__getitem__", "method", False), ("item", "method", True),
    ("_typename", "property", False), ("_typeenum", "property", False),
    ("__getattr__", "method", False), ("__setattr__", "method", False),
    ("__mul__", "method", False), ("__pow__", "method", False), ("__rpow__", "method", False),
    ("__matmul__", "method", False), ("__add__", "method", False), ("__radd__", "method", False),
    ("__sub__", "method", False), ("__rsub__", "method", False), ("__rmul__", "method", False),
    ("__rmatmul__", "method", False), ("__neg__", "method", False), ("__pos__", "method", False),
    ("__truediv__", "method", False), ("__rtruediv__", "method", False),
    ("_squeeze", "method", False), ("_toexpr", "method", False), ("_idxarr", "method", False),
    ("sum", "method", True), ("diagonal", "method", True), ("_indexed_data", "method", False),
    ("getAttr", "method", True), ("setAttr", "method", True),
    ("prefetchAttr", "method", False), ("shape", "property", True),
    ("ndim", "property", True), ("size", "property", True), ("__le__", "method", False),
    ("__ge__", "method", False), ("__eq__", "method", False), ("__ne__", "method", False),
]


def test_module_globals_in_load_order():
    names = [n for n in vars(ax) if n not in
             ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == GLOBALS
    assert ax.__doc__ is None and ax.__test__ == {}
    assert ax.__name__ == "zudirivi._arrayexpr"


def test_imported_names_are_the_sources_objects():
    assert ax.Var is _core.Var and ax.TempConstr is _core.TempConstr
    assert ax.GenExpr is _core.GenExpr and ax.NLExpr is _core.NLExpr
    assert ax.TVX is _tvx.TVX and ax.TovrixError is _exception.TovrixError
    assert ax._broadcast_shapes is _util._broadcast_shapes
    import collections.abc
    import itertools
    assert ax.itertools is itertools and ax.Iterable is collections.abc.Iterable
    for name in ("LinExpr", "QuadExpr"):
        with pytest.raises(AttributeError):
            getattr(ax, name)


@pytest.mark.parametrize("cls, first, attrs", [
    ("MVar", "Matrix variable handle, acting as an array of Var objects.",
     {"__array_priority__": 100}),
    ("MLinExpr", "Matrix linear expression handle, acting as an array of LinExpr objects.",
     {"__array_priority__": 100, "_keep_compact": 1}),
    ("MQuadExpr",
     "Matrix quadratic expression handle, acting as an array of QuadExpr objects.",
     {"__array_priority__": 100, "_keep_compact": 1}),
    ("MConstr", "Matrix constraint handle, acting as an array of Constr objects.", {}),
    ("MQConstr",
     "Matrix quadratic constraint handle, acting as an array of QConstr objects.", {}),
    ("MGenConstr", None, {}),
    ("MNLExpr", "Matrix nonlinear expression handle, acting as an array of NLExpr objects.",
     {"__array_priority__": 100}),
])
def test_class_frame(cls, first, attrs):
    c = getattr(ax, cls)
    assert c.__module__ == "zudirivi._arrayexpr" and c.__qualname__ == cls
    if first is None:
        assert c.__doc__ is None
    else:
        assert c.__doc__.startswith(first + "\n")
    for name, value in attrs.items():
        assert type(c.__dict__[name]) is int and c.__dict__[name] == value
    if cls == "MNLExpr":
        assert c.__bases__ == (_core.GenExpr,) and type(c) is type(_core.GenExpr)
    else:
        assert c.__bases__ == (object,) and type(c) is type
    assert "__slots__" not in c.__dict__


def test_mvar_member_table():
    members = [n for n in vars(ax.MVar)
               if n not in ("__module__", "__qualname__", "__doc__", "__dict__",
                            "__weakref__", "__hash__")]
    assert members == [m[0] for m in MVAR_MEMBERS]
    assert ax.MVar.__hash__ is None
    for name, kind, has_doc in MVAR_MEMBERS:
        raw = ax.MVar.__dict__[name]
        if kind == "attr":
            continue
        kinds = {"static": staticmethod, "property": property}
        if kind in kinds:
            assert type(raw) is kinds[kind], name
            fn = raw.fget if kind == "property" else raw.__func__
            if kind == "property":
                assert raw.fset is None and raw.fdel is None
                assert raw.__doc__ == fn.__doc__
        else:
            fn = raw
        assert fn.__qualname__ == "MVar." + fn.__name__
        assert fn.__module__ == "zudirivi._arrayexpr"
        assert (fn.__doc__ is not None) == has_doc, name


def test_docstring_layout():
    for name in ("copy", "tolist", "fromlist", "fromvar", "transpose", "reshape", "item",
                 "sum", "diagonal", "getAttr", "setAttr"):
        doc = getattr(ax.MVar, name).__doc__
        heads = [h for h in ("ROUTINE:", "PURPOSE:", "ARGUMENTS:", "RETURN VALUE:",
                             "EXAMPLE:") if h in doc]
        assert heads == ["ROUTINE:", "PURPOSE:", "ARGUMENTS:", "RETURN VALUE:", "EXAMPLE:"]
    assert ax.MVar.T.__doc__.startswith("PROPERTY:")
    assert ax.MVar.nl.__doc__.startswith("PROPERTY\n")
    assert ax.MVar.shape.__doc__ == "The shape of the matrix variable, as a tuple of ints"
    assert "Create a copy of this MVar." in ax.MVar.copy.__doc__
    assert "Sum the elements of the MVar." in ax.MVar.sum.__doc__
    assert "EXAMPLE\n" in ax.vstack.__doc__ and "EXAMPLE:" not in ax.vstack.__doc__


def test_defaults_as_attributes():
    assert ax.MVar.reshape.__defaults__ is None
    assert ax.MVar.reshape.__kwdefaults__ == {"order": "C"}
    assert ax.MVar.diagonal.__defaults__ == (0, 0, 1)
    assert ax.MVar.sum.__defaults__ == (None,)
    assert ax.MVar._squeeze.__defaults__ == (None,)
    assert ax.concatenate.__defaults__ == (0,)
    assert ax.concatenate.__qualname__ == "concatenate"


def test_classes_are_ordinary_and_mutable():
    saved = ax.MLinExpr._keep_compact
    try:
        ax.MLinExpr._keep_compact = 0
        assert ax.MLinExpr._keep_compact == 0
        assert ax.MLinExpr.__new__(ax.MLinExpr)._keep_compact == 0
    finally:
        ax.MLinExpr._keep_compact = saved

    class Sub(ax.MVar):
        pass

    assert issubclass(Sub, ax.MVar)
    for name in ("__len__", "__iter__", "__bool__"):
        assert not hasattr(ax.MVar, name)


@pytest.mark.parametrize("call, text", [
    (lambda x: x.transpose(1, 0), "transpose() takes exactly 1 positional argument (3 given)"),
    (lambda x: pow(x, 2, 5), "__pow__() takes exactly 2 positional arguments (3 given)"),
    (lambda x: x.getAttr("LB", foo=1), "getAttr() got an unexpected keyword argument 'foo'"),
    (lambda x: x.sum(0, axis=0), "sum() got multiple values for keyword argument 'axis'"),
    (lambda x: ax.MVar.fromlist(), "fromlist() takes exactly 1 positional argument (0 given)"),
])
def test_argument_errors(call, text):
    x = _core.Model().addMVar((2,))
    with pytest.raises(TypeError) as err:
        call(x)
    assert str(err.value) == text


def test_reimport_gives_the_same_module():
    import importlib
    assert importlib.import_module("zudirivi._arrayexpr") is ax


# A child interpreter loads the real modules the frame depends on, then
# _arrayexpr against a fake zudirivi._core whose record types have the sizes
# asked for (instances of a class with n slots take 16 + 8 n bytes).
CHILD = BARE_PACKAGE + r"""
for name in ("_util", "_tvx", "_exception"):
    importlib.import_module("zudirivi." + name)
core = importlib.import_module("zudirivi._core")

def fake_core(lin, quad):
    fake = types.ModuleType("zudirivi._core")
    for name in ("Constr", "GenConstr", "QConstr", "TempConstr", "Var", "GenExpr", "NLExpr",
                 "_ExprTree"):
        setattr(fake, name, getattr(core, name))
    def record(name, n):
        if n is None:
            return 42
        return type(name, (), {"__slots__": tuple("f%d" % i for i in range(n))})
    fake.LinExpr = record("LinExpr", lin)
    fake.QuadExpr = record("QuadExpr", quad)
    return fake

importlib.import_module("zudirivi._propkit")
out = []
for lin, quad, werror in CASES:
    sys.modules["zudirivi._core"] = fake_core(lin, quad)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error" if werror else "always")
        try:
            mod = importlib.import_module("zudirivi._arrayexpr")
            res = {"ok": True, "MVar": hasattr(mod, "MVar")}
        except BaseException as e:
            tb = e.__traceback__
            names = []
            while tb is not None:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            res = {"ok": False, "type": type(e).__name__, "msg": str(e), "tb": names}
    res["warnings"] = [(w.category.__name__, str(w.message)) for w in caught]
    out.append(res)
print(json.dumps(out))
"""


def run_child(cases):
    code = "CASES = %r\n" % (cases,) + CHILD
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


SIZE_MSG = ("zudirivi._core.{} size changed, may indicate binary incompatibility. "
            "Expected {} from C header, got {} from PyObject")


def test_record_size_checks_and_retry_after_failed_load():
    smaller, not_type, larger_as_error, larger = run_child([
        (3, 5, False),      # LinExpr 40 bytes: refused, QuadExpr never looked at
        (4, None, False),   # QuadExpr is not a type
        (5, 5, True),       # 56-byte LinExpr with warnings as errors
        (5, 5, False),      # 56-byte LinExpr: a warning, and the load goes on
    ])
    assert not smaller["ok"] and smaller["type"] == "ValueError"
    assert smaller["msg"] == SIZE_MSG.format("LinExpr", 48, 40)
    assert "init zudirivi._arrayexpr" in smaller["tb"]
    assert not not_type["ok"] and not_type["type"] == "TypeError"
    assert not_type["msg"] == "zudirivi._core.QuadExpr is not a type object"
    assert not larger_as_error["ok"] and larger_as_error["type"] == "RuntimeWarning"
    # each failed load let go of its module: the last import loads afresh
    assert larger["ok"] and larger["MVar"]
    assert larger["warnings"] == [["RuntimeWarning", SIZE_MSG.format("LinExpr", 48, 56)]]


def test_ptr_binding_errors():
    code = BARE_PACKAGE + textwrap.dedent(r"""
        import zudirivi._util as u
        import zudirivi._core, zudirivi._propkit, zudirivi._exception, zudirivi._tvx
        caps = u.__pyx_capi__
        good = caps["_ptr"]
        del caps["_ptr"]
        try:
            import zudirivi._arrayexpr
        except ImportError as e:
            print(e)
        import ctypes
        ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
        ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                                   ctypes.c_void_p]
        caps["_ptr"] = ctypes.pythonapi.PyCapsule_New(1, b"int (void)", None)
        try:
            import zudirivi._arrayexpr
        except TypeError as e:
            print(e)
        caps["_ptr"] = good
        import zudirivi._arrayexpr as ax
        print(ax.MVar.__name__)
    """)
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "zudirivi._util does not export expected C function _ptr",
        "C function zudirivi._util._ptr has wrong signature "
        "(expected void *(PyObject *), got int (void))",
        "MVar",
    ]
