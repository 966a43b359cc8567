"""Fixtures of the Batch tests: an environment with batch requests in its
store, the stand-in library's test aids, and a check that no library batch
handle or JSON text outlives a test."""

import ctypes as C
import gc
import os

import pytest

import zudirivi as tvp
from zudirivi import TVX, _util

LIVE_BATCH, LIVE_TEXT = 2, 3


def _raw_ptr_function():
    api = C.pythonapi
    api.PyCapsule_GetName.restype = C.c_char_p
    api.PyCapsule_GetName.argtypes = [C.py_object]
    api.PyCapsule_GetPointer.restype = C.c_void_p
    api.PyCapsule_GetPointer.argtypes = [C.py_object, C.c_char_p]
    capsule = _util.__pyx_capi__["_ptr"]
    address = api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))
    return C.PYFUNCTYPE(C.c_void_p, C.py_object)(address)


class Library:
    """The stand-in library's batch test aids, on an environment object."""

    def __init__(self):
        self.lib = C.CDLL(os.path.join(os.path.dirname(tvp.__file__), "libtovrix.so"))
        self.lib.TVXtest_addbatchattr.argtypes = [C.c_void_p, C.c_char_p, C.c_int, C.c_int,
                                                  C.c_char_p]
        self.lib.TVXtest_failbatchcall.argtypes = [C.c_void_p, C.c_char_p, C.c_int]
        self.lib.TVXtest_numlive.argtypes = [C.c_int]
        self._ptr = _raw_ptr_function()

    def add_attr(self, env, name, flags, ivalue=0, svalue=b""):
        assert self.lib.TVXtest_addbatchattr(self._ptr(env._cenv), name.encode(), flags, ivalue,
                                             svalue) == 0

    def fail_next(self, env, call, code):
        """The next library call `call` on a batch of `env` fails with `code`."""
        assert self.lib.TVXtest_failbatchcall(self._ptr(env._cenv), call.encode(), code) == 0

    def live(self, kind):
        return self.lib.TVXtest_numlive(kind)


@pytest.fixture(scope="session")
def lib():
    return Library()


@pytest.fixture(autouse=True)
def nothing_left_behind(lib):
    """Every batch handle and JSON text the library handed out is freed."""
    gc.collect()
    before = lib.live(LIVE_BATCH), lib.live(LIVE_TEXT)
    yield
    gc.collect()
    assert (lib.live(LIVE_BATCH), lib.live(LIVE_TEXT)) == before


@pytest.fixture
def env():
    """An environment with batch "b1" (submitted), "done" (completed, with a
    JSON solution) and "failed"."""
    e = tvp.Env()
    e._addTestBatch("b1", TVX.BATCH_SUBMITTED)
    e._addTestBatch("done", TVX.BATCH_COMPLETED, '{"x": [1.5, 2]}')
    e._addTestBatch("failed", TVX.BATCH_FAILED)
    e._setTestBatchError("failed", 42, "went wrong")
    return e


@pytest.fixture
def batch(env):
    b = tvp.Batch("b1", env)
    yield b
    b.dispose()
