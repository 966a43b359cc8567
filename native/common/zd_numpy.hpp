// NumPy's C API for the extension modules: imported lazily, on first use,
// never at module load.
#pragma once

#include "zd.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zd_numpy_api
#ifndef ZD_NUMPY_DEFINE_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zd {

// Makes NumPy's C API usable; call before any NumPy C API function.
void ensure_numpy_slow();
inline void ensure_numpy() {
    if (!zd_numpy_api)
        ensure_numpy_slow();
}

// The array behind a handle known to hold an ndarray.
inline PyArrayObject *arr(py::handle h) {
    return reinterpret_cast<PyArrayObject *>(h.ptr());
}

// Closes a NumPy iterator on every exit path.
class NpyIterGuard {
public:
    explicit NpyIterGuard(NpyIter *it) : it_(it) {
        if (!it_)
            throw python_error();
    }
    ~NpyIterGuard() {
        if (it_)
            NpyIter_Deallocate(it_);
    }
    NpyIterGuard(const NpyIterGuard &) = delete;
    NpyIterGuard &operator=(const NpyIterGuard &) = delete;
    NpyIter *get() const { return it_; }
    NpyIter *operator->() const { return it_; }

private:
    NpyIter *it_;
};

} // namespace zd
