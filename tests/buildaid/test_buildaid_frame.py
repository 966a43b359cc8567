"""Load behaviour of _buildaid: globals in order, bindings, load failures."""

import abc
import collections.abc
import json
import subprocess
import sys

import pytest

from zudirivi import _arrayexpr, _buildaid as ba, _core, _tvx, _util

from helpers import BARE_PACKAGE, subprocess_env

GLOBALS = [
    "dis", "itertools", "re", "sys", "Iterable",
    "Constr", "TovrixError", "QConstr", "Var", "_isscalar", "tupledict",
    "TVX",
    "MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar",
    "_isstr", "TVXStringIO",
    "_simpleexpr", "_extract_varlike_cindex", "_extract_constrlike_cindex",
    "_convert_mle_to_predvar_predval", "_indexname", "simplify_tuple", "_genexpr_key",
    "_nd_indexed_names", "_map_coldata_to_vars",
    "_listify", "__test__",
]


def test_globals_in_load_order_from_their_modules():
    names = [n for n in vars(ba) if n not in
             ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == GLOBALS
    assert ba.__doc__ == ("\nUtility functions that are *only* used by the Model class.\n"
                          "Free to depend on tovrixpy classes.\n")
    assert ba.__test__ == {}
    import dis, io, itertools, re
    assert (ba.dis, ba.itertools, ba.re, ba.sys) == (dis, itertools, re, sys)
    assert ba.Iterable is collections.abc.Iterable and ba.TVXStringIO is io.StringIO
    for name in ("Constr", "TovrixError", "QConstr", "Var", "_isscalar", "tupledict"):
        assert getattr(ba, name) is getattr(_core, name)
    assert ba.TVX is _tvx.TVX and ba._isstr is _util._isstr
    for name in ("MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar"):
        assert getattr(ba, name) is getattr(_arrayexpr, name)
    for name in ("LinExpr", "QuadExpr", "numpy"):
        assert not hasattr(ba, name)


def test_functions_and_listify_class():
    assert ba._extract_varlike_cindex.__defaults__ == (None,)
    assert ba._map_coldata_to_vars.__defaults__ == (None,)
    assert ba._simpleexpr.__module__ == "zudirivi._buildaid"
    cls = ba._listify
    assert cls.__bases__ == (object,) and cls.__doc__ is None
    assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == \
        ["__init__", "flatten", "listify"]
    assert cls.flatten.__qualname__ == "_listify.flatten"


@pytest.mark.parametrize("call, text", [
    (lambda: ba._simpleexpr(), "_simpleexpr() takes exactly 1 positional argument (0 given)"),
    (lambda: ba._simpleexpr(1, x=2), "_simpleexpr() got an unexpected keyword argument 'x'"),
    (lambda: ba._map_coldata_to_vars(1),
     "_map_coldata_to_vars() takes at least 2 positional arguments (1 given)"),
    (lambda: ba._map_coldata_to_vars(1, 2, 3, 4),
     "_map_coldata_to_vars() takes at most 3 positional arguments (4 given)"),
    (lambda: ba._indexname("x", name="y"),
     "_indexname() got multiple values for keyword argument 'name'"),
    (lambda: ba._listify(2).listify("a"),
     "listify() takes exactly 3 positional arguments (2 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == text


def test_generator_type_is_registered():
    # registered, or already known as a subclass by the protocol it offers
    registry, cache = abc._get_dump(collections.abc.Generator)[:2]
    ours = [r() for r in registry | cache if r() is not None
            and r().__module__ == "zudirivi._buildaid"]
    assert len(ours) == 1
    gen = ours[0]
    assert issubclass(gen, collections.abc.Generator)


# A child interpreter loads the real modules _buildaid depends on, then
# _buildaid against a fake zudirivi._core whose record types have the sizes
# asked for (instances of a class with n slots take 16 + 8 n bytes).
CHILD = BARE_PACKAGE + r"""
for name in ("_util", "_tvx", "_exception", "_core", "_propkit", "_arrayexpr"):
    importlib.import_module("zudirivi." + name)
core = sys.modules["zudirivi._core"]

def fake_core(lin, quad, drop):
    fake = types.ModuleType("zudirivi._core")
    for name in ("Constr", "TovrixError", "QConstr", "Var", "_isscalar", "tupledict"):
        if name != drop:
            setattr(fake, name, getattr(core, name))
    def record(name, n):
        if n is None:
            return 42
        return type(name, (), {"__slots__": tuple("f%d" % i for i in range(n))})
    fake.LinExpr = record("LinExpr", lin)
    fake.QuadExpr = record("QuadExpr", quad)
    return fake

class FakeStringIO:
    pass

class Backports:
    seen = []
    def __init__(self, fail):
        self.fail = fail
    def register(self, t):
        if self.fail:
            raise KeyError("not now")
        self.seen.append(t.__name__)

out = []
for lin, quad, drop, stringio in CASES:
    sys.modules["zudirivi._core"] = fake_core(lin, quad, drop)
    if stringio:
        sys.modules["StringIO"] = types.SimpleNamespace(StringIO=FakeStringIO)
    else:
        sys.modules.pop("StringIO", None)
    # a backports_abc module where one is present: registered there too, and
    # a failure there is ignored
    sys.modules["backports_abc"] = types.SimpleNamespace(Generator=Backports(drop is not None))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            mod = importlib.import_module("zudirivi._buildaid")
            res = {"ok": True, "stringio": mod.TVXStringIO.__name__,
                   "backports": Backports.seen}
        except BaseException as e:
            tb = e.__traceback__
            names = []
            while tb is not None:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            res = {"ok": False, "type": type(e).__name__, "msg": str(e), "tb": names}
    res["warnings"] = [str(w.message) for w in caught if "size changed" in str(w.message)]
    out.append(res)
print(json.dumps(out))
"""

SIZE_MSG = ("zudirivi._core.{} size changed, may indicate binary incompatibility. "
            "Expected {} from C header, got {} from PyObject")


def test_load_failures_and_warnings_against_a_fake_core():
    code = "CASES = %r\n" % ([
        (3, 5, None, False),          # LinExpr of 40 bytes: refused
        (4, None, None, False),       # QuadExpr is not a type
        (4, 5, "tupledict", False),   # a name missing from _core
        (6, 7, None, True),           # larger records warn; a StringIO module is used
    ],) + CHILD
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    smaller, not_type, missing, larger = json.loads(proc.stdout.strip().splitlines()[-1])
    assert (smaller["type"], smaller["msg"]) == ("ValueError",
                                                 SIZE_MSG.format("LinExpr", 48, 40))
    assert "init zudirivi._buildaid" in smaller["tb"]
    assert (not_type["type"], not_type["msg"]) == (
        "TypeError", "zudirivi._core.QuadExpr is not a type object")
    assert (missing["type"], missing["msg"]) == ("ImportError", "cannot import name tupledict")
    # every failed load let go of its module: the last import loads afresh
    assert larger["ok"] and larger["stringio"] == "FakeStringIO"
    assert larger["backports"] == ["generator"]
    assert larger["warnings"] == [SIZE_MSG.format("LinExpr", 48, 64),
                                  SIZE_MSG.format("QuadExpr", 56, 72)]


def test_reimport_gives_the_same_module():
    code = r"""
import sys
import zudirivi._buildaid as a
del sys.modules["zudirivi._buildaid"]
import zudirivi._buildaid as b
print(a is b)
"""
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"


def test_missing_builtin_ends_the_load():
    code = BARE_PACKAGE + r"""
import builtins
for name in ("_util", "_tvx", "_exception", "_core", "_propkit", "_arrayexpr"):
    importlib.import_module("zudirivi." + name)
saved = builtins.range
del builtins.range
try:
    import zudirivi._buildaid
except NameError as e:
    print(e)
builtins.range = saved
import zudirivi._buildaid as ba
print(ba._listify(2).index)
"""
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["name 'range' is not defined", "[0, 1]"]
