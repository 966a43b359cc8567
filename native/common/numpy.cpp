// Storage of NumPy's C API table for this extension module.
#define ZD_NUMPY_DEFINE_API
#include "zd_numpy.hpp"

namespace zd {

void ensure_numpy_slow() {
    if (_import_array() < 0)
        throw python_error();
}

} // namespace zd
