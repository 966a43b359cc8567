"""_attrlist, _get_async_attr and the module _propkit itself."""

import subprocess
import sys
import textwrap

import pytest

from zudirivi import _exception, _propkit as pk, _util
from zudirivi._exception import TovrixError
from zudirivi._tvx import TVX

from helpers import BARE_PACKAGE, BINDING_LOADER, assert_no_leak, subprocess_env

VAR_ATTRS = ["LB", "UB", "Obj", "Start", "VType", "VarName", "BranchPriority", "X"]


@pytest.mark.parametrize("kind, expected", [
    (1, VAR_ATTRS),
    (1.0, VAR_ATTRS),  # compared by equality
    (2, ["RHS", "Sense", "ConstrName", "Lazy", "Slack"]),
    (5, ["GenConstrName"]),
    (3, []),
    ("1", []),
])
def test_attrlist(model, kind, expected):
    assert pk._attrlist(model._cmodel, kind) == expected
    assert pk._attrlist(cmodel=model._cmodel, type=kind) == expected


def test_attrlist_model_kind_and_optimization(model, lib):
    names = pk._attrlist(model._cmodel, 0)
    assert names[:2] == ["NumVars", "NumConstrs"] and "Status" in names
    lib.set_optimizing(model, True)
    # The library refuses the kind of most attributes now; those are left out.
    assert "NumVars" not in pk._attrlist(model._cmodel, 0)
    assert "Status" in pk._attrlist(model._cmodel, 0)


def test_attrlist_without_model():
    assert pk._attrlist(None, 1) == []
    with pytest.raises(TypeError):
        pk._attrlist("not a pointer", 1)


@pytest.fixture
def solved(model, xs):
    for x in xs:
        pk._setattr(x, "Obj", 1.0)
    model._loadSolution([TVX.INFINITY, 0.0, 0.0])
    return model


@pytest.mark.parametrize("name, value", [
    ("ObjVal", TVX.INFINITY),  # unmapped: no infinity
    ("oBJvAL", TVX.INFINITY),
    ("ObjBound", TVX.INFINITY),
    ("STATUS", 2),
    ("status", 2),
    ("BarIterCount", 0),
])
def test_get_async_attr(solved, lib, name, value):
    lib.set_optimizing(solved, True)
    result = pk._get_async_attr(solved, name)
    assert result == value and type(result) is type(value)
    assert pk._get_async_attr(model=solved, attrname=name) == value


@pytest.mark.parametrize("name", ["LB", "NumVars", "Nope", "SolCount"])
def test_get_async_attr_refuses_other_names(model, name):
    with pytest.raises(AttributeError) as info:
        pk._get_async_attr(model, name)
    assert str(info.value) == (
        f"Attribute '{name}' cannot be queried while optimization is in progress")


def test_get_async_attr_library_failure(model):
    with pytest.raises(TovrixError) as info:
        pk._get_async_attr(model, "ObjVal")
    assert (info.value.errno, info.value.message) == (TVX.ERROR_DATA_NOT_AVAILABLE,
                                                      "No solution available")


def test_module_globals_in_order():
    expected = ["TovrixError", "TVX", "_bytestostring", "_isscalar", "_stringtobytes",
                "_geterrormsg", "_getattrinfo", "_getattr", "_gettypedattrlist", "_setattr",
                "_settypedattrlist", "_prefetchattr", "_attrlist", "ASYNC_INT_ATTRS",
                "ASYNC_DBL_ATTRS", "_get_async_attr", "__test__"]
    names = [n for n in vars(pk) if n in expected]
    assert names == expected
    assert pk.TovrixError is _exception.TovrixError
    assert pk._stringtobytes is _util._stringtobytes
    assert pk.ASYNC_INT_ATTRS == frozenset({"status", "baritercount"})
    assert pk.ASYNC_DBL_ATTRS == frozenset(
        {"objval", "objbound", "objboundc", "itercount", "nodecount", "opennodecount"})
    assert type(pk.ASYNC_DBL_ATTRS) is frozenset
    assert pk.__test__ == {}
    for name in ("_getattr", "_setattr", "_prefetchattr"):
        assert getattr(pk, name).__defaults__ == (False,)
        assert getattr(pk, name).__defaults__[0] is False
    assert pk._getattr.__module__ == "zudirivi._propkit"


def test_names_no_leak(solved):
    assert_no_leak(lambda: pk._attrlist(solved._cmodel, 1), repeat=300)
    assert_no_leak(lambda: pk._get_async_attr(solved, "ObjVal"))


def test_binding_errors_fail_the_load():
    # A child interpreter with the package's modules but not its __init__.
    code = BARE_PACKAGE + BINDING_LOADER + textwrap.dedent(r"""
        util = importlib.import_module("zudirivi._util").__pyx_capi__
        importlib.import_module("zudirivi._tvx")
        ptr = util.pop("_ptr")
        load("_exception")
        util["_ptr"] = wrong
        load("_exception")
        util["_ptr"] = ptr
        load("_exception")
        exc = sys.modules["zudirivi._exception"].__pyx_capi__
        env, model = exc.pop("_get_env_errormsg_string"), exc["_get_model_errormsg_string"]
        exc["_get_model_errormsg_string"] = wrong
        load("_propkit")  # the environment's entry is bound first
        exc["_get_env_errormsg_string"] = env
        load("_propkit")
        exc["_get_model_errormsg_string"] = model
        util["_ptr"] = exc["_get_env_errormsg_string"]
        load("_propkit")
        util["_ptr"] = ptr
        load("_propkit")
    """)
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "ImportError zudirivi._util does not export expected C function _ptr True",
        "TypeError C function zudirivi._util._ptr has wrong signature "
        "(expected void *(PyObject *), got int (void)) True",
        "loaded _exception",
        "ImportError zudirivi._exception does not export expected C function "
        "_get_env_errormsg_string True",
        "TypeError C function zudirivi._exception._get_model_errormsg_string has wrong "
        "signature (expected PyObject *(void *), got int (void)) True",
        "TypeError C function zudirivi._util._ptr has wrong signature "
        "(expected void *(PyObject *), got PyObject *(void *)) True",
        "loaded _propkit",
    ]
