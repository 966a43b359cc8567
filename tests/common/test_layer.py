"""The shared C++ layer, through the test-only module _zdtest."""

import subprocess
import sys
import textwrap

import pytest

import _zdtest as t
from helpers import assert_no_leak, run_optimized, subprocess_env


def run_child(code, env_extra=None):
    env = subprocess_env()
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=120,
    )


# --- argument parsing ---------------------------------------------------------

@pytest.mark.parametrize("call, expected", [
    (lambda: t.f_one(1), (1,)),
    (lambda: t.f_one(a=1), (1,)),
    (lambda: t.f_defaults(1), (1, 1, "x")),
    (lambda: t.f_defaults(1, 2, 3), (1, 2, 3)),
    (lambda: t.f_defaults(1, c=5), (1, 1, 5)),
    (lambda: t.f_varargs(1), (1, (), False)),
    (lambda: t.f_varargs(1, 2, 3, flag=True), (1, (2, 3), True)),
    (lambda: t.f_kwonly(1, key=2), (1, 2)),
    (lambda: t.f_varkw(1, x=2), (1, {"x": 2})),
    (lambda: t.f_literals(), (None, True, -3, 2.5, "s, t")),
])
def test_arguments_parse(call, expected):
    assert call() == expected


@pytest.mark.parametrize("call, message", [
    (lambda: t.f_none(1), "f_none() takes exactly 0 positional arguments (1 given)"),
    (lambda: t.f_one(), "f_one() takes exactly 1 positional argument (0 given)"),
    (lambda: t.f_one(1, 2), "f_one() takes exactly 1 positional argument (2 given)"),
    (lambda: t.f_defaults(), "f_defaults() takes at least 1 positional argument (0 given)"),
    (lambda: t.f_defaults(1, 2, 3, 4),
     "f_defaults() takes at most 3 positional arguments (4 given)"),
    (lambda: t.f_varargs(), "f_varargs() takes at least 1 positional argument (0 given)"),
    (lambda: t.f_one(1, b=2), "f_one() got an unexpected keyword argument 'b'"),
    (lambda: t.f_one(1, a=2), "f_one() got multiple values for keyword argument 'a'"),
    (lambda: t.f_kwonly(1), "f_kwonly() needs keyword-only argument key"),
    (lambda: t.Thing().copy(1), "copy() takes exactly 1 positional argument (2 given)"),
    (lambda: t.Thing.zeros(), "zeros() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors_use_interpreter_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        t.f_varkw(1, **{1: 2})


def test_function_attributes():
    f = t.f_defaults
    assert f.__name__ == "f_defaults" and f.__qualname__ == "f_defaults"
    assert f.__module__ == "_zdtest"
    assert f.__defaults__ == (1, "x") and f.__kwdefaults__ is None
    assert t.f_one.__doc__ == "Echo one." and t.f_none.__doc__ is None
    assert t.f_varargs.__kwdefaults__ == {"flag": False}
    # defaults set at run time are the ones used
    f.__defaults__ = (9, 8)
    try:
        assert f(0) == (0, 9, 8)
    finally:
        f.__defaults__ = (1, "x")
    f.custom = 1
    assert f.__dict__ == {"custom": 1}


# --- classes ------------------------------------------------------------------

def test_class_is_ordinary():
    T = t.Thing
    assert type(T) is type and T.__bases__ == (object,)
    assert T.__module__ == "_zdtest" and T.__qualname__ == "Thing"
    assert T.__doc__ == "A thing."
    # the namespace is filled as a class statement fills it: the docstring
    # first, then the members in definition order
    names = [k for k in vars(T) if not k.startswith("__") or k in ("__doc__",)]
    assert names == ["__doc__", "kind", "copy", "reshape", "fromlist", "zeros", "shape"]
    assert list(k for k in vars(T) if k in ("kind", "copy", "reshape", "fromlist", "zeros",
                                            "shape")) == \
        ["kind", "copy", "reshape", "fromlist", "zeros", "shape"]
    assert isinstance(vars(T)["fromlist"], staticmethod)
    assert isinstance(vars(T)["zeros"], classmethod)
    assert isinstance(vars(T)["shape"], property)
    assert T.copy.__qualname__ == "Thing.copy"
    assert T.reshape.__kwdefaults__ == {"order": "C"} and T.reshape.__defaults__ is None


def test_class_members_bind_and_subclass():
    class Sub(t.Thing):
        pass

    s = Sub()
    assert s.copy() == (s,)
    assert s.reshape(2, 3) == (s, (2, 3), "C")
    assert s.reshape(order="F") == (s, (), "F")
    assert Sub.fromlist([1]) == ([1],) and s.fromlist(5) == (5,)
    assert Sub.zeros(3) == (Sub, 3)
    assert s.shape == repr(s)
    with pytest.raises(AttributeError):
        s.shape = 1
    assert type(vars(t.Thing)["shape"]).__doc__ and vars(t.Thing)["shape"].__doc__ == \
        "Shape of the thing."
    s.anything = 5
    assert s.anything == 5
    t.Thing.kind = 0
    assert s.kind == 0
    t.Thing.kind = 100


def test_unbound_access_returns_function():
    f = t.Thing.__dict__["copy"]
    assert t.Thing.copy is f
    assert f.__get__(None, t.Thing) is f


def test_errors_propagate_and_globals():
    with pytest.raises(ValueError, match="bad value 3"):
        t.raise_error(3)
    assert t.get_global("answer") == 42
    with pytest.raises(NameError, match="name 'nope' is not defined"):
        t.get_global("nope")
    assert t.__test__ == {} and t.__doc__ is None


# --- module frame -------------------------------------------------------------

def test_reimport_gives_same_module():
    out = run_child("""
        import sys, importlib
        import _zdtest as a
        del sys.modules['_zdtest']
        import _zdtest as b
        print(a is b)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True"


@pytest.mark.parametrize("where", ["import", "class"])
def test_failed_load_has_traceback_entry_and_can_retry(where):
    out = run_child("""
        import os, sys, traceback
        try:
            import _zdtest
        except Exception as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print(type(e).__name__, 'init _zdtest' in names,
                  any(f.filename.endswith('zdtest.cpp') for f in traceback.extract_tb(e.__traceback__)))
        del os.environ['ZDTEST_FAIL_AT']
        import _zdtest
        print(_zdtest.f_none())
    """, {"ZDTEST_FAIL_AT": where})
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.split("\n")[:2]
    assert first == ("ImportError True True" if where == "import" else "TypeError True True")
    assert second == "42"


def test_interpreter_change_is_refused():
    out = run_child("""
        import _zdtest, _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _zdtest")
        except Exception as e:
            print(e)
    """)
    if "No module named '_xxsubinterpreters'" in out.stderr:
        pytest.skip("no subinterpreter support in this interpreter")
    assert out.returncode == 0, out.stderr
    assert "Interpreter change detected - this module can only be loaded into one " \
           "interpreter per process." in out.stdout


# --- C-function tables --------------------------------------------------------

def test_capi_publish_and_bind():
    assert t.call_published() == 7
    assert t.bind("_zdtest", "published", "int (void)") != 0


@pytest.mark.parametrize("name, sig, exc, message", [
    ("missing", "int (void)", ImportError,
     "_zdtest does not export expected C function missing"),
    ("published", "void *(PyObject *)", TypeError,
     "C function _zdtest.published has wrong signature "
     "(expected void *(PyObject *), got int (void))"),
])
def test_capi_bind_errors(name, sig, exc, message):
    with pytest.raises(exc) as info:
        t.bind("_zdtest", name, sig)
    assert str(info.value) == message


def test_capi_missing_table():
    with pytest.raises(AttributeError):
        t.bind("os", "anything", "int (void)")


# --- assertions, NumPy, references ----------------------------------------------

def test_assertions_follow_optimize_flag():
    with pytest.raises(AssertionError) as info:
        t.assert_true(0)
    assert info.value.args == ()
    run_optimized("""
        import _zdtest
        _zdtest.assert_true(0)
        print("skipped")
    """, expected="skipped")


def test_numpy_imported_lazily():
    out = run_child("""
        import sys, _zdtest
        print('numpy' in sys.modules)
        print(_zdtest.numpy_sum([1.0, 2.5]))
        print('numpy' in sys.modules)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "3.5", "True"]


def test_calls_do_not_leak():
    thing = t.Thing()

    def work():
        t.f_varargs(1, 2, 3, flag=True)
        t.f_varkw(1, x=2)
        thing.reshape(2, order="F")
        try:
            t.f_one(1, b=2)
        except TypeError:
            pass
        try:
            t.raise_error(1)
        except ValueError:
            pass

    assert_no_leak(work)


def test_defaults_replaced_during_a_call_stay_bound_to_it():
    # The call keeps the defaults it started with, as a Python function does,
    # though the function no longer holds them.
    out = run_child("""
        import _zdtest
        f = _zdtest.f_call_then_texts

        def replace():
            f.__defaults__ = ("other",)
            f.__kwdefaults__ = {"key": "other"}
            junk = ["%019d" % i for i in range(10000)]  # takes up the freed memory

        print(f(replace), f(lambda: None))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "('the default text', 'the keyword default') ('other', 'other')"


def test_runaway_recursion_raises_recursion_error():
    # partial and our functions are both native: no Python frame counts depth
    out = run_child("""
        import functools, _zdtest
        g = functools.partial(_zdtest.f_call)
        try:
            _zdtest.f_call(g, g)
        except RecursionError as e:
            print("RecursionError")
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "RecursionError"
