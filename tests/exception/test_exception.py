"""TovrixError and the lookup of the solver library's messages (_exception)."""

import copy
import ctypes
import os
import pickle

import pytest

import zudirivi as tvp
from zudirivi import _exception, _util
from zudirivi._batch import Batch
from zudirivi._core import Env, Model
from zudirivi._exception import TovrixError, _errormsg_from_object

from helpers import assert_no_leak


def _capsule_function(capsule, restype, *argtypes):
    ctypes.pythonapi.PyCapsule_GetName.restype = ctypes.c_char_p
    ctypes.pythonapi.PyCapsule_GetName.argtypes = [ctypes.py_object]
    ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    name = ctypes.pythonapi.PyCapsule_GetName(capsule)
    address = ctypes.pythonapi.PyCapsule_GetPointer(capsule, name)
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


_ptr = _capsule_function(_util.__pyx_capi__["_ptr"], ctypes.c_void_p, ctypes.py_object)
_env_msg = _capsule_function(_exception.__pyx_capi__["_get_env_errormsg_string"],
                             ctypes.py_object, ctypes.c_void_p)
_model_msg = _capsule_function(_exception.__pyx_capi__["_get_model_errormsg_string"],
                               ctypes.py_object, ctypes.c_void_p)
_lib = ctypes.CDLL(os.path.join(os.path.dirname(tvp.__file__), "libtovrix.so"))
_lib.TVXgetattrinfo.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p,
                                ctypes.c_void_p, ctypes.c_void_p]
_lib.TVXgetbatch.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def fail_model_call(model, raw_name):
    """A failed library call on `model`; its message quotes `raw_name`."""
    kind = ctypes.c_int()
    assert _lib.TVXgetattrinfo(_ptr(model._cmodel), raw_name, None, ctypes.byref(kind), None)


def fail_env_call(env, batch_id):
    handle = ctypes.c_void_p()
    assert _lib.TVXgetbatch(_ptr(env._cenv), batch_id, ctypes.byref(handle))


@pytest.fixture
def model():
    return Model()


@pytest.fixture
def env():
    return Env()


class WithModel:
    def __init__(self, cmodel):
        self._cmodel = cmodel


class RaisingModel:
    @property
    def _cmodel(self):
        raise RuntimeError("boom")


class DeadEnv(Env):
    _cenv = property(lambda self: None)


def closed_batch():
    b = Batch.__new__(Batch)
    b.dispose()  # no library handle; _cenv is None now
    return b


# --- the class -----------------------------------------------------------------

def test_class_layout():
    assert TovrixError.__bases__ == (Exception,)
    assert TovrixError.__module__ == "zudirivi._exception"
    assert TovrixError.__qualname__ == "TovrixError"
    assert TovrixError.__doc__ == "Tovrix exception class"
    assert list(TovrixError.__dict__)[:7] == [
        "__module__", "__doc__", "_get_message", "_set_message", "message", "__init__",
        "__str__"]
    prop = TovrixError.__dict__["message"]
    assert prop.fget is TovrixError._get_message and prop.fset is TovrixError._set_message
    assert prop.fdel is None
    assert _exception.__test__ == {}


def test_text_argument():
    e = TovrixError(5, "bad thing")
    assert e.args == (5, "bad thing")
    assert (e.errno, e.message, e._message, str(e)) == (5, "bad thing", "bad thing", "bad thing")
    e2 = TovrixError(errno=-1, argument="x")
    assert e2.args == (-1, "x")


def test_message_assignment_keeps_args():
    e = TovrixError(1, "first")
    e.message = "second"
    assert (str(e), e._message, e.args[1]) == ("second", "second", "first")
    assert e._get_message() == "second"
    assert e._set_message("third") is None and str(e) == "third"
    with pytest.raises(AttributeError):
        del e.message


def test_args_never_hold_the_object(model):
    fail_model_call(model, b"Nope")
    e = TovrixError(10004, model)
    assert e.args == (10004, "Unknown attribute 'Nope'")
    assert e.message == "Unknown attribute 'Nope'"


def test_copy_and_pickle_keep_errno_and_message(model):
    fail_model_call(model, b"Nope")
    e = TovrixError(7, model)
    for clone in (copy.copy(e), pickle.loads(pickle.dumps(e))):
        assert type(clone) is TovrixError
        assert (clone.errno, clone.message, clone.args) == (7, e.message, e.args)


@pytest.mark.parametrize("call, text", [
    (lambda: TovrixError(), "__init__() takes exactly 3 positional arguments (1 given)"),
    (lambda: TovrixError(1), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: TovrixError(1, "a", 2), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda: TovrixError(1, "a", code=2), "__init__() got an unexpected keyword argument 'code'"),
    (lambda: _errormsg_from_object(),
     "_errormsg_from_object() takes exactly 1 positional argument (0 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_raised_and_caught_as_exception():
    with pytest.raises(Exception) as info:
        raise TovrixError(3, "x")
    assert info.value.errno == 3


# --- message lookup -------------------------------------------------------------

def test_model_message_resolved_once(model):
    fail_model_call(model, b"First")
    e = TovrixError(1, model)
    fail_model_call(model, b"Second")
    assert e.message == "Unknown attribute 'First'"
    assert TovrixError(1, WithModel(model._cmodel)).message == "Unknown attribute 'Second'"


def test_env_and_batch_messages(env):
    fail_env_call(env, b"no-such-batch")
    text = _env_msg(_ptr(env._cenv))
    assert text
    assert TovrixError(1, env).message == text
    b = Batch.__new__(Batch)
    b._cenv = env._cenv
    assert TovrixError(1, b).message == text


@pytest.mark.parametrize("make, text", [
    (lambda: DeadEnv(), "Failed to create environment"),
    (lambda: closed_batch(), "Failed to create batch request"),
    (lambda: object(), ""),
    (lambda: 42, ""),
    (lambda: RaisingModel(), ""),
    (lambda: WithModel(None), ""),
])
def test_message_fallbacks(make, text):
    e = TovrixError(2, make())
    assert e.message == text and str(e) == text and e.args == (2, text)


def test_env_rule_comes_before_cmodel(model):
    fail_model_call(model, b"Nope")

    class EnvWithModel(Env):
        _cmodel = model._cmodel

    assert _errormsg_from_object(EnvWithModel()) == ""  # the new environment's message
    dead = type("DeadEnvWithModel", (DeadEnv,), {"_cmodel": model._cmodel})()
    assert _errormsg_from_object(dead) == "Failed to create environment"
    b = closed_batch()
    b._cmodel = model._cmodel
    assert _errormsg_from_object(b) == "Failed to create batch request"


def test_str_subclass_returned_as_is():
    class Text(str):
        pass

    t = Text("hello")
    assert _errormsg_from_object(t) is t
    assert _errormsg_from_object(argument="plain") == "plain"


def test_ptr_errors_propagate():
    with pytest.raises(TypeError):
        TovrixError(1, WithModel("not a pointer"))


def test_invalid_utf8_decodes_with_replacement(model):
    fail_model_call(model, b"bad\xffname")
    assert TovrixError(1, model).message == "Unknown attribute 'bad\ufffdname'"


# --- C-function table -------------------------------------------------------------

def test_capi_table():
    assert list(_exception.__pyx_capi__) == ["_get_env_errormsg_string",
                                             "_get_model_errormsg_string"]
    for capsule in _exception.__pyx_capi__.values():
        assert "PyObject *(void *)" in repr(capsule)


def test_native_message_functions_take_null():
    # A NULL handle never reaches the library.
    assert _env_msg(None) == ""
    assert _model_msg(None) == ""


def test_no_leak(model):
    fail_model_call(model, b"Nope")
    assert_no_leak(lambda: TovrixError(1, model))
    assert_no_leak(lambda: TovrixError(1, "text"))
