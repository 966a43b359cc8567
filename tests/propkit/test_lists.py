"""List attribute access of _propkit: _gettypedattrlist and _settypedattrlist."""

import numpy as np
import pytest

from zudirivi import _propkit as pk
from zudirivi._exception import TovrixError
from zudirivi._tvx import TVX

from helpers import assert_no_leak

get = pk._gettypedattrlist
put = pk._settypedattrlist


class Seq:
    """A sequence that is neither list, tuple nor array."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def misaligned(arr):
    """A copy of `arr` whose data lie one byte off their alignment."""
    out = np.frombuffer(b"\0" + arr.tobytes(), dtype=arr.dtype, offset=1)
    assert not out.flags.aligned
    return out


# --- reading ----------------------------------------------------------------------

@pytest.mark.parametrize("name, attrtype, expected", [
    ("LB", 2, [2.0, 0.0, 1.0]),
    ("UB", 2, [float("inf")] * 3),
    ("Start", 2, [TVX.UNDEFINED] * 3),
    ("VType", 0, ["C"] * 3),
    ("VarName", 3, ["x2", "x0", "x1"]),
    ("BranchPriority", 1, [0, 0, 0]),
])
def test_read_types(owner, name, attrtype, expected):
    values = get(owner, name, attrtype, [2, 0, 1])
    assert values == expected and type(values) is list
    assert [type(v) for v in values] == [type(v) for v in expected]


@pytest.mark.parametrize("indices", [
    [2, 0],
    (2, 0),
    [np.int32(2), np.int64(0)],
    np.array([2, 0], dtype=np.int32),
    np.array([0, 1, 2, 0], dtype=np.int64)[2::-2],
    {0: 2, 1: 0},  # indexed as inputlist[i]
    np.array([2, 0], dtype=np.int16),
    [2.9, True - 1],  # floats truncate toward zero, bools are ints
    Seq([2, 0]),
    range(2, -1, -2),
    misaligned(np.array([2, 0], dtype=np.int64)),
])
def test_index_forms(owner, indices):
    assert get(owner, "LB", 2, indices) == [2.0, 0.0]
    assert get(owner, "LB", 2.0, indices) == [2.0, 0.0]  # the code compares by equality


@pytest.mark.parametrize("indices, error", [
    ([0, 2**31], OverflowError),
    (np.array([0, 2**31]), OverflowError),
    ([0, -2**31 - 1], OverflowError),
    ([0, "1"], TypeError),
    ([0, None], TypeError),
    (5, TypeError),  # no len()
    ({0: 0, 2: 1, 3: 2}, KeyError),
])
def test_bad_indices_never_reach_the_library(model, owner, indices, error):
    with pytest.raises(error):
        get(owner, "LB", 2, indices)
    with pytest.raises(error):
        put(owner, "LB", 2, indices, [7.0, 7.0, 7.0])
    assert get(owner, "LB", 2, [0, 1, 2]) == [0.0, 1.0, 2.0]


def test_empty_index_list_still_calls_the_library(owner):
    assert get(owner, "LB", 2, []) == []
    assert put(owner, "LB", 2, [], []) is None
    with pytest.raises(TovrixError) as info:
        get(owner, "Nope", 2, [])
    assert info.value.errno == TVX.ERROR_UNKNOWN_ATTRIBUTE


def test_read_failures_are_tovrix_errors(owner):
    with pytest.raises(TovrixError) as info:
        get(owner, "X", 2, [0])
    assert (info.value.errno, info.value.message) == (TVX.ERROR_DATA_NOT_AVAILABLE,
                                                      "No solution available")
    with pytest.raises(TovrixError) as info:
        get(owner, "LB", 2, [0, 3])
    assert info.value.errno == TVX.ERROR_INDEX_OUT_OF_RANGE
    assert info.value.message == "Index out of range for attribute 'LB'"


def test_read_of_unknown_type_code(owner):
    with pytest.raises(AttributeError, match="LB"):
        get(owner, "LB", 7, [0])


def test_read_solution(model, owner):
    model._loadSolution([1.5, TVX.UNDEFINED, -TVX.INFINITY])
    assert get(owner, "X", 2, [0, 1, 2]) == [1.5, TVX.UNDEFINED, float("-inf")]


# --- writing ------------------------------------------------------------------------

@pytest.mark.parametrize("name, attrtype, values, read", [
    ("UB", 2, [float("inf"), np.inf, 1e300], [float("inf")] * 3),
    ("LB", 2, [-np.inf, 5, np.float32(2.5)], [float("-inf"), 5.0, 2.5]),
    ("LB", 2, np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
    ("LB", 2, np.array([3.0, 0.0, 2.0, 0.0, 1.0])[::2], [3.0, 2.0, 1.0]),
    ("LB", 2, misaligned(np.array([1.0, 2.0, 3.0])), [1.0, 2.0, 3.0]),
    ("LB", 2, (1, 2, 3, "ignored"), [1.0, 2.0, 3.0]),
    ("VType", 0, ["B", b"I", bytearray(b"C")], ["B", "I", "C"]),
    ("VType", 0, "BIB", ["B", "I", "B"]),
    ("BranchPriority", 1, [2.7, np.int64(3), np.int32(-4)], [2, 3, -4]),
    ("BranchPriority", 1, Seq([True, 5, 6]), [1, 5, 6]),
    ("VarName", 3, ["a", "b\u00e9", ""], ["a", "b\u00e9", ""]),
    ("VarName", 3, iter(["a", "b", "c", "d"]), ["a", "b", "c"]),
])
def test_write_types(owner, name, attrtype, values, read):
    assert put(owner, name, attrtype, [0, 1, 2], values) is None
    assert get(owner, name, attrtype, [0, 1, 2]) == read


def test_write_mapping_reaches_the_library(model, owner, lib):
    put(owner, "UB", 2, [0, 1, 2], [np.inf, 1e300, float("nan")])
    assert lib.dbl(model, "UB", 0) == TVX.INFINITY
    assert lib.dbl(model, "UB", 1) == 1e300
    assert np.isnan(lib.dbl(model, "UB", 2))
    put(owner, "LB", 2, [0], [float("-inf")])
    assert lib.dbl(model, "LB", 0) == -TVX.INFINITY


@pytest.mark.parametrize("name, attrtype, values, error", [
    # fewer values than indices: refused before the library, never read past the end
    ("LB", 2, [7.0, 7.0], IndexError),
    ("LB", 2, (7.0, 7.0), IndexError),
    ("LB", 2, np.array([7.0, 7.0]), IndexError),
    ("LB", 2, Seq([7.0, 7.0]), IndexError),
    ("VType", 0, ["B", "B"], IndexError),
    ("BranchPriority", 1, [1, 2], IndexError),
    ("VarName", 3, ["a", "b"], IndexError),
    ("VarName", 3, iter(["a", "b"]), IndexError),
    # values that do not convert
    ("LB", 2, [7.0, "a", 7.0], TypeError),
    ("LB", 2, [7.0, 7.0, None], TypeError),
    ("VType", 0, ["B", "AB", "B"], ValueError),
    ("VType", 0, ["B", "", "B"], ValueError),
    ("VType", 0, ["B", "\u0142", "B"], ValueError),  # cut to 8 bits it would be "B"
    ("VType", 0, ["B", b"AB", "B"], TypeError),
    ("VType", 0, ["B", 66, "B"], TypeError),
    ("BranchPriority", 1, [1, "3", 1], TypeError),
    ("BranchPriority", 1, [1, 2**31, 1], OverflowError),
    ("VarName", 3, ["a", 5, "c"], TypeError),
    ("VarName", 3, ["a", "b", "c", 5], TypeError),  # items past the index list are converted
    ("VarName", 3, ["a", "b\0", "c"], ValueError),
])
def test_write_refusals_write_nothing(model, owner, name, attrtype, values, error):
    before = get(owner, name, attrtype, [0, 1, 2])
    with pytest.raises(error):
        put(owner, name, attrtype, [0, 1, 2], values)
    assert get(owner, name, attrtype, [0, 1, 2]) == before


@pytest.mark.parametrize("char, code", [("\u20ac", "20AC"), ("\u0142", "0142"),
                                        ("\U0001f600", "1F600")])
def test_wide_character_message_names_the_code_point(owner, char, code):
    with pytest.raises(ValueError) as info:
        put(owner, "VType", 0, [0, 1], [char, "C"])
    assert str(info.value) == f"character U+{code} does not fit in one byte"


def test_string_read_copies_the_texts_before_python_code_runs(owner, monkeypatch):
    # A conversion that renames the variables must not change what was read.
    convert = pk._bytestostring

    def renaming(data):
        put(owner, "VarName", 3, [0, 1, 2], ["a", "b", "c"])
        return convert(data)

    monkeypatch.setattr(pk, "_bytestostring", renaming)
    assert get(owner, "VarName", 3, [0, 1, 2]) == ["x0", "x1", "x2"]


def test_write_failures_are_attribute_errors(model, owner):
    with pytest.raises(AttributeError) as info:
        put(owner, "X", 2, [0], [1.0])
    assert str(info.value) == pk._geterrormsg(model) and str(info.value)
    with pytest.raises(AttributeError) as info:
        put(owner, "LB", 2, [0, 5], [1.0, 1.0])
    assert str(info.value) == "Index out of range for attribute 'LB'"


def test_write_of_unknown_type_code_is_refused(owner):
    with pytest.raises(AttributeError) as info:
        put(owner, "LB", 7, [0], [9.0])
    assert str(info.value) == "Attribute 'LB' has an unsupported data type"
    assert get(owner, "LB", 2, [0]) == [0.0]


class Shrinking:
    """An index whose conversion empties the list holding it."""

    def __init__(self, target):
        self.target = target

    def __int__(self):
        self.target.clear()
        return 0


def test_list_changed_during_conversion(owner):
    values = [1.0, 2.0, 3.0]
    indices = [0, 1, 2]
    indices[0] = Shrinking(indices)
    with pytest.raises(IndexError):
        get(owner, "LB", 2, indices)
    values[0] = Shrinking(values)
    with pytest.raises(IndexError):
        put(owner, "BranchPriority", 1, [0, 1, 2], values)


def test_none_model(make_owner, model):
    class NoModel(make_owner):
        _cmodel = None

    nomodel = NoModel.__new__(NoModel)
    nomodel._typename, nomodel._typeenum = "MVar", 1
    # A None handle never reaches the library; each call fails its usual way.
    with pytest.raises(TovrixError) as info:
        get(nomodel, "LB", 2, [0])
    assert info.value.errno == TVX.ERROR_NULL_ARGUMENT
    with pytest.raises(AttributeError):
        put(nomodel, "LB", 2, [0], [1.0])
    with pytest.raises(AttributeError) as info:
        pk._getattrinfo(nomodel, "LB")
    assert str(info.value) == "'tovrixpy.MVar' object has no attribute 'LB'"
    assert pk._geterrormsg(nomodel) == ""
    assert pk._attrlist(None, 1) == []
    for call in (lambda: pk._getattr(nomodel, "LB"), lambda: pk._setattr(nomodel, "LB", 1.0),
                 lambda: pk._prefetchattr(nomodel, "LB")):
        with pytest.raises(AttributeError):
            call()
    with pytest.raises(TovrixError) as info:
        pk._get_async_attr(nomodel, "Status")
    assert (info.value.errno, info.value.message) == (TVX.ERROR_NULL_ARGUMENT, "")


@pytest.mark.parametrize("call, text", [
    (lambda: get(1, 2, 3), "_gettypedattrlist() takes exactly 4 positional arguments (3 given)"),
    (lambda: put(1, 2, 3, 4), "_settypedattrlist() takes exactly 5 positional arguments (4 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("name, attrtype, values", [
    ("LB", 2, [1.0, float("inf"), 3.0]),
    ("VType", 0, ["B", "I", "C"]),
    ("BranchPriority", 1, [1, 2, 3]),
    ("VarName", 3, ["a", "b", "c"]),
])
def test_no_leak(owner, name, attrtype, values):
    indices = [0, 1, 2]
    assert_no_leak(lambda: get(owner, name, attrtype, indices))
    assert_no_leak(lambda: put(owner, name, attrtype, indices, values))

    def refused():
        try:
            put(owner, name, attrtype, indices, values[:2])
        except IndexError:
            pass

    assert_no_leak(refused)


def test_no_leak_on_library_failure(owner):
    def refused():
        try:
            get(owner, "X", 2, [0, 1])
        except TovrixError:
            pass

    assert_no_leak(refused)
