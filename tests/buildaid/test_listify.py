"""_listify: the key list of a product of index sets and keyword broadcasting."""

import collections

import numpy as np
import pytest

from zudirivi import _buildaid as ba

from helpers import assert_no_leak

Pair = collections.namedtuple("Pair", "a b")


@pytest.mark.parametrize("indexes, expected", [
    ((3,), [0, 1, 2]),
    ((2, [10, 20]), [(0, 10), (0, 20), (1, 10), (1, 20)]),
    (([(1, 2), (3, 4)], 2), [(1, 2, 0), (1, 2, 1), (3, 4, 0), (3, 4, 1)]),
    (([(1, 2), (3, 4)],), [(1, 2), (3, 4)]),
    (("ab", 1), [("a", 0), ("b", 0)]),
    (([Pair(1, 2)], [[3]], [((4,),)]), [(Pair(1, 2), [3], (4,))]),
    ((2, [], 3), []),
    ((0,), []),
    ((2, 1, 2), [(0, 0, 0), (0, 0, 1), (1, 0, 0), (1, 0, 1)]),
    (([True, False],), [True, False]),
])
def test_index(indexes, expected):
    lst = ba._listify(*indexes)
    assert lst.index == expected and lst.len == len(expected) and type(lst.len) is int
    assert lst.kwargs == {}
    assert [type(k) for k in lst.index] == [type(k) for k in expected]


def test_index_sets_are_taken_as_given():
    gen = (c for c in "xy")
    assert ba._listify(gen, 1).index == [("x", 0), ("y", 0)]
    one = [5, 6]
    lst = ba._listify(one)
    assert lst.index == one and lst.index is not one


@pytest.mark.parametrize("indexes, exc", [
    ((), IndexError), ((True,), TypeError), ((np.int64(2),), TypeError),
    ((2, 2.5), TypeError), ((1.5,), TypeError),
])
def test_bad_index_sets(indexes, exc):
    with pytest.raises(exc):
        ba._listify(*indexes)


@pytest.fixture
def three():
    return ba._listify(3, lb=0, name="v", obj={1: 7.5}, ub=[[1, 2], [3]], vt=[1, 2],
                       arr=np.array([4, 5, 6]), s={"a", "b"} - {"b"}, none=None)


@pytest.mark.parametrize("arg, default, expected", [
    ("lb", None, [0, 0, 0]),
    ("name", None, ["v", "v", "v"]),
    ("obj", -1, [-1, 7.5, -1]),
    ("ub", None, [1, 2, 3]),
    ("vt", None, [1, 2]),
    ("arr", None, [4, 5, 6]),
    ("s", None, ["a"]),
    ("none", 5, [None, None, None]),
    ("missing", 0.5, [0.5, 0.5, 0.5]),
    ("missing", None, [None, None, None]),
    ("missing", "d", ["d", "d", "d"]),
    ("missing", {2: "z"}, [{2: "z"}, {2: "z"}, "z"]),
])
def test_listify(three, arg, default, expected):
    assert three.listify(arg, default) == expected


def test_listify_copies_iterables_and_repeats_one_object(three):
    vt = three.kwargs["vt"]
    r = three.listify("vt", None)
    assert r == vt and r is not vt
    obj = object()
    r = three.listify("missing", obj)
    assert len(r) == 3 and all(o is obj for o in r)


def test_listify_dict_keys_and_subclasses():
    lst = ba._listify(2, "ab", lb={(1, "b"): 3})
    assert lst.listify("lb", 0) == [0, 0, 0, 3]

    class Counting(dict):
        calls = 0

        def get(self, k, d=None):
            Counting.calls += 1
            return super().get(k, d)

    lst = ba._listify(2, v=Counting({1: "one"}))
    assert lst.listify("v", "-") == ["-", "one"] and Counting.calls == 2


@pytest.mark.parametrize("x, expected", [
    ([[1, 2], [3]], [1, 2, 3]),
    ([[1, [2]], [3]], [1, [2], 3]),
    ([["a", "b"], ["c"]], ["a", "b", "c"]),
    ([[[1], [2]], [[3]]], [1, 2, 3]),
    ([[]], []),
    ((("a",),), ["a"]),
])
def test_flatten(x, expected):
    assert ba._listify(1).flatten(x) == expected


def test_flatten_returns_the_level_reached():
    lst = ba._listify(1)
    for x in ([1, 2], ["ab", [1]], [], [[1], 2]):
        assert lst.flatten(x) is x
    with pytest.raises(TypeError):
        lst.flatten(5)

    class Raising:
        def __iter__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError):
        lst.flatten([Raising()])


def test_flatten_goes_through_the_method_of_the_instance():
    class Sub(ba._listify):
        def flatten(self, x):
            self.seen = getattr(self, "seen", []) + [x]
            return super().flatten(x)

    s = Sub(2, ub=[[1], [2]])
    assert s.listify("ub", None) == [1, 2]
    assert s.seen == [[[1], [2]], [1, 2]]


def test_no_leaks():
    d = {(i, j): i * j for i in range(3) for j in range(4)}

    def work():
        lst = ba._listify(3, 4, [(1, 2)], lb=d, ub=[[1], [2]])
        lst.listify("lb", 0.0), lst.listify("ub", 0), lst.listify("x", "s")

    assert_no_leak(work)


def test_keys_holding_containers_stay_visible_to_the_collector():
    import gc
    box = []
    lst = ba._listify([box, (1, box)], 2)
    assert all(gc.is_tracked(k) for k in lst.index)
    box.append(lst)  # a cycle through a key: the collector must find it
    assert not any(gc.is_tracked(k) for k in ba._listify(2, "ab", [(1, "c")]).index)
