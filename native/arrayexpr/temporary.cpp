// Temporaries: the reference count, weak references and the native stack
// between here and the evaluation loop.
#include "temporary.hpp"

#include "zd_numpy.hpp"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

namespace arrayexpr {
namespace {

const void *object_base(const void *addr) {
    Dl_info info;
    return dladdr(addr, &info) ? info.dli_fbase : nullptr;
}

// The code bytes of the exported function at `fn`, from its symbol entry.
struct Span {
    uintptr_t lo = 0, hi = 0;
    bool holds(const void *p) const {
        auto a = reinterpret_cast<uintptr_t>(p);
        return lo <= a && a < hi;
    }
};

Span function_span(const void *fn) {
    Dl_info info;
    void *entry = nullptr;
    if (!dladdr1(fn, &info, &entry, RTLD_DL_SYMENT) || !entry)
        return {};
    const auto *sym = static_cast<const ElfW(Sym) *>(entry);
    if (!info.dli_saddr || sym->st_size == 0)
        return {};
    auto lo = reinterpret_cast<uintptr_t>(info.dli_saddr);
    return {lo, lo + sym->st_size};
}

// Whether this call is the interpreter's own `left + right`: going up the
// native stack, frames of this module, then frames of the interpreter's
// operator dispatch with exactly one inside PyNumber_Add, called by the
// evaluation loop itself. Only then is the one reference the value stack's:
// operator.add, bound methods, partial, map, starmap, reduce, sum, NumPy's
// object loops and other libraries all call from frames of their own, with
// references they borrow from containers.
bool called_by_binary_add() {
    static const void *own = object_base(reinterpret_cast<const void *>(&called_by_binary_add));
    static const void *python = object_base(reinterpret_cast<const void *>(&PyNumber_Add));
    static const Span add = function_span(reinterpret_cast<const void *>(&PyNumber_Add));
    static const void *eval = reinterpret_cast<const void *>(&_PyEval_EvalFrameDefault);
    if (!own || !python || add.lo == 0)
        return false;
    void *frames[48];
    const int n = backtrace(frames, 48);
    int i = 1;
    for (; i < n; ++i) { // this module's frames
        Dl_info info;
        if (!dladdr(frames[i], &info))
            return false;
        if (info.dli_fbase != own)
            break;
    }
    bool in_add = false; // the previous frame lies in PyNumber_Add
    int adds = 0;
    for (; i < n; ++i) { // the interpreter's dispatch, up to the loop
        Dl_info info;
        if (!dladdr(frames[i], &info) || info.dli_fbase != python)
            return false;
        if (info.dli_saddr == eval)
            return in_add && adds == 1;
        in_add = add.holds(frames[i]);
        adds += in_add;
    }
    return false;
}

// Whether someone else holds the instance dictionary of `o` (d = o.__dict__),
// through which its attributes stay reachable.
bool dict_shared(PyObject *o) {
    PyObject **dict = _PyObject_GetDictPtr(o);
    return dict && *dict && Py_REFCNT(*dict) != 1;
}

} // namespace

bool has_weak_references(PyObject *o) {
    const Py_ssize_t offset = Py_TYPE(o)->tp_weaklistoffset;
    return offset > 0 && *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
}

bool is_temporary(PyObject *o) {
#if PY_VERSION_HEX >= 0x030C0000
    // Newer evaluation loops may lend borrowed references on the value
    // stack; the check above is made for 3.10 and 3.11 only.
    (void)o;
    return false;
#else
    return Py_REFCNT(o) == 1 && !has_weak_references(o) && !dict_shared(o) &&
           called_by_binary_add();
#endif
}

bool sole_owned_array(PyObject *a) {
    zd::ensure_numpy();
    if (!a || !PyArray_CheckExact(a) || Py_REFCNT(a) != 2 || has_weak_references(a))
        return false;
    auto *arr = reinterpret_cast<PyArrayObject *>(a);
    return PyArray_BASE(arr) == nullptr && PyArray_CHKFLAGS(arr, NPY_ARRAY_OWNDATA) &&
           PyArray_ISWRITEABLE(arr);
}

} // namespace arrayexpr
