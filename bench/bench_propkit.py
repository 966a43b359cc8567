"""_propkit: list reads and writes of a double attribute over 10^6 variables.

Figures, each a ratio to building a Python list of 10^6 floats from a NumPy
array (arr.tolist()) in the same run:
- gettypedattrlist 1e6: _gettypedattrlist of "LB" with a list of Python ints.
- settypedattrlist 1e6: _settypedattrlist of "LB" from a list of floats.
- gettypedattrlist 1e6 int32 scalars / settypedattrlist 1e6 float64 scalars:
  the same with the lists a matrix handle passes (list(array.flat): NumPy
  int32 index scalars, NumPy float64 values).
"""

import ctypes as C
import os
import sys
import time

import numpy as np

import zudirivi
from zudirivi import _propkit, _util
from zudirivi._core import Model

N = 10**6


def best(fn, repeat=7):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


class Owner:
    _typename = "MVar"
    _typeenum = 1

    def __init__(self, cmodel):
        self._cmodel = cmodel


def raw_pointer(wrapper):
    api = C.pythonapi
    api.PyCapsule_GetName.restype = C.c_char_p
    api.PyCapsule_GetName.argtypes = [C.py_object]
    api.PyCapsule_GetPointer.restype = C.c_void_p
    api.PyCapsule_GetPointer.argtypes = [C.py_object, C.c_char_p]
    capsule = _util.__pyx_capi__["_ptr"]
    address = api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))
    return C.PYFUNCTYPE(C.c_void_p, C.py_object)(address)(wrapper)


def main():
    lib = C.CDLL(os.path.join(os.path.dirname(zudirivi.__file__), "libtovrix.so"))
    lib.TVXaddvars.argtypes = [C.c_void_p, C.c_int] + [C.c_void_p] * 5
    lib.TVXupdatemodel.argtypes = [C.c_void_p]
    model = Model()
    handle = raw_pointer(model._cmodel)
    if lib.TVXaddvars(handle, N, None, None, None, None, None) or lib.TVXupdatemodel(handle):
        print("could not add the variables", file=sys.stderr)
        return 1
    owner = Owner(model._cmodel)

    arr = np.random.default_rng(0).random(N)
    values = arr.tolist()
    indices = list(range(N))
    np_indices = list(np.arange(N, dtype=np.int32).flat)
    np_values = list(arr.flat)

    get, put = _propkit._gettypedattrlist, _propkit._settypedattrlist
    put(owner, "LB", 2, indices, values)
    assert get(owner, "LB", 2, indices) == values

    base = best(arr.tolist)
    figures = [
        ("gettypedattrlist 1e6", lambda: get(owner, "LB", 2, indices)),
        ("settypedattrlist 1e6", lambda: put(owner, "LB", 2, indices, values)),
        ("gettypedattrlist 1e6 int32 scalars", lambda: get(owner, "LB", 2, np_indices)),
        ("settypedattrlist 1e6 float64 scalars",
         lambda: put(owner, "LB", 2, np_indices, np_values)),
    ]
    print(f"tolist 1e6 (baseline, ms): {base * 1e3:.2f}")
    for name, fn in figures:
        print(f"{name}: {best(fn) / base:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
