import ctypes
import os

import pytest

import zudirivi as tvp
from zudirivi._core import Model
from zudirivi import _util


def _capsule_function(capsule, restype, *argtypes):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(capsule, get_name(capsule))
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


class Lib:
    """Direct calls into the solver library, to see what it stored."""

    def __init__(self):
        path = os.path.join(os.path.dirname(tvp.__file__), "libtovrix.so")
        self.lib = ctypes.CDLL(path)
        self._ptr = _capsule_function(_util.__pyx_capi__["_ptr"], ctypes.c_void_p,
                                      ctypes.py_object)
        self.lib.TVXgetdblattrelement.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                                  ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
        self.lib.TVXgetdblattr.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                           ctypes.POINTER(ctypes.c_double)]
        self.lib.TVXsetoptimizing.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib.TVXgetattrinfo.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p,
                                            ctypes.c_void_p, ctypes.c_void_p]

    def ptr(self, wrapper):
        return self._ptr(wrapper)

    def dbl(self, model, name, index):
        """The stored double of element `index`, unmapped."""
        value = ctypes.c_double()
        code = self.lib.TVXgetdblattrelement(self.ptr(model._cmodel), name.encode(), index,
                                             ctypes.byref(value))
        assert code == 0
        return value.value

    def set_optimizing(self, model, flag):
        assert self.lib.TVXsetoptimizing(self.ptr(model._cmodel), int(flag)) == 0

    def fail_with_name(self, model, raw_name):
        """A failed information query whose message quotes `raw_name` (bytes)."""
        kind = ctypes.c_int()
        code = self.lib.TVXgetattrinfo(self.ptr(model._cmodel), raw_name, None,
                                       ctypes.byref(kind), None)
        assert code != 0


@pytest.fixture(scope="session")
def lib():
    return Lib()


class Owner:
    """A matrix handle as _propkit sees it: `_cmodel`, `_typename`, `_typeenum`."""

    def __init__(self, model, typename="MVar", typeenum=1):
        self._cmodel = model._cmodel
        self._typename = typename
        self._typeenum = typeenum


@pytest.fixture
def model():
    """A model with three updated variables x0, x1, x2 (LB 0, 1, 2)."""
    m = Model()
    for i in range(3):
        m.addVar(lb=float(i), name=f"x{i}")
    m.update()
    return m


@pytest.fixture
def xs(model):
    return model.getVars()


@pytest.fixture
def owner(model):
    return Owner(model)


@pytest.fixture
def make_owner():
    return Owner
