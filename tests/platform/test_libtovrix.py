"""The stand-in solver library libtovrix, through ctypes."""

import ctypes as C
import importlib.util
import os
import time

import numpy as np
import pytest

from helpers import assert_flat_cost

# Error codes of tovrix.h.
OUT_OF_MEMORY = 10001
NULL_ARGUMENT = 10002
INVALID_ARGUMENT = 10003
UNKNOWN_ATTRIBUTE = 10004
DATA_NOT_AVAILABLE = 10005
INDEX_OUT_OF_RANGE = 10006
OPTIMIZATION_IN_PROGRESS = 10009
FILE_WRITE = 10010
BATCH_NOT_FOUND = 10011

INF = 1e100
UNDEF = 1e101
CREATED, SUBMITTED, ABORTED, FAILED, COMPLETED = 1, 2, 3, 4, 5
LIVE_ENV, LIVE_MODEL, LIVE_BATCH, LIVE_TEXT = 0, 1, 2, 3

P = C.c_void_p
I = C.c_int
D = C.c_double
S = C.c_char_p
PI = C.POINTER(C.c_int)
PD = C.POINTER(C.c_double)
PS = C.POINTER(C.c_char_p)
PL = C.POINTER(C.c_int64)
PP = C.POINTER(C.c_void_p)
PC = C.POINTER(C.c_char)

# name: (restype, argtypes)
SIGNATURES = {
    "TVXemptyenv": (I, [PP]),
    "TVXfreeenv": (I, [P]),
    "TVXgeterrormsg": (S, [P]),
    "TVXnewmodel": (I, [P, PP, S]),
    "TVXfreemodel": (I, [P]),
    "TVXgetenv": (P, [P]),
    "TVXgetmerrormsg": (S, [P]),
    "TVXaddvars": (I, [P, I, PD, PD, PD, S, PS]),
    "TVXaddconstrs": (I, [P, I, C.c_int64, PL, PI, PD, S, PD, PS]),
    "TVXaddqconstr": (I, [P, I, PI, PD, I, PI, PI, PD, C.c_char, D, S]),
    "TVXaddgenconstrnl": (I, [P, S, I]),
    "TVXdelvars": (I, [P, I, PI]),
    "TVXdelconstrs": (I, [P, I, PI]),
    "TVXdelqconstrs": (I, [P, I, PI]),
    "TVXdelgenconstrs": (I, [P, I, PI]),
    "TVXupdatemodel": (I, [P]),
    "TVXgetconstrs": (I, [P, PL, PL, PI, PD, I, I]),
    "TVXgetqconstr": (I, [P, I, PI, PI, PD, PI, PI, PI, PD]),
    "TVXgetgenconstrnl": (I, [P, I, PI]),
    "TVXgetattrinfo": (I, [P, S, PI, PI, PI]),
    "TVXgetnumattributes": (I, [P]),
    "TVXgetattrname": (I, [P, I, PS]),
    "TVXgetintattr": (I, [P, S, PI]),
    "TVXgetdblattr": (I, [P, S, PD]),
    "TVXgetstrattr": (I, [P, S, PS]),
    "TVXsetintattr": (I, [P, S, I]),
    "TVXsetdblattr": (I, [P, S, D]),
    "TVXsetstrattr": (I, [P, S, S]),
    "TVXgetcharattrelement": (I, [P, S, I, PC]),
    "TVXgetintattrelement": (I, [P, S, I, PI]),
    "TVXgetdblattrelement": (I, [P, S, I, PD]),
    "TVXgetstrattrelement": (I, [P, S, I, PS]),
    "TVXsetcharattrelement": (I, [P, S, I, C.c_char]),
    "TVXsetintattrelement": (I, [P, S, I, I]),
    "TVXsetdblattrelement": (I, [P, S, I, D]),
    "TVXsetstrattrelement": (I, [P, S, I, S]),
    "TVXgetcharattrlist": (I, [P, S, I, PI, PC]),
    "TVXgetintattrlist": (I, [P, S, I, PI, PI]),
    "TVXgetdblattrlist": (I, [P, S, I, PI, PD]),
    "TVXgetstrattrlist": (I, [P, S, I, PI, PS]),
    "TVXsetcharattrlist": (I, [P, S, I, PI, PC]),
    "TVXsetintattrlist": (I, [P, S, I, PI, PI]),
    "TVXsetdblattrlist": (I, [P, S, I, PI, PD]),
    "TVXsetstrattrlist": (I, [P, S, I, PI, PS]),
    "TVXprefetchattr": (I, [P, S]),
    "TVXloadsolution": (I, [P, I, PD]),
    "TVXsetoptimizing": (I, [P, I]),
    "TVXgetbatch": (I, [P, S, PP]),
    "TVXgetbatchenv": (P, [P]),
    "TVXgetbatchattrflags": (I, [P, S, PI]),
    "TVXgetbatchintattr": (I, [P, S, PI]),
    "TVXgetbatchstrattr": (I, [P, S, PS]),
    "TVXgetnumbatchattributes": (I, [P]),
    "TVXgetbatchattrname": (I, [P, I, PS]),
    "TVXabortbatch": (I, [P]),
    "TVXretrybatch": (I, [P]),
    "TVXdiscardbatch": (I, [P]),
    "TVXupdatebatch": (I, [P]),
    "TVXgetbatchjsonsolution": (I, [P, PP]),
    "TVXwritebatchjsonsolution": (I, [P, S]),
    "TVXfreebatch": (I, [P]),
    "TVXfree": (I, [P]),
    "TVXtest_addbatch": (I, [P, S, I, S]),
    "TVXtest_setbatchstatus": (I, [P, S, I]),
    "TVXtest_setbatcherror": (I, [P, S, I, S]),
    "TVXtest_addbatchattr": (I, [P, S, I, I, S]),
    "TVXtest_failbatchcall": (I, [P, S, I]),
    "TVXtest_numlive": (I, [I]),
}


def _library_path():
    path = os.environ.get("ZD_LIBTOVRIX")
    if path:
        return path
    # Locate the built package without importing it: the library sits in it.
    spec = importlib.util.find_spec("zudirivi")
    if spec is None or not spec.submodule_search_locations:
        return None
    for d in spec.submodule_search_locations:
        cand = os.path.join(d, "libtovrix.so")
        if os.path.exists(cand):
            return cand
    return None


@pytest.fixture(scope="module")
def lib():
    path = _library_path()
    if path is None:
        pytest.skip("libtovrix.so not built")
    lib = C.CDLL(path)
    for name, (res, args) in SIGNATURES.items():
        f = getattr(lib, name)
        f.restype = res
        f.argtypes = args
    return lib


def ints(*v):
    return (C.c_int * len(v))(*v)


def dbls(*v):
    return (C.c_double * len(v))(*v)


def names(*v):
    return (C.c_char_p * len(v))(*[None if s is None else s.encode() for s in v])


@pytest.fixture
def env(lib):
    e = P()
    assert lib.TVXemptyenv(C.byref(e)) == 0
    yield e
    assert lib.TVXfreeenv(e) == 0


class Model:
    """A model handle with small helpers for tests."""

    def __init__(self, lib, env, name=b"m"):
        self.lib = lib
        self.h = P()
        assert lib.TVXnewmodel(env, C.byref(self.h), name) == 0

    def msg(self):
        return self.lib.TVXgetmerrormsg(self.h).decode()

    def call(self, fname, *args):
        return getattr(self.lib, fname)(self.h, *args)

    def int(self, name):
        v = C.c_int(-7)
        assert self.call("TVXgetintattr", name.encode(), C.byref(v)) == 0, self.msg()
        return v.value

    def dbl(self, name, i):
        v = C.c_double()
        rc = self.call("TVXgetdblattrelement", name.encode(), i, C.byref(v))
        return rc, v.value

    def dbls(self, name, idx):
        out = (C.c_double * len(idx))()
        rc = self.call("TVXgetdblattrlist", name.encode(), len(idx), ints(*idx), out)
        return rc, list(out)

    def row(self, i):
        nnz = C.c_int64()
        assert self.call("TVXgetconstrs", C.byref(nnz), None, None, None, i, 1) == 0, self.msg()
        beg = (C.c_int64 * 1)()
        ind = (C.c_int * max(nnz.value, 1))()
        val = (C.c_double * max(nnz.value, 1))()
        assert self.call("TVXgetconstrs", C.byref(nnz), beg, ind, val, i, 1) == 0
        return list(ind[: nnz.value]), list(val[: nnz.value])

    def addvars(self, n, lb=None, ub=None, obj=None, vtype=None, nm=None):
        return self.call(
            "TVXaddvars",
            n,
            None if lb is None else dbls(*lb),
            None if ub is None else dbls(*ub),
            None if obj is None else dbls(*obj),
            vtype,
            None if nm is None else names(*nm),
        )

    def addrows(self, rows, sense, rhs, nm=None):
        """rows: list of [(col, val), ...]."""
        beg, ind, val = [], [], []
        for r in rows:
            beg.append(len(ind))
            ind += [c for c, _ in r]
            val += [v for _, v in r]
        return self.call(
            "TVXaddconstrs",
            len(rows),
            len(ind),
            (C.c_int64 * max(len(beg), 1))(*beg),
            ints(*ind) if ind else None,
            dbls(*val) if val else None,
            sense,
            dbls(*rhs),
            None if nm is None else names(*nm),
        )

    def update(self):
        assert self.call("TVXupdatemodel") == 0, self.msg()

    def free(self):
        assert self.call("TVXfreemodel") == 0


@pytest.fixture
def model(lib, env):
    """3 variables, 2 rows, 1 quadratic and 1 general constraint, updated."""
    m = Model(lib, env)
    assert m.addvars(3, lb=[0, -1, -INF], ub=[1, 2, INF], obj=[1, 2, 3], vtype=b"CBI",
                     nm=["x", "y", "z"]) == 0
    assert m.addrows([[(0, 1.0), (1, 2.0)], [(1, 1.0), (2, -1.0)]], b"<=", [4.0, 0.0],
                     nm=["r0", "r1"]) == 0
    assert m.call("TVXaddqconstr", 1, ints(0), dbls(1.0), 1, ints(1), ints(2), dbls(3.0),
                  b">", 5.0, b"q0") == 0
    assert m.call("TVXaddgenconstrnl", b"g0", 2) == 0
    m.update()
    yield m
    m.free()


# ----------------------------------------------------------------- table --

ATTRS = [
    # name, type, kind, settable
    ("NumVars", 1, 0, 0), ("NumConstrs", 1, 0, 0), ("NumQConstrs", 1, 0, 0),
    ("NumGenConstrs", 1, 0, 0), ("ModelName", 3, 0, 1), ("Status", 1, 0, 0),
    ("ObjVal", 2, 0, 0), ("ObjBound", 2, 0, 0), ("ObjBoundC", 2, 0, 0),
    ("IterCount", 2, 0, 0), ("BarIterCount", 1, 0, 0), ("NodeCount", 2, 0, 0),
    ("OpenNodeCount", 2, 0, 0), ("SolCount", 1, 0, 0),
    ("LB", 2, 1, 1), ("UB", 2, 1, 1), ("Obj", 2, 1, 1), ("Start", 2, 1, 1),
    ("VType", 0, 1, 1), ("VarName", 3, 1, 1), ("BranchPriority", 1, 1, 1), ("X", 2, 1, 0),
    ("RHS", 2, 2, 1), ("Sense", 0, 2, 1), ("ConstrName", 3, 2, 1), ("Lazy", 1, 2, 1),
    ("Slack", 2, 2, 0),
    ("QCRHS", 2, 4, 1), ("QCSense", 0, 4, 1), ("QCName", 3, 4, 1),
    ("GenConstrName", 3, 5, 1),
]


def test_attribute_table_and_names(lib, model):
    n = lib.TVXgetnumattributes(model.h)
    listed = []
    for i in range(n):
        s = C.c_char_p()
        assert lib.TVXgetattrname(model.h, i, C.byref(s)) == 0
        listed.append(s.value.decode())
    assert listed == [a[0] for a in ATTRS]
    for name, typ, kind, settable in ATTRS:
        for spelling in (name, name.lower(), name.upper()):
            t, k, s = C.c_int(-1), C.c_int(-1), C.c_int(-1)
            rc = lib.TVXgetattrinfo(model.h, spelling.encode(), C.byref(t), C.byref(k), C.byref(s))
            assert rc == 0 and (t.value, k.value, s.value) == (typ, kind, settable), spelling
        k = C.c_int(-1)
        assert lib.TVXgetattrinfo(model.h, name.encode(), None, C.byref(k), None) == 0
        assert k.value == kind
        assert lib.TVXprefetchattr(model.h, name.lower().encode()) == 0
    s = C.c_char_p(b"keep")
    assert lib.TVXgetattrname(model.h, n, C.byref(s)) == INDEX_OUT_OF_RANGE
    assert s.value == b"keep"


@pytest.mark.parametrize("call", ["TVXgetattrinfo", "TVXprefetchattr", "TVXgetdblattr",
                                  "TVXgetdblattrelement", "TVXsetdblattrlist"])
def test_unknown_attribute(lib, model, call):
    k = C.c_int()
    args = {
        "TVXgetattrinfo": (None, C.byref(k), None),
        "TVXprefetchattr": (),
        "TVXgetdblattr": (C.byref(C.c_double()),),
        "TVXgetdblattrelement": (0, C.byref(C.c_double())),
        "TVXsetdblattrlist": (1, ints(0), dbls(1.0)),
    }[call]
    assert getattr(lib, call)(model.h, b"Foo", *args) == UNKNOWN_ATTRIBUTE
    assert model.msg() == "Unknown attribute 'Foo'"


# ------------------------------------------------------- model attributes --

def test_model_attributes(lib, model):
    assert [model.int(a) for a in ("NumVars", "NumConstrs", "NumQConstrs", "NumGenConstrs")] == [
        3, 2, 1, 1]
    assert model.int("Status") == 1 and model.int("SolCount") == 0
    s = C.c_char_p()
    assert model.call("TVXgetstrattr", b"modelname", C.byref(s)) == 0 and s.value == b"m"
    assert model.call("TVXsetstrattr", b"ModelName", b"other") == 0
    assert model.call("TVXgetstrattr", b"ModelName", C.byref(s)) == 0 and s.value == b"other"
    assert model.call("TVXsetstrattr", b"ModelName", None) == NULL_ARGUMENT
    assert model.call("TVXsetintattr", b"NumVars", 5) == INVALID_ARGUMENT
    assert model.msg() == "Attribute 'NumVars' cannot be set"
    assert model.int("NumVars") == 3
    assert model.call("TVXsetdblattr", b"ObjVal", 1.0) == INVALID_ARGUMENT
    for name, val in (("IterCount", 0.0), ("NodeCount", 0.0)):
        v = C.c_double(-1)
        assert model.call("TVXgetdblattr", name.encode(), C.byref(v)) == 0 and v.value == val


@pytest.mark.parametrize("call, name, args, code, text", [
    ("TVXgetintattrelement", b"NumVars", (0, C.byref(C.c_int())), INVALID_ARGUMENT,
     "Attribute 'NumVars' is a model attribute"),
    ("TVXgetdblattr", b"LB", (C.byref(C.c_double()),), INVALID_ARGUMENT,
     "Attribute 'LB' is not a model attribute"),
    ("TVXgetintattrelement", b"LB", (0, C.byref(C.c_int())), INVALID_ARGUMENT,
     "Attribute 'LB' is of type double, not int"),
    ("TVXsetdblattrelement", b"X", (0, 1.0), INVALID_ARGUMENT, "Attribute 'X' cannot be set"),
    ("TVXsetdblattrlist", b"Slack", (1, ints(0), dbls(1.0)), INVALID_ARGUMENT,
     "Attribute 'Slack' cannot be set"),
    ("TVXgetdblattrelement", b"LB", (3, C.byref(C.c_double())), INDEX_OUT_OF_RANGE,
     "Index out of range for attribute 'LB'"),
    ("TVXgetdblattrelement", b"lb", (-1, C.byref(C.c_double())), INDEX_OUT_OF_RANGE,
     "Index out of range for attribute 'lb'"),
    ("TVXsetstrattrelement", b"QCName", (1, b"n"), INDEX_OUT_OF_RANGE,
     "Index out of range for attribute 'QCName'"),
    ("TVXgetdblattrlist", b"RHS", (2, ints(1, 2), dbls(0, 0)), INDEX_OUT_OF_RANGE,
     "Index out of range for attribute 'RHS'"),
    ("TVXgetdblattrlist", b"RHS", (1, ints(-1), dbls(0)), INDEX_OUT_OF_RANGE,
     "Index out of range for attribute 'RHS'"),
    ("TVXsetcharattrelement", b"VType", (0, b"X"), INVALID_ARGUMENT,
     "Invalid value for attribute 'VType'"),
    ("TVXsetcharattrelement", b"Sense", (0, b"L"), INVALID_ARGUMENT,
     "Invalid value for attribute 'Sense'"),
    ("TVXsetstrattrelement", b"VarName", (0, None), NULL_ARGUMENT, None),
    ("TVXgetdblattrelement", b"LB", (0, None), NULL_ARGUMENT, None),
    ("TVXgetdblattrlist", b"LB", (-1, None, None), INVALID_ARGUMENT, None),
    ("TVXgetdblattrelement", None, (0, C.byref(C.c_double())), NULL_ARGUMENT, None),
])
def test_attribute_errors(lib, model, call, name, args, code, text):
    assert getattr(lib, call)(model.h, name, *args) == code
    if text is not None:
        assert model.msg() == text


# ------------------------------------------------------ element attributes --

def _get1(lib, m, typ, name, i):
    out = {0: C.c_char(), 1: C.c_int(), 2: C.c_double(), 3: C.c_char_p()}[typ]
    call = ["TVXgetcharattrelement", "TVXgetintattrelement", "TVXgetdblattrelement",
            "TVXgetstrattrelement"][typ]
    assert getattr(lib, call)(m.h, name.encode(), i, C.byref(out)) == 0, m.msg()
    return out.value


ELEMENT_CASES = [
    # typ, name, index, default, new value
    (0, "VType", 1, b"B", b"I"),
    (0, "Sense", 0, b"<", b"="),
    (0, "QCSense", 0, b">", b"<"),
    (1, "BranchPriority", 2, 0, -5),
    (1, "Lazy", 1, 0, 2),
    (2, "LB", 1, -1.0, -3.5),
    (2, "UB", 2, INF, 7.0),
    (2, "Start", 0, UNDEF, 0.25),
    (2, "RHS", 1, 0.0, 9.0),
    (2, "QCRHS", 0, 5.0, 6.0),
    (3, "VarName", 2, b"z", b"zz\xc3\xa9"),
    (3, "ConstrName", 0, b"r0", b""),
    (3, "QCName", 0, b"q0", b"q"),
    (3, "GenConstrName", 0, b"g0", b"g"),
]


@pytest.mark.parametrize("typ, name, i, default, new", ELEMENT_CASES)
def test_element_get_set(lib, model, typ, name, i, default, new):
    assert _get1(lib, model, typ, name, i) == default
    setter = ["TVXsetcharattrelement", "TVXsetintattrelement", "TVXsetdblattrelement",
              "TVXsetstrattrelement"][typ]
    assert getattr(lib, setter)(model.h, name.lower().encode(), i, new) == 0, model.msg()
    assert _get1(lib, model, typ, name, i) == new


LIST_CASES = [
    # typ, name, values for elements 2, 0, 1 (vars) or 1, 0 (rows)
    (0, "VType", [b"C", b"I", b"B"]),
    (0, "Sense", [b">", b"="]),
    (1, "BranchPriority", [3, -1, 7]),
    (1, "Lazy", [1, 2]),
    (2, "Obj", [0.5, -INF, 1e101]),
    (2, "RHS", [-2.0, 8.0]),
    (3, "VarName", [b"c", b"a", b"b"]),
    (3, "ConstrName", [b"s1", b"s0"]),
]


@pytest.mark.parametrize("typ, name, values", LIST_CASES)
def test_list_get_set(lib, model, typ, name, values):
    idx = ints(2, 0, 1) if len(values) == 3 else ints(1, 0)
    n = len(values)
    ctype = [C.c_char, C.c_int, C.c_double, C.c_char_p][typ]
    kind = ["char", "int", "dbl", "str"][typ]
    vals = (ctype * n)(*values)
    assert getattr(lib, f"TVXset{kind}attrlist")(model.h, name.encode(), n, idx, vals) == 0
    out = (ctype * n)()
    assert getattr(lib, f"TVXget{kind}attrlist")(model.h, name.upper().encode(), n, idx, out) == 0
    assert list(out) == values
    # Single reads agree with the list write.
    for k in range(n):
        assert _get1(lib, model, typ, name, idx[k]) == values[k]
    # count 0 needs no arrays.
    assert getattr(lib, f"TVXget{kind}attrlist")(model.h, name.encode(), 0, None, None) == 0


@pytest.mark.parametrize("call, values", [
    ("TVXsetcharattrlist", C.create_string_buffer(b"CX", 2)),
    ("TVXsetstrattrlist", names("new", None)),
    ("TVXsetdblattrlist", dbls(1.0, 2.0)),  # second index out of range
])
def test_list_set_is_all_or_nothing(lib, model, call, values):
    name = {"TVXsetcharattrlist": b"VType", "TVXsetstrattrlist": b"VarName",
            "TVXsetdblattrlist": b"LB"}[call]
    idx = ints(0, 5) if call == "TVXsetdblattrlist" else ints(0, 1)
    before = (_get1(lib, model, 0, "VType", 0), _get1(lib, model, 3, "VarName", 0),
              _get1(lib, model, 2, "LB", 0))
    assert getattr(lib, call)(model.h, name, 2, idx, values) != 0
    after = (_get1(lib, model, 0, "VType", 0), _get1(lib, model, 3, "VarName", 0),
             _get1(lib, model, 2, "LB", 0))
    assert after == before


def test_string_values_are_copied(lib, model):
    buf = C.create_string_buffer(b"abc")
    assert lib.TVXsetstrattrelement(model.h, b"VarName", 0, buf) == 0
    buf.value = b"xyz"
    assert _get1(lib, model, 3, "VarName", 0) == b"abc"


# ---------------------------------------------------------------- solution --

def test_solution_values(lib, model):
    for name in ("X", "Slack"):
        assert model.dbl(name, 0)[0] == DATA_NOT_AVAILABLE
        assert model.msg() == "No solution available"
        assert model.dbls(name, [0])[0] == DATA_NOT_AVAILABLE
    v = C.c_double()
    assert model.call("TVXgetdblattr", b"ObjVal", C.byref(v)) == DATA_NOT_AVAILABLE
    assert model.call("TVXloadsolution", 2, dbls(1, 2)) == INVALID_ARGUMENT
    assert model.call("TVXloadsolution", 3, None) == NULL_ARGUMENT
    assert model.call("TVXloadsolution", 3, dbls(1.0, 2.0, 5.0)) == 0
    assert model.dbls("X", [2, 0, 1]) == (0, [5.0, 1.0, 2.0])
    # rows: x + 2y <= 4, y - z <= 0
    assert model.dbls("Slack", [0, 1]) == (0, [4.0 - 5.0, 0.0 - (2.0 - 5.0)])
    assert model.call("TVXgetdblattr", b"objval", C.byref(v)) == 0 and v.value == 1 + 4 + 15
    assert model.int("Status") == 2 and model.int("SolCount") == 1
    # New variables make the solution stale: it goes at the update.
    assert model.addvars(1) == 0
    assert model.dbl("X", 0) == (0, 1.0)
    model.update()
    assert model.dbl("X", 0)[0] == DATA_NOT_AVAILABLE
    assert model.int("Status") == 1


def test_optimizing_blocks_all_but_async_attributes(lib, model):
    assert lib.TVXsetoptimizing(model.h, 1) == 0
    k = C.c_int()
    assert lib.TVXgetattrinfo(model.h, b"LB", None, C.byref(k), None) == OPTIMIZATION_IN_PROGRESS
    assert "optimization is in progress" in model.msg()
    assert model.dbl("LB", 0)[0] == OPTIMIZATION_IN_PROGRESS
    for name in ("Status", "BarIterCount", "ObjVal", "ObjBound", "ObjBoundC", "IterCount",
                 "NodeCount", "OpenNodeCount"):
        assert lib.TVXgetattrinfo(model.h, name.lower().encode(), None, C.byref(k), None) == 0
    assert model.int("Status") == 1
    assert lib.TVXsetoptimizing(model.h, 0) == 0
    assert model.dbl("LB", 0) == (0, 0.0)


# ------------------------------------------------------ pending and removed --

def test_pending_elements_have_no_index(lib, model):
    assert model.addvars(2, nm=["p", "q"]) == 0
    assert model.addrows([[(3, 1.0), (4, 1.0)]], b">", [1.0]) == 0  # names pending columns
    assert model.int("NumVars") == 3 and model.int("NumConstrs") == 2
    assert model.dbl("LB", 3)[0] == INDEX_OUT_OF_RANGE
    model.update()
    assert model.int("NumVars") == 5 and model.int("NumConstrs") == 3
    assert model.dbls("UB", [3, 4]) == (0, [INF, INF])
    assert _get1(lib, model, 3, "VarName", 4) == b"q"
    assert model.row(2) == ([3, 4], [1.0, 1.0])


def test_removal_renumbers_at_update(lib, model):
    # delete y (col 1) and row 0; rows lose y's terms, z becomes col 1
    assert model.addvars(1, nm=["w"]) == 0              # pending col 3
    assert model.addrows([[(3, 4.0), (1, 1.0), (2, 5.0)]], b"=", [2.0], nm=["r2"]) == 0
    assert model.call("TVXdelvars", 1, ints(1)) == 0
    assert model.call("TVXdelconstrs", 2, ints(0, 0)) == 0  # duplicates are fine
    # Until the update, everything keeps its index.
    assert model.int("NumVars") == 3 and _get1(lib, model, 3, "VarName", 1) == b"y"
    assert model.row(0) == ([0, 1], [1.0, 2.0])
    model.update()
    assert model.int("NumVars") == 3 and model.int("NumConstrs") == 2
    assert [_get1(lib, model, 3, "VarName", j) for j in range(3)] == [b"x", b"z", b"w"]
    assert [_get1(lib, model, 3, "ConstrName", i) for i in range(2)] == [b"r1", b"r2"]
    assert model.row(0) == ([1], [-1.0])
    assert model.row(1) == ([2, 1], [4.0, 5.0])
    nl, nq = C.c_int(), C.c_int()
    lind, lval = (C.c_int * 4)(), (C.c_double * 4)()
    qr, qc, qv = (C.c_int * 4)(), (C.c_int * 4)(), (C.c_double * 4)()
    # the quadratic constraint keeps x, loses its y*z term
    assert model.call("TVXgetqconstr", 0, C.byref(nl), lind, lval, C.byref(nq), qr, qc, qv) == 0
    assert (nl.value, list(lind[:1]), nq.value) == (1, [0], 0)
    rv = C.c_int()
    assert model.call("TVXgetgenconstrnl", 0, C.byref(rv)) == 0 and rv.value == 1
    assert model.call("TVXdelvars", 1, ints(1)) == 0
    model.update()
    assert model.call("TVXgetgenconstrnl", 0, C.byref(rv)) == 0 and rv.value == -1


def test_delete_pending_and_other_kinds(lib, model):
    assert model.call("TVXaddgenconstrnl", b"g1", -1) == 0
    assert model.call("TVXdelgenconstrs", 1, ints(0)) == 0
    assert model.call("TVXdelqconstrs", 1, ints(0)) == 0
    assert model.addvars(2, nm=["a", "b"]) == 0
    assert model.call("TVXdelvars", 1, ints(3)) == 0  # pending "a"
    model.update()
    assert model.int("NumGenConstrs") == 1 and model.int("NumQConstrs") == 0
    assert _get1(lib, model, 3, "GenConstrName", 0) == b"g1"
    assert [_get1(lib, model, 3, "VarName", j) for j in range(4)] == [b"x", b"y", b"z", b"b"]


@pytest.mark.parametrize("call, n, idx", [
    ("TVXdelvars", 1, ints(3)), ("TVXdelvars", 1, ints(-1)), ("TVXdelconstrs", 1, ints(2)),
    ("TVXdelqconstrs", 1, ints(1)), ("TVXdelgenconstrs", 1, ints(1)),
])
def test_delete_out_of_range(lib, model, call, n, idx):
    assert model.call(call, n, idx) == INDEX_OUT_OF_RANGE
    model.update()
    assert (model.int("NumVars"), model.int("NumConstrs")) == (3, 2)


# ------------------------------------------------------------ model building --

@pytest.mark.parametrize("rows, sense, code", [
    ([[(3, 1.0)]], b"<", INDEX_OUT_OF_RANGE),    # no column 3
    ([[(-1, 1.0)]], b"<", INDEX_OUT_OF_RANGE),
    ([[(0, 1.0)], [(1, 1.0)]], b"<X", INVALID_ARGUMENT),
])
def test_addconstrs_checks_before_storing(lib, model, rows, sense, code):
    assert model.addrows(rows, sense, [0.0] * len(rows)) == code
    model.update()
    assert model.int("NumConstrs") == 2
    nnz = C.c_int64()
    assert model.call("TVXgetconstrs", C.byref(nnz), None, None, None, 0, 2) == 0
    assert nnz.value == 4


def test_addconstrs_bad_starts_and_vars(lib, model):
    beg = (C.c_int64 * 2)(0, 3)  # second row starts past numnz
    assert model.call("TVXaddconstrs", 2, 2, beg, ints(0, 1), dbls(1, 1), b"<<", dbls(0, 0),
                      None) == INVALID_ARGUMENT
    assert model.call("TVXaddconstrs", 1, 1, None, ints(0), dbls(1), b"<", dbls(0),
                      None) == NULL_ARGUMENT
    assert model.addvars(1, vtype=b"Q") == INVALID_ARGUMENT
    assert model.addvars(-1) == INVALID_ARGUMENT
    assert model.call("TVXaddqconstr", 0, None, None, 0, None, None, None, b"!", 0.0,
                      None) == INVALID_ARGUMENT
    assert model.call("TVXaddgenconstrnl", None, 3) == INDEX_OUT_OF_RANGE
    model.update()
    assert [model.int(a) for a in ("NumVars", "NumConstrs", "NumQConstrs", "NumGenConstrs")] == [
        3, 2, 1, 1]


def test_addvars_defaults(lib, env):
    m = Model(lib, env, None)
    assert m.addvars(2) == 0
    m.update()
    assert m.dbls("LB", [0, 1]) == (0, [0.0, 0.0])
    assert m.dbls("UB", [0, 1]) == (0, [INF, INF])
    assert m.dbls("Obj", [1]) == (0, [0.0])
    assert _get1(lib, m, 0, "VType", 1) == b"C"
    assert _get1(lib, m, 3, "VarName", 0) == b""
    s = C.c_char_p()
    assert m.call("TVXgetstrattr", b"ModelName", C.byref(s)) == 0 and s.value == b""
    m.free()


def test_bulk_rows_read_back(lib, env):
    m = Model(lib, env)
    n, rows, per = 50, 200, 7
    assert m.addvars(n) == 0
    rng = np.random.default_rng(1)
    ind = rng.integers(0, n, rows * per).astype(np.int32)
    val = rng.standard_normal(rows * per)
    beg = np.arange(rows, dtype=np.int64) * per
    sense = b"<" * rows
    rhs = np.arange(rows, dtype=np.float64)
    ptr = lambda a, t: a.ctypes.data_as(C.POINTER(t))  # noqa: E731
    assert m.call("TVXaddconstrs", rows, rows * per, ptr(beg, C.c_int64), ptr(ind, C.c_int),
                  ptr(val, C.c_double), sense, ptr(rhs, C.c_double), None) == 0
    m.update()
    nnz = C.c_int64()
    assert m.call("TVXgetconstrs", C.byref(nnz), None, None, None, 10, 20) == 0
    assert nnz.value == 20 * per
    obeg = np.empty(20, np.int64)
    oind = np.empty(nnz.value, np.int32)
    oval = np.empty(nnz.value)
    assert m.call("TVXgetconstrs", C.byref(nnz), ptr(obeg, C.c_int64), ptr(oind, C.c_int),
                  ptr(oval, C.c_double), 10, 20) == 0
    np.testing.assert_array_equal(obeg, np.arange(20) * per)
    np.testing.assert_array_equal(oind, ind[10 * per:30 * per])
    np.testing.assert_array_equal(oval, val[10 * per:30 * per])
    assert m.call("TVXgetconstrs", C.byref(nnz), None, None, None, 190, 11) == INDEX_OUT_OF_RANGE
    m.free()


_ONE, _COL0, _COL1, _BEG0 = dbls(1.0), ints(0), ints(1), (C.c_int64 * 1)(0)

# One element per call, as the package adds quadratic and general
# constraints (one per cell) and scalar linear rows.
ONE_AT_A_TIME = {
    "qconstr": ("TVXaddqconstr", (0, None, None, 1, _COL0, _COL1, _ONE, b"<", 1.0, None)),
    "genconstrnl": ("TVXaddgenconstrnl", (None, 1)),
    "one-row constrs": ("TVXaddconstrs", (1, 1, _BEG0, _COL0, _ONE, b"<", _ONE, None)),
}


@pytest.mark.parametrize("what, n", [("qconstr", 2000), ("genconstrnl", 4000),
                                     ("one-row constrs", 25000)])
def test_adding_one_at_a_time_costs_the_same_per_call(lib, env, what, n):
    # A call that moves everything stored before costs ~4x as much per call
    # at 4n calls as at n.
    fname, args = ONE_AT_A_TIME[what]

    def per_call(count):
        m = Model(lib, env)
        assert m.addvars(2) == 0
        f = getattr(lib, fname)
        start = time.process_time()
        for _ in range(count):
            f(m.h, *args)
        elapsed = time.process_time() - start
        m.update()
        kind = {"qconstr": "NumQConstrs", "genconstrnl": "NumGenConstrs"}.get(what, "NumConstrs")
        assert m.int(kind) == count
        m.free()
        return elapsed / count

    assert_flat_cost(per_call, n, "calls")


# ----------------------------------------------------------- handles, envs --

NULL_CALLS = [name for name, (res, _) in SIGNATURES.items()
              if res is I and name not in ("TVXfree", "TVXemptyenv", "TVXtest_numlive",
                                           "TVXgetnumattributes", "TVXgetnumbatchattributes")]


@pytest.mark.parametrize("name", NULL_CALLS)
def test_null_handle_refused(lib, name):
    args = [None] * len(SIGNATURES[name][1])
    # Non-pointer arguments get plain zeros.
    for k, t in enumerate(SIGNATURES[name][1]):
        if t in (I, D, C.c_int64):
            args[k] = 0
        elif t is C.c_char:
            args[k] = b"<"
        elif t is S and k > 0:
            args[k] = b"LB"
    assert getattr(lib, name)(*args) == NULL_ARGUMENT


def test_null_handle_for_pointer_and_count_calls(lib):
    assert lib.TVXgeterrormsg(None) is None
    assert lib.TVXgetmerrormsg(None) is None
    assert lib.TVXgetenv(None) is None
    assert lib.TVXgetbatchenv(None) is None
    assert lib.TVXgetnumattributes(None) == 0
    assert lib.TVXgetnumbatchattributes(None) == 0
    assert lib.TVXemptyenv(None) == NULL_ARGUMENT
    assert lib.TVXfree(None) == 0


def test_env_outlives_its_owner_until_last_model(lib):
    envs0, models0 = lib.TVXtest_numlive(LIVE_ENV), lib.TVXtest_numlive(LIVE_MODEL)
    e = P()
    assert lib.TVXemptyenv(C.byref(e)) == 0
    m = Model(lib, e)
    assert lib.TVXgetenv(m.h) == e.value
    assert lib.TVXfreeenv(e) == 0
    assert lib.TVXtest_numlive(LIVE_ENV) == envs0 + 1
    assert m.addvars(1) == 0
    m.update()
    assert m.int("NumVars") == 1
    m.free()
    assert lib.TVXtest_numlive(LIVE_ENV) == envs0
    assert lib.TVXtest_numlive(LIVE_MODEL) == models0


# ------------------------------------------------------------------ batches --

class Batch:
    def __init__(self, lib, env, bid):
        self.lib = lib
        self.h = P()
        self.rc = lib.TVXgetbatch(env, bid, C.byref(self.h))

    @property
    def env(self):
        return self.lib.TVXgetbatchenv(self.h)

    def msg(self):
        return self.lib.TVXgeterrormsg(self.env).decode()

    def int(self, name):
        v = C.c_int(-99)
        self.lib.TVXgetbatchintattr(self.h, name, C.byref(v))
        return v.value

    def str(self, name):
        s = C.c_char_p()
        assert self.lib.TVXgetbatchstrattr(self.h, name, C.byref(s)) == 0
        return s.value

    def json(self):
        p = C.c_void_p()
        rc = self.lib.TVXgetbatchjsonsolution(self.h, C.byref(p))
        if rc:
            return rc, None
        text = C.string_at(p)
        self.lib.TVXfree(p)
        return rc, text

    def free(self):
        assert self.lib.TVXfreebatch(self.h) == 0


def test_batch_not_found(lib, env):
    b = Batch(lib, env, b"nope")
    assert b.rc == BATCH_NOT_FOUND and not b.h
    assert lib.TVXgeterrormsg(env).decode() == "Batch 'nope' not found"


def test_batch_attributes(lib, env):
    assert lib.TVXtest_addbatch(env, b"b1", SUBMITTED, b"{}") == 0
    assert lib.TVXtest_addbatch(env, b"b1", SUBMITTED, b"{}") == INVALID_ARGUMENT
    assert lib.TVXtest_addbatch(env, b"b2", 9, None) == INVALID_ARGUMENT
    assert lib.TVXtest_setbatcherror(env, b"b1", 42, b"went wrong") == 0
    b = Batch(lib, env, b"b1")
    assert b.rc == 0 and b.env and b.env != env.value
    names_ = []
    for i in range(lib.TVXgetnumbatchattributes(b.env)):
        s = C.c_char_p()
        assert lib.TVXgetbatchattrname(b.env, i, C.byref(s)) == 0
        names_.append(s.value.decode())
    assert names_ == ["BatchErrorCode", "BatchErrorMessage", "BatchID", "BatchStatus"]
    flags = {}
    for n in names_:
        f = C.c_int()
        assert lib.TVXgetbatchattrflags(b.h, n.lower().encode(), C.byref(f)) == 0
        flags[n] = f.value
    assert flags == {"BatchErrorCode": 0x11, "BatchErrorMessage": 0x13, "BatchID": 0x13,
                     "BatchStatus": 0x11}
    assert (b.int(b"batchstatus"), b.int(b"batcherrorcode")) == (SUBMITTED, 42)
    assert (b.str(b"batchid"), b.str(b"BatchErrorMessage")) == (b"b1", b"went wrong")
    f = C.c_int()
    assert lib.TVXgetbatchattrflags(b.h, b"foo", C.byref(f)) == UNKNOWN_ATTRIBUTE
    assert b.msg() == "Unknown attribute 'foo'"
    # Status changes made elsewhere are seen.
    assert lib.TVXtest_setbatchstatus(env, b"b1", FAILED) == 0
    assert b.int(b"batchstatus") == FAILED
    b.free()


@pytest.mark.parametrize("status, call, code, after", [
    (SUBMITTED, "TVXabortbatch", 0, ABORTED),
    (CREATED, "TVXabortbatch", INVALID_ARGUMENT, CREATED),
    (COMPLETED, "TVXabortbatch", INVALID_ARGUMENT, COMPLETED),
    (ABORTED, "TVXretrybatch", 0, SUBMITTED),
    (FAILED, "TVXretrybatch", 0, SUBMITTED),
    (SUBMITTED, "TVXretrybatch", INVALID_ARGUMENT, SUBMITTED),
    (COMPLETED, "TVXupdatebatch", 0, COMPLETED),
])
def test_batch_transitions(lib, env, status, call, code, after):
    assert lib.TVXtest_addbatch(env, b"t", status, None) == 0
    b = Batch(lib, env, b"t")
    assert getattr(lib, call)(b.h) == code
    if code:
        assert b.msg()
    assert b.int(b"batchstatus") == after
    b.free()


def test_batch_json_and_discard(lib, env, tmp_path):
    texts0 = lib.TVXtest_numlive(LIVE_TEXT)
    raw = b'{"x": [1, 2]} \xff\xfe'  # not UTF-8: passed through as given
    assert lib.TVXtest_addbatch(env, b"j", SUBMITTED, raw) == 0
    b = Batch(lib, env, b"j")
    assert b.json() == (DATA_NOT_AVAILABLE, None)
    f = tmp_path / "sol.json"
    assert lib.TVXwritebatchjsonsolution(b.h, str(f).encode()) == DATA_NOT_AVAILABLE
    assert lib.TVXtest_setbatchstatus(env, b"j", COMPLETED) == 0
    assert b.json() == (0, raw)
    assert lib.TVXtest_numlive(LIVE_TEXT) == texts0
    assert lib.TVXwritebatchjsonsolution(b.h, str(f).encode()) == 0
    assert f.read_bytes() == raw
    bad = str(tmp_path / "no" / "such" / "dir.json").encode()
    assert lib.TVXwritebatchjsonsolution(b.h, bad) == FILE_WRITE
    assert "dir.json" in b.msg()
    # A second handle on the same batch sees the discard.
    b2 = Batch(lib, env, b"j")
    assert lib.TVXdiscardbatch(b.h) == 0
    for call in ("TVXdiscardbatch", "TVXupdatebatch", "TVXabortbatch", "TVXretrybatch"):
        assert getattr(lib, call)(b2.h) == DATA_NOT_AVAILABLE
    assert b2.json() == (DATA_NOT_AVAILABLE, None)
    assert b2.msg() == "Batch 'j' is no longer available"
    # Attribute reads still answer with the last values seen.
    assert (b2.str(b"batchid"), b2.int(b"batchstatus")) == (b"j", COMPLETED)
    assert Batch(lib, env, b"j").rc == BATCH_NOT_FOUND
    b.free()
    b2.free()


def test_batch_test_attributes_and_injected_failures(lib, env):
    batches0 = lib.TVXtest_numlive(LIVE_BATCH)
    assert lib.TVXtest_addbatch(env, b"x", SUBMITTED, None) == 0
    assert lib.TVXtest_addbatchattr(env, b"Writable", 0x01, 7, b"") == 0
    assert lib.TVXtest_addbatchattr(env, b"Label", 0x13, 0, b"text") == 0
    assert lib.TVXtest_addbatchattr(env, b"Dbl", 0x02, 0, b"") == 0
    assert lib.TVXtest_addbatchattr(env, b"LABEL", 0x01, 0, b"") == INVALID_ARGUMENT
    assert lib.TVXtest_addbatchattr(env, b"batchid", 0x01, 0, b"") == INVALID_ARGUMENT
    b = Batch(lib, env, b"x")
    assert lib.TVXgetnumbatchattributes(b.env) == 7
    s = C.c_char_p()
    assert lib.TVXgetbatchattrname(b.env, 5, C.byref(s)) == 0 and s.value == b"Label"
    f = C.c_int()
    assert lib.TVXgetbatchattrflags(b.h, b"writable", C.byref(f)) == 0 and f.value == 0x01
    assert (b.int(b"WRITABLE"), b.str(b"label")) == (7, b"text")
    v = C.c_int(-99)
    assert lib.TVXgetbatchintattr(b.h, b"dbl", C.byref(v)) == INVALID_ARGUMENT
    # An injected failure hits the next call of that name only.
    assert lib.TVXtest_failbatchcall(env, b"TVXgetbatchintattr", 0) == INVALID_ARGUMENT
    assert lib.TVXtest_failbatchcall(env, b"TVXgetbatchintattr", 77) == 0
    assert lib.TVXgetbatchintattr(b.h, b"batchstatus", C.byref(v)) == 77 and v.value == -99
    assert b.msg() == "Injected failure of TVXgetbatchintattr"
    assert b.int(b"batchstatus") == SUBMITTED
    assert lib.TVXtest_failbatchcall(env, b"TVXgetbatchattrname", 78) == 0
    assert lib.TVXgetbatchattrname(b.env, 0, C.byref(s)) == 78
    # A failed free is reported, but the handle is gone all the same.
    assert lib.TVXtest_failbatchcall(env, b"TVXfreebatch", 79) == 0
    assert lib.TVXfreebatch(b.h) == 79
    assert lib.TVXtest_numlive(LIVE_BATCH) == batches0


def test_empty_json_text(lib, env):
    assert lib.TVXtest_addbatch(env, b"e", COMPLETED, None) == 0
    b = Batch(lib, env, b"e")
    assert b.json() == (0, b"")
    b.free()


def test_batch_handles_own_their_env_and_outlive_the_store_owner(lib):
    envs0, batches0 = lib.TVXtest_numlive(LIVE_ENV), lib.TVXtest_numlive(LIVE_BATCH)
    e = P()
    assert lib.TVXemptyenv(C.byref(e)) == 0
    assert lib.TVXtest_addbatch(e, b"k", COMPLETED, b"[]") == 0
    b = Batch(lib, e, b"k")
    assert lib.TVXtest_numlive(LIVE_ENV) == envs0 + 2
    assert lib.TVXfreeenv(b.env) == INVALID_ARGUMENT  # freed with its batch only
    assert lib.TVXfreeenv(e) == 0
    assert b.json() == (0, b"[]") and b.str(b"batchid") == b"k"
    b.free()
    assert lib.TVXtest_numlive(LIVE_ENV) == envs0
    assert lib.TVXtest_numlive(LIVE_BATCH) == batches0
