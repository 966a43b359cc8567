"""Element names: _indexname, simplify_tuple, _nd_indexed_names."""

import numpy as np
import pytest

from zudirivi import _buildaid as ba

from helpers import assert_no_leak


class StrRaises:
    def __str__(self):
        raise TypeError("no text")

    def __repr__(self):
        return "SR"


class IterRaises:
    def __iter__(self):
        raise KeyError("deep")


@pytest.mark.parametrize("name, index, expected", [
    ("", (1, 2), ""),
    (None, 3, ""),
    (0, (1,), ""),
    ("x", "abc", "x[abc]"),
    ("x", 7, "x[7]"),
    ("x", (7,), "x[7]"),
    ("x", (), "x[]"),
    ("x", [1, "a", 2.5], "x[1,a,2.5]"),
    ("x", (1, 2), "x[1,2]"),
    (3, (0,), "3[0]"),
    ("x", None, "x[None]"),
    ("x", np.int64(4), "x[4]"),
    ("x", {"k": 1}, "x[k]"),
])
def test_indexname(name, index, expected):
    assert ba._indexname(name, index) == expected


def test_indexname_falls_back_only_on_type_error():
    class Shown:
        def __str__(self):
            return "whole"

        def __iter__(self):
            return iter([StrRaises()])

    assert ba._indexname("x", Shown()) == "x[whole]"
    with pytest.raises(KeyError):
        ba._indexname("x", IterRaises())


@pytest.mark.parametrize("tup, expected", [((5,), 5), ([7], 7), ("a", "a")])
def test_simplify_tuple_single(tup, expected):
    assert ba.simplify_tuple(tup) == expected


def test_simplify_tuple_returns_the_argument_itself():
    for t in ((5, 6), (), [1, 2]):
        assert ba.simplify_tuple(t) is t
    with pytest.raises(TypeError):
        ba.simplify_tuple(5)


@pytest.mark.parametrize("shape, expected", [
    ((3,), ["x[0]", "x[1]", "x[2]"]),
    ((0,), []),
    ((2, 0), []),
    ((0, 0), []),
    ((1, 1), ["x[0,0]"]),
    ((3, 1), ["x[0,0]", "x[1,0]", "x[2,0]"]),
    ((1, 4, 1), ["x[0,0,0]", "x[0,1,0]", "x[0,2,0]", "x[0,3,0]"]),
    ((2, 2), ["x[0,0]", "x[0,1]", "x[1,0]", "x[1,1]"]),
    ((2, 3), ["x[0,0]", "x[0,1]", "x[0,2]", "x[1,0]", "x[1,1]", "x[1,2]"]),
    ([2, 1, 2], ["x[0,0,0]", "x[0,0,1]", "x[1,0,0]", "x[1,0,1]"]),
    ((np.int64(2),), ["x[0]", "x[1]"]),
    ((-2,), []),
])
def test_nd_indexed_names(shape, expected):
    assert ba._nd_indexed_names("x", shape) == expected


def test_nd_indexed_names_prefixes():
    assert ba._nd_indexed_names("x", ()) == ["x"]
    obj = object()
    assert ba._nd_indexed_names(obj, ())[0] is obj
    assert ba._nd_indexed_names("", (2,)) == ["[0]", "[1]"]
    assert ba._nd_indexed_names(5, (3,)) == ["5[0]", "5[1]", "5[2]"]
    with pytest.raises(ValueError):
        ba._nd_indexed_names(5, (2, 2))
    assert ba._nd_indexed_names(5, (2, 0)) == []
    # wide characters keep their width in every name
    assert ba._nd_indexed_names("é\u20ac", (2,)) == ["é\u20ac[0]", "é\u20ac[1]"]
    assert ba._nd_indexed_names("\U0001F600", (1, 2, 2))[-1] == "\U0001F600[0,1,1]"

    class Sub(str):
        def __format__(self, spec):
            return "sub" + spec

    assert ba._nd_indexed_names(Sub("p"), (2,)) == ["sub[0]", "sub[1]"]
    assert ba._nd_indexed_names(Sub("p"), (2, 2))[0] == "subs[0,0]"


class CountingPrefix:
    """A prefix that answers each formatting with a new text."""

    def __init__(self):
        self.specs = []

    def __format__(self, spec):
        self.specs.append(spec)
        return f"p{len(self.specs)}"


@pytest.mark.parametrize("shape, names, spec", [
    ((3,), ["p1[0]", "p2[1]", "p3[2]"], ""),
    ((1, 2), ["p1[0,0]", "p2[0,1]"], ""),
    ((2, 2), ["p1[0,0]", "p2[0,1]", "p3[1,0]", "p4[1,1]"], "s"),
])
def test_the_prefix_is_formatted_for_each_name(shape, names, spec):
    prefix = CountingPrefix()
    assert ba._nd_indexed_names(prefix, shape) == names
    assert prefix.specs == [spec] * len(names)


@pytest.mark.parametrize("shape", [(0,), (0, 0), (-1,), (2, 0)])
def test_no_names_never_format_the_prefix(shape):
    class Unformattable:
        def __format__(self, spec):
            raise RuntimeError("formatted")

    assert ba._nd_indexed_names(Unformattable(), shape) == []


def test_nd_indexed_names_large_index_texts():
    names = ba._nd_indexed_names("v", (1, 123457))
    assert names[-1] == "v[0,123456]" and len(names) == 123457


@pytest.mark.parametrize("shape, exc", [
    (3, TypeError), ([], ValueError), ((2 ** 31,), OverflowError),
    ((2.0, 3), TypeError), ((2, 3.0), TypeError),
])
def test_nd_indexed_names_errors(shape, exc):
    with pytest.raises(exc):
        ba._nd_indexed_names("x", shape)


def test_no_leaks():
    assert_no_leak(lambda: ba._nd_indexed_names("x", (5,)))
    assert_no_leak(lambda: ba._nd_indexed_names("x", (2, 3)))
    assert_no_leak(lambda: ba._nd_indexed_names(5, (3,)))
    assert_no_leak(lambda: ba._nd_indexed_names(CountingPrefix(), (2, 3)))
    assert_no_leak(lambda: ba._indexname("x", (1, "a")))
    assert_no_leak(lambda: ba._indexname("x", 3))
