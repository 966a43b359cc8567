"""Constraint handles MConstr, MQConstr, MGenConstr: members, state marks, lists,
attribute access and forwarding."""

import copy
from collections import deque

import numpy as np
import pytest

from zudirivi import _arrayexpr as ax
from zudirivi import _core
from zudirivi._exception import TovrixError
from zudirivi._tvx import TVX

from helpers import assert_no_leak

MConstr, MQConstr, MGenConstr = ax.MConstr, ax.MQConstr, ax.MGenConstr

M, P, CM, ST = "method", "property", "classmethod", None
MCONSTR_MEMBERS = [
    ("__init__", M, False), ("__dir__", M, False), ("__repr__", M, False),
    ("__getitem__", M, False), ("__getattr__", M, False), ("__setattr__", M, False),
    ("item", M, False), ("_idxarr", M, False), ("_numrows", M, False), ("tolist", M, True),
    ("fromlist", CM, True), ("getAttr", M, True), ("setAttr", M, True),
    ("prefetchAttr", M, False), ("shape", P, True), ("size", P, True), ("ndim", P, True),
    ("_typename", P, False), ("_typeenum", P, False),
]
MQCONSTR_MEMBERS = [(("_numqconstrs",) + m[1:]) if m[0] == "_numrows" else m
                    for m in MCONSTR_MEMBERS]
MGENCONSTR_MEMBERS = [
    ("__init__", M, False), ("__dir__", M, False), ("__repr__", M, False),
    ("shape", P, True), ("size", P, True), ("ndim", P, True), ("item", M, True),
    ("tolist", M, True), ("fromlist", CM, True), ("_typename", P, False),
    ("_typeenum", P, False), ("__getitem__", M, False), ("_idxarr", M, False),
    ("getAttr", M, True), ("setAttr", M, True), ("__getattr__", M, False),
    ("__setattr__", M, False),
]


@pytest.mark.parametrize("cls, first, maker", [
    (MConstr, "Matrix constraint handle, acting as an array of Constr objects.", "MLinExpr"),
    (MQConstr, "Matrix quadratic constraint handle, acting as an array of QConstr objects.",
     "MQuadExpr"),
])
def test_class_docstring(cls, first, maker):
    head, rest = cls.__doc__.split("\n", 1)
    assert head == first
    rest = " ".join(rest.split())
    assert rest == ("Such objects are usually not created directly, but received as the "
                    f"result of Model.addConstr({maker} ...).")


@pytest.mark.parametrize("cls, table, params", [
    (MConstr, MCONSTR_MEMBERS, {"__init__": "constrarr", "fromlist": "constrlist"}),
    (MQConstr, MQCONSTR_MEMBERS, {"__init__": "qconstrarr", "fromlist": "qconstrlist"}),
    (MGenConstr, MGENCONSTR_MEMBERS, {"__init__": "constrarr", "fromlist": "genconstrlist"}),
])
def test_member_table(cls, table, params):
    members = [n for n in vars(cls) if n not in
               ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__")]
    assert members == [m[0] for m in table]
    kinds = {M: type(ax.MVar.copy), P: property, CM: classmethod}
    for name, kind, has_doc in table:
        raw = cls.__dict__[name]
        assert type(raw) is kinds[kind], name
        fn = raw.fget if kind == P else raw.__func__ if kind == CM else raw
        assert fn.__qualname__ == f"{cls.__name__}.{name}"
        assert (fn.__doc__ is not None) == has_doc, name
    # parameters by keyword
    h = cls(**{params["__init__"]: np.empty(0, "O")})
    assert h.shape == (0,)
    assert cls.fromlist(**{params["fromlist"]: [[], []]}).shape == (2, 0)


# --- fixtures ------------------------------------------------------------------

@pytest.fixture
def model():
    return _core.Model()


def linear(m, n=6, update=True):
    x = m.addMVar(n)
    cs = [m.addConstr(x[i].item() <= float(i)) for i in range(n)]
    if update:
        m.update()
    return x, cs


def quadratic(m, n=3, update=True):
    x = m.addMVar(n)
    qs = [m.addConstr(x[i].item() * x[i].item() <= 1.0 + i) for i in range(n)]
    if update:
        m.update()
    return x, qs


def general(m, n=3, update=True):
    x, y = m.addMVar(n), m.addMVar(n)
    gs = [m.addGenConstrNL(y[i].item(), x[i].item()) for i in range(n)]
    if update:
        m.update()
    return gs


def handle_of(kind, m, shape=(2, 3), update=True):
    n = int(np.prod(shape))
    cls, make = {"lin": (MConstr, linear), "quad": (MQConstr, quadratic),
                 "gen": (MGenConstr, lambda m, n, u: (None, general(m, n, u)))}[kind]
    elems = make(m, n, update)[1]
    return cls(np.array(elems, dtype=object).reshape(shape)), elems


# --- construction, indexing, lists ---------------------------------------------

@pytest.mark.parametrize("kind", ["lin", "quad", "gen"])
def test_shape_indexing_and_lists(model, kind):
    h, elems = handle_of(kind, model)
    cls = type(h)
    assert (h.shape, h.size, h.ndim) == ((2, 3), 6, 2)
    assert h._cmodel is model._cmodel
    one = h[1, 2]
    assert type(one) is cls and one.shape == () and one.size == 1
    assert one.item() is elems[5] and one.tolist() is elems[5]
    assert h.tolist() == [elems[:3], elems[3:]]
    assert [r.shape for r in h] == [(3,), (3,)] and list(one) == []
    arr = "_qconstrarr" if cls is MQConstr else "_constrarr"
    assert set(vars(h)) == {"_cmodel", arr}
    assert np.shares_memory(getattr(h[:, ::2], arr), getattr(h, arr))
    empty = h[:0]
    assert empty._cmodel is None and empty.shape == (0, 3)
    with pytest.raises(ValueError):
        h.item()
    with pytest.raises(IndexError):
        h[5]

    class Sub(cls):
        pass
    sub = Sub.fromlist(elems)
    assert type(sub) is Sub and sub.shape == (6,)
    assert type(sub[0]) is cls


@pytest.mark.parametrize("cls, bad, text", [
    (MConstr, "x", "MConstr.fromlist expects a list of Constrs, 'x' is not valid input"),
    (MQConstr, 3, "MQConstr.fromlist expects a list of QConstrs, '3' is not valid input"),
    (MGenConstr, None,
     "MGenConstr.fromlist expects a list of GenConstrs, 'None' is not valid input"),
])
def test_fromlist_refuses_other_cells(model, cls, bad, text):
    _, cs = linear(model, 2)
    good = {MConstr: cs[0], MQConstr: quadratic(model, 1)[1][0],
            MGenConstr: general(model, 1)[0]}[cls]
    with pytest.raises(ValueError) as e:
        cls.fromlist([[good, good], [good, bad]])
    assert str(e.value) == text
    if cls is MGenConstr:
        with pytest.raises(ValueError, match=f"'{cs[1]}' is not valid input"):
            MGenConstr.fromlist([good, cs[1]])
    assert cls.fromlist([[good, good], [good, good]]).shape == (2, 2)


def test_constructor_assertion_and_without_model():
    with pytest.raises(AssertionError) as e:
        MConstr([1, 2])
    assert str(e.value) == ""
    h = MQConstr(np.empty((0, 3), dtype=object))
    assert h._cmodel is None and h._numqconstrs() is None
    assert repr(h) == "<MQConstr (0, 3)>"
    for name in ("QCRHS", "NoSuchAttribute"):
        got = h.getAttr(name)
        assert got.dtype == np.float64 and got.shape == (0, 3)
    assert h.setAttr("NoSuchAttribute", None) is None
    assert h.prefetchAttr("NoSuchAttribute") is None
    assert hasattr(h, "Anything")
    g = MGenConstr(np.empty(0, dtype=object))
    assert g.getAttr("Foo").shape == (0,) and repr(g) == "<MGenConstr (0,)>"


# --- repr marks ----------------------------------------------------------------

def test_repr_marks_after_update_and_remove(model):
    h, cs = handle_of("lin", model, (3,), update=False)
    assert repr(h) == "<MConstr (3,) *awaiting model update*>"
    model.update()
    assert repr(h) == "<MConstr (3,)>"
    model.remove(cs[1])
    assert repr(h) == "<MConstr (3,)>"
    model.update()
    assert repr(h) == "<MConstr (3,) (some removed)>"
    assert list(h._idxarr()) == [0, -2, 1]
    more = linear(model, 1, update=False)[1]
    both = MConstr.fromlist(cs + more)
    assert repr(both) == "<MConstr (4,) *awaiting model update* (some removed)>"
    assert repr(both[3]) == "<MConstr () *awaiting model update*>"

    q, qs = handle_of("quad", model, (2,), update=False)
    assert repr(q) == "<MQConstr (2,) *awaiting model update*>"
    model.update()
    assert repr(q) == "<MQConstr (2,)>" and q._numqconstrs() == 2


@pytest.mark.parametrize("count, marked", [(0, True), (1, True), (2, False), (3, False)])
def test_repr_marks_indices_above_the_count(model, count, marked):
    h, _ = handle_of("lin", model, (3,))

    class Counted(MConstr):
        def _numrows(self):
            return count
    c = Counted(h._constrarr)
    mark = " *awaiting model update*" if marked else ""
    assert repr(c) == f"<MConstr (3,){mark}>"


def test_count_read_from_the_library(model):
    h, cs = handle_of("lin", model, (2,))
    linear(model, 3)
    assert h._numrows() == model.NumConstrs == 5


def test_general_repr_reads_no_count(model):
    g, gs = handle_of("gen", model, (3,), update=False)
    assert repr(g) == "<MGenConstr (3,) *awaiting model update*>"
    model.update()
    model.remove(gs[0])
    model.update()
    assert repr(g) == "<MGenConstr (3,) (some removed)>"
    assert not hasattr(g, "_numrows")


# --- getAttr ---------------------------------------------------------------------

@pytest.mark.parametrize("kind, name, dtype, first", [
    ("lin", "RHS", np.float64, 0.0),
    ("lin", "Sense", np.dtype("U1"), "<"),
    ("lin", "ConstrName", object, ""),
    ("lin", "Lazy", np.int32, 0),
    ("quad", "QCRHS", np.float64, 1.0),
    ("quad", "QCSense", np.dtype("U1"), "<"),
    ("gen", "GenConstrName", object, ""),
])
def test_getattr_dtypes_and_shapes(model, kind, name, dtype, first):
    h, _ = handle_of(kind, model)
    got = h.getAttr(name)
    assert got.dtype == dtype and got.shape == (2, 3) and got[0, 0] == first
    assert getattr(h, name).tolist() == got.tolist()
    assert h[1, 1].getAttr(name).shape == ()


def test_getattr_reads_in_row_major_order(model):
    h, _ = handle_of("lin", model, (2, 3))
    np.testing.assert_array_equal(h.RHS, [[0, 1, 2], [3, 4, 5]])
    np.testing.assert_array_equal(h[:, ::-2].RHS, [[2, 0], [5, 3]])
    f = MConstr(np.asfortranarray(h._constrarr))
    np.testing.assert_array_equal(f.RHS, [[0, 1, 2], [3, 4, 5]])
    np.testing.assert_array_equal(f._idxarr(), [[0, 1, 2], [3, 4, 5]])
    assert f._idxarr().dtype == np.int32


# Wrong kind: texts differ between classes and between get and set.
@pytest.mark.parametrize("kind, name, get_text, set_text", [
    ("lin", "QCRHS", "'zudirivi.Constr' object has no attribute 'QCRHS'",
     "'zudirivi.Constr' object has no attribute 'QCRHS'"),
    ("quad", "RHS", "'zudirivi.MQConstr' object has no attribute 'RHS'",
     "'zudirivi.MQConstr' object has no attribute 'RHS'"),
    ("gen", "LB", "'zudirivi.GenConstr' object has no attribute 'LB'",
     "'zudirivi.MGenConstr' object has no attribute 'LB'"),
    ("lin", "Nope", "'tovrixpy.MConstr' object has no attribute 'Nope'",
     "'tovrixpy.MConstr' object has no attribute 'Nope'"),
    ("gen", "Nope", "'tovrixpy.MGenConstr' object has no attribute 'Nope'",
     "'tovrixpy.MGenConstr' object has no attribute 'Nope'"),
])
def test_attribute_error_texts(model, kind, name, get_text, set_text):
    h, _ = handle_of(kind, model)
    with pytest.raises(AttributeError) as e:
        h.getAttr(name)
    assert str(e.value) == get_text
    with pytest.raises(AttributeError) as e:
        h.setAttr(name, None)  # the value is never looked at
    assert str(e.value) == set_text
    assert not hasattr(h, name)


@pytest.mark.parametrize("kind, name, text", [
    ("lin", "QCRHS", "'tovrixpy.MConstr' object has no attribute 'QCRHS'"),
    ("quad", "Slack", "'tovrixpy.MQConstr' object has no attribute 'Slack'"),
])
def test_prefetch(model, kind, name, text):
    h, _ = handle_of(kind, model)
    assert h.prefetchAttr("RHS" if kind == "lin" else "QCRHS") is None
    with pytest.raises(AttributeError) as e:
        h.prefetchAttr(name)
    assert str(e.value) == text


def test_general_prefetch_is_forwarded(model):
    g, _ = handle_of("gen", model)
    with pytest.raises(AttributeError, match="'tovrixpy.MGenConstr' object has no attribute "
                                             "'prefetchAttr'"):
        g.prefetchAttr("GenConstrName")


def test_library_errors_of_pending_rows(model):
    h, _ = handle_of("lin", model, (2,), update=False)
    with pytest.raises(TovrixError) as e:
        h.getAttr("RHS")
    assert e.value.errno != 0 and "RHS" in e.value.message
    with pytest.raises(AttributeError):
        h.setAttr("RHS", 1.0)


# --- setAttr -----------------------------------------------------------------------

@pytest.mark.parametrize("shape, value, expect", [
    ((5,), 5, [5.0] * 5),
    ((2, 2), np.array([7.0]), [[7.0] * 2] * 2),
    ((2, 2), np.array(8), [[8.0] * 2] * 2),
    ((2, 2), np.array([[1.0, 2.0], [3.0, 4.0]]), [[1.0, 2.0], [3.0, 4.0]]),
    ((2, 2), np.array([[1, 2], [3, 4]], dtype=np.int8).T, [[1.0, 3.0], [2.0, 4.0]]),
    ((3,), [1, 2, 3], [1.0, 2.0, 3.0]),
    ((3,), (x for x in (4.0, 5.0, 6.0)), [4.0, 5.0, 6.0]),
    ((3, 1), [4], [[4.0]] * 3),
    ((), (4,), 4.0),
    ((3,), np.float32(2.5), [2.5] * 3),
    ((3,), [np.inf, -np.inf, 0.0], [np.inf, -np.inf, 0.0]),
])
def test_setattr_values(model, shape, value, expect):
    h, _ = handle_of("lin", model, shape)
    assert h.setAttr("RHS", value) is None
    got = h.RHS
    assert got.shape == shape and got.tolist() == expect


@pytest.mark.parametrize("shape, value, error, text", [
    ((2, 2), np.array([1.0, 2.0]), AttributeError, "Shape mismatch"),
    ((2, 2), np.ones((4,)), AttributeError, "Shape mismatch"),
    ((3, 1), [1, 2, 3], AttributeError, "Shape mismatch"),
    ((3,), [1, 2], AttributeError, "Shape mismatch"),
    ((3,), None, AttributeError, "Use scalar or ndarray to set attribute"),
    ((3,), object(), AttributeError, "Use scalar or ndarray to set attribute"),
    ((3,), {4.0}, TypeError, None),
    ((3,), range(4, 5), TypeError, None),
    ((3,), np.array(["a"]), ValueError, None),
    # One-element iterables whose `*` does not give one value per element.
    ((3,), deque([4.0]), AttributeError, "Shape mismatch"),
    ((3,), b"\x04", AttributeError, "Shape mismatch"),
])
def test_setattr_refused_values_write_nothing(model, shape, value, error, text):
    h, _ = handle_of("lin", model, shape)
    before = h.RHS.copy()
    with pytest.raises(error) as e:
        h.setAttr("RHS", value)
    if text:
        assert str(e.value) == text
    np.testing.assert_array_equal(h.RHS, before)


def test_setattr_check_order(model):
    h, _ = handle_of("lin", model, (3,))
    # not settable, before the value is looked at
    with pytest.raises(AttributeError, match="^Attribute 'Slack' cannot be set$"):
        h.setAttr("Slack", None)
    # kind before settable
    with pytest.raises(AttributeError, match="'zudirivi.Constr' object has no attribute 'X'"):
        h.setAttr("X", 1.0)


@pytest.mark.parametrize("name, value, expect", [
    ("Sense", ">", [">"] * 3),
    ("Sense", ["<", ">", "="], ["<", ">", "="]),
    ("ConstrName", "c", ["c"] * 3),
    ("ConstrName", np.array(["a", "b", "c"]), ["a", "b", "c"]),
    ("Lazy", 3, [3] * 3),
    ("Lazy", 2.7, [2] * 3),
])
def test_setattr_typed(model, name, value, expect):
    h, _ = handle_of("lin", model, (3,))
    h.setAttr(name, value)
    assert h.getAttr(name).tolist() == expect


def test_quadratic_and_general_setattr(model):
    q, _ = handle_of("quad", model, (3,))
    q.QCRHS = [7, 8, 9]
    assert q.QCRHS.tolist() == [7.0, 8.0, 9.0]
    g, _ = handle_of("gen", model, (2, 2))
    g.GenConstrName = np.array([["a", "b"], ["c", "d"]], dtype=object)
    assert g.GenConstrName.tolist() == [["a", "b"], ["c", "d"]]


@pytest.mark.parametrize("state, text", [
    ("pending", "GenConstr has not yet been added to the model"),
    ("removed", "GenConstr was removed from the model"),
    ("both", "GenConstr has not yet been added to the model"),
])
def test_general_not_in_model_checks(model, state, text):
    g, gs = handle_of("gen", model, (3,), update=state != "pending")
    if state != "pending":
        model.remove(gs[0])
        model.update()
    if state == "both":
        g = MGenConstr.fromlist(gs + general(model, 1, update=False))
    for call in (lambda: g.getAttr("GenConstrName"), lambda: g.setAttr("GenConstrName", "n")):
        with pytest.raises(TovrixError) as e:
            call()
        assert e.value.errno == TVX.Error.NOT_IN_MODEL and e.value.message == text
    # the kind check and the value come first
    with pytest.raises(AttributeError, match="'zudirivi.GenConstr' object"):
        g.getAttr("RHS")
    with pytest.raises(AttributeError, match="^Shape mismatch$"):
        g.setAttr("GenConstrName", ["a", "b"])


def test_general_accepts_access_after_update(model):
    g, gs = handle_of("gen", model, (2,), update=False)
    with pytest.raises(TovrixError):
        g.GenConstrName
    model.update()
    g.GenConstrName = ["p", "q"]
    assert g.GenConstrName.tolist() == ["p", "q"]


# --- forwarding, dir, copies --------------------------------------------------------

def test_forwarding(model):
    h, _ = handle_of("lin", model, (3,))
    h.RHS = np.zeros(3)
    assert h.RHS.tolist() == [0.0] * 3
    h._note = "kept"
    assert h.__dict__["_note"] == "kept" and h._note == "kept"
    with pytest.raises(IndexError):
        setattr(h, "", 1)
    with pytest.raises(AttributeError, match="'tovrixpy.MConstr' object has no attribute "
                                             "'shape'"):
        h.shape = (3,)
    with pytest.raises(AttributeError, match="'MConstr' object has no attribute '__deepcopy__'"):
        h.__deepcopy__


@pytest.mark.parametrize("kind, names", [
    ("lin", {"RHS", "Sense", "ConstrName", "Slack"}),
    ("quad", {"QCRHS", "QCSense", "QCName"}),
    ("gen", {"GenConstrName"}),
])
def test_dir(model, kind, names):
    h, _ = handle_of(kind, model)
    d = dir(h)
    assert d == sorted(set(d))
    assert names <= set(d) and {"getAttr", "_cmodel", "tolist"} <= set(d)
    assert "LB" not in d
    assert set(dir(type(h)(np.empty(0, object)))) == set(dir(type(h))) | {"_cmodel"} | \
        set(vars(type(h)(np.empty(0, object))))


@pytest.mark.parametrize("kind", ["lin", "quad", "gen"])
def test_copies_and_bare_instances_do_not_recurse(model, kind):
    h, _ = handle_of(kind, model)
    c = copy.copy(h)
    assert vars(c) == vars(h) and repr(c) == repr(h)
    bare = type(h).__new__(type(h))
    with pytest.raises(AttributeError, match="_cmodel"):
        bare.getAttr("RHS")
    assert not hasattr(bare, "RHS")
    with pytest.raises(AttributeError):
        repr(bare)

    class Loop(type(h)):
        def getAttr(self, name):
            return self.__getattr__(name)
    with pytest.raises(RecursionError):
        Loop.__new__(Loop).RHS


# --- leaks ------------------------------------------------------------------------

def test_no_reference_leaks(model):
    h, _ = handle_of("lin", model, (2, 3))
    g, _ = handle_of("gen", model, (3,))
    values = np.arange(6.0).reshape(2, 3)

    def run():
        h.getAttr("RHS")
        h.getAttr("Sense")
        h.setAttr("RHS", values)
        h.setAttr("RHS", [1.0])
        repr(h)
        h[0, 1:]
        h._idxarr()
        g.GenConstrName
        try:
            h.setAttr("RHS", deque([1.0]))
        except AttributeError:
            pass
        try:
            h.getAttr("QCRHS")
        except AttributeError:
            pass
    # A leak per call grows the count by at least `repeat`; caches of the
    # libraries account for a bounded few dozen blocks.
    assert_no_leak(run, repeat=2000, tolerance=200)


@pytest.mark.parametrize("handle, name", [("mvar", "UB"), ("lin", "RHS")])
def test_one_item_iterables_that_do_not_repeat(model, handle, name):
    # value * size of a deque or bytes is no list of one value per element
    h = model.addMVar(3) if handle == "mvar" else handle_of("lin", model, (3,))[0]
    model.update()
    for value in (deque([4.0]), b"\x04"):
        with pytest.raises(AttributeError, match="^Shape mismatch$"):
            h.setAttr(name, value)
    h.setAttr(name, (4.0,))
    assert h.getAttr(name).tolist() == [4.0] * 3
