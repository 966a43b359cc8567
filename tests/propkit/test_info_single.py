"""Attribute information, owner checks and single-value access of _propkit."""

import numpy as np
import pytest

from zudirivi import _propkit as pk
from zudirivi._exception import TovrixError
from zudirivi._tvx import TVX

from helpers import assert_no_leak


def no_attribute(typename, name):
    return f"'tovrixpy.{typename}' object has no attribute '{name}'"


def in_progress(name):
    return f"Attribute '{name}' cannot be queried while optimization is in progress"


# --- _getattrinfo -------------------------------------------------------------------

@pytest.mark.parametrize("name, triple", [
    ("LB", (2, 1, 1)),
    ("lb", (2, 1, 1)),
    ("VType", (0, 1, 1)),
    ("VarName", (3, 1, 1)),
    ("BranchPriority", (1, 1, 1)),
    ("X", (2, 1, 0)),
    ("NumVars", (1, 0, 0)),
    ("RHS", (2, 2, 1)),
])
def test_getattrinfo(xs, name, triple):
    info = pk._getattrinfo(xs[0], name)
    assert info == triple and type(info) is tuple


def test_getattrinfo_unknown_name(xs, owner):
    for obj, typename in ((xs[0], "Var"), (owner, "MVar")):
        with pytest.raises(AttributeError) as info:
            pk._getattrinfo(obj, "Foo")
        assert str(info.value) == no_attribute(typename, "Foo")


def test_queries_during_optimization(model, xs, owner, lib):
    lib.set_optimizing(model, True)
    for call in (lambda: pk._getattrinfo(owner, "LB"),
                 lambda: pk._getattr(xs[0], "LB"),
                 lambda: pk._setattr(xs[0], "LB", 1.0),
                 lambda: pk._prefetchattr(owner, "LB")):
        with pytest.raises(AttributeError) as info:
            call()
        assert str(info.value) == in_progress("LB")
    # The list read asks no information: the library's refusal comes back.
    with pytest.raises(TovrixError) as info:
        pk._gettypedattrlist(owner, "LB", 2, [0])
    assert info.value.errno == TVX.Error.OPTIMIZATION_IN_PROGRESS
    assert pk._getattrinfo(model, "Status") == (1, 0, 0)
    assert pk._getattr(model, "Status", True) == 1
    lib.set_optimizing(model, False)
    assert pk._getattr(xs[0], "LB") == 0.0


# --- _geterrormsg ----------------------------------------------------------------------

class Broken:
    @property
    def _cmodel(self):
        raise ValueError("no model")


def test_geterrormsg(model, xs, lib):
    with pytest.raises(AttributeError):
        pk._getattr(xs[0], "X")
    assert pk._geterrormsg(xs[0]) == "No solution available"
    assert pk._geterrormsg(model) == "No solution available"
    assert pk._geterrormsg(object()) == ""
    assert pk._geterrormsg(Broken()) == ""


def test_geterrormsg_falls_back_to_cenv(model):
    from zudirivi._core import Env
    env = Env()

    class BrokenWithEnv(Broken):
        _cenv = env._cenv

    assert pk._geterrormsg(BrokenWithEnv()) == ""  # the environment's (empty) message

    class NoneEnv:
        _cenv = None

    assert pk._geterrormsg(NoneEnv()) == ""  # a None handle never reaches the library


# --- owner checks -------------------------------------------------------------------------

@pytest.fixture
def pending(model, removed):
    return model.addVar(name="p")


@pytest.fixture
def removed(model, xs):
    model.remove(xs[2])
    model.update()
    return xs[2]


@pytest.mark.parametrize("call", [
    lambda v: pk._getattr(v, "LB"),
    lambda v: pk._setattr(v, "LB", 1.0),
    lambda v: pk._setattr(v, "X", 1.0),  # the element state comes before settable
])
def test_pending_and_removed_elements(pending, removed, call):
    for var, text in ((pending, "Var has not yet been added to the model"),
                      (removed, "Var was removed from the model")):
        with pytest.raises(TovrixError) as info:
            call(var)
        assert (info.value.errno, info.value.message) == (0, text)


def test_missing_attribute_reported_before_element_state(pending, removed):
    for var in (pending, removed):
        with pytest.raises(AttributeError) as info:
            pk._getattr(var, "Lbb")
        assert str(info.value) == no_attribute("Var", "Lbb")


@pytest.mark.parametrize("call, text", [
    (lambda v: pk._getattr(v, "NumVars"), no_attribute("Var", "NumVars")),
    (lambda v: pk._setattr(v, "RHS", 1.0), no_attribute("Var", "RHS")),
    (lambda v: pk._setattr(v, "X", 1.0), "Attribute 'X' cannot be set"),
    (lambda v: pk._setattr(v, "LB", "a"), "Attribute 'LB' takes double value"),
    (lambda v: pk._setattr(v, "BranchPriority", 2.0),
     "Attribute 'BranchPriority' takes integer value"),
    (lambda v: pk._setattr(v, "BranchPriority", np.int64(2)),
     "Attribute 'BranchPriority' takes integer value"),
    (lambda v: pk._setattr(v, "VarName", 5), "Attribute 'VarName' takes string value"),
    (lambda v: pk._setattr(v, "VType", b"B"), "Attribute 'VType' takes character value"),
    # beyond one byte: cut to 8 bits, U+0142 would be stored as "B"
    (lambda v: pk._setattr(v, "VType", "\u0142"), "Attribute 'VType' takes character value"),
    (lambda v: pk._getattr(v, "X"), "No solution available"),
    (lambda v: pk._setattr(v, "VType", "Q"), "Invalid value for attribute 'VType'"),
])
def test_element_refusals(model, xs, lib, call, text):
    with pytest.raises(AttributeError) as info:
        call(xs[1])
    if text == "Invalid value for attribute 'VType'":
        text = pk._geterrormsg(model)  # the library's own message
        assert text
    assert str(info.value) == text
    assert lib.dbl(model, "LB", 1) == 1.0


def test_index_beyond_32_bits(make_owner, model):
    class Element(make_owner):
        def __cindex__(self):
            return 2**31

    with pytest.raises(OverflowError):
        pk._getattr(Element(model, "Var", 1), "LB")


# --- reading and writing ----------------------------------------------------------------

def test_reads(model, xs):
    x = xs[2]
    assert pk._getattr(x, "LB") == 2.0 and type(pk._getattr(x, "LB")) is float
    assert pk._getattr(x, "UB") == float("inf")
    assert pk._getattr(x, "Start") == TVX.UNDEFINED
    assert pk._getattr(x, "VType") == "C"
    assert pk._getattr(x, "VarName") == "x2"
    assert pk._getattr(x, "BranchPriority") == 0
    assert pk._getattr(model, "NumVars", True) == 3
    assert pk._getattr(model, "ModelName", is_model="yes") == ""


@pytest.mark.parametrize("name, value, read, stored", [
    ("LB", float("-inf"), float("-inf"), -1e100),
    ("UB", np.inf, float("inf"), 1e100),
    ("UB", 1e300, float("inf"), 1e300),  # beyond INFINITY: not clipped
    ("LB", -1e100, float("-inf"), -1e100),
    ("Obj", np.float32(1.5), 1.5, 1.5),
    ("Obj", 3, 3.0, 3.0),
    ("BranchPriority", True, 1, None),
    ("BranchPriority", -7, -7, None),
    ("VType", "BX", "B", None),  # the first character
    ("VarName", "n\u00e9", "n\u00e9", None),
])
def test_writes(model, xs, lib, name, value, read, stored):
    assert pk._setattr(xs[0], name, value) is None
    assert pk._getattr(xs[0], name) == read
    if stored is not None:
        assert lib.dbl(model, name, 0) == stored


def test_write_refusals_write_nothing(model, xs):
    with pytest.raises(IndexError):
        pk._setattr(xs[0], "VType", "")
    with pytest.raises(OverflowError):
        pk._setattr(xs[0], "BranchPriority", 2**31)
    assert pk._getattr(xs[0], "VType") == "C"
    assert pk._getattr(xs[0], "BranchPriority") == 0


def test_model_form_writes(model):
    pk._setattr(model, "ModelName", "mine", True)
    assert pk._getattr(model, "ModelName", True) == "mine"
    # Not settable: the library is asked all the same, and its message comes back.
    with pytest.raises(AttributeError) as info:
        pk._setattr(model, "NumVars", 5, True)
    assert str(info.value) == pk._geterrormsg(model) and str(info.value)
    with pytest.raises(AttributeError, match="takes integer value"):
        pk._setattr(model, "NumVars", 5.0, True)
    # A character attribute has no model-level call: refused, nothing written.
    with pytest.raises(AttributeError) as info:
        pk._setattr(model, "VType", "B", True)
    assert str(info.value) == "Attribute 'VType' has an unsupported data type"
    assert pk._getattr(model.getVars()[0], "VType") == "C"


def test_model_form_char_read_fails(model):
    with pytest.raises(AttributeError, match="VType"):
        pk._getattr(model, "VType", True)


def test_prefetch(model, owner, make_owner):
    assert pk._prefetchattr(owner, "LB") is None
    assert pk._prefetchattr(model, "NumVars", True) is None
    with pytest.raises(AttributeError) as info:
        pk._prefetchattr(make_owner(model, "MConstr", 2), "LB")
    assert str(info.value) == no_attribute("MConstr", "LB")
    with pytest.raises(AttributeError) as info:
        pk._prefetchattr(owner, "Nope")
    assert str(info.value) == no_attribute("MVar", "Nope")


@pytest.mark.parametrize("call, text", [
    (lambda: pk._getattr(1), "_getattr() takes at least 2 positional arguments (1 given)"),
    (lambda: pk._setattr(1, 2, 3, 4, 5),
     "_setattr() takes at most 4 positional arguments (5 given)"),
    (lambda: pk._prefetchattr(1, 2, is_model=1, x=2),
     "_prefetchattr() got an unexpected keyword argument 'x'"),
    (lambda: pk._getattrinfo(1), "_getattrinfo() takes exactly 2 positional arguments (1 given)"),
    (lambda: pk._geterrormsg(), "_geterrormsg() takes exactly 1 positional argument (0 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_single_value_no_leak(xs, model):
    x = xs[0]
    assert_no_leak(lambda: pk._getattr(x, "VarName"))
    assert_no_leak(lambda: pk._setattr(x, "VarName", "abc"))
    assert_no_leak(lambda: pk._setattr(x, "UB", float("inf")))

    def refused():
        try:
            pk._getattr(x, "X")
        except AttributeError:
            pass

    assert_no_leak(refused)
