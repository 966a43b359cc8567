// Integer conversions of _propkit (NumPy's C API for its scalar types).
#pragma once

#include "propkit.hpp"
#include "zd_numpy.hpp"

#include <numpy/arrayscalars.h>

namespace propkit {

// A Python int (subclasses count) as a 32-bit int; OverflowError beyond.
int long_to_int32(PyObject *o);
// True, with the value, for a signed NumPy integer scalar (read in place).
bool numpy_int_scalar(PyObject *o, int &out);
// NumPy's API, when NumPy has been imported (never imports it).
bool numpy_loaded();

} // namespace propkit
