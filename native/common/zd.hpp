// Shared C++ layer of the zudirivi extension modules.
//
// Every module links its own copy of this layer (a static library, hidden
// symbols), so the per-module state below (the module object, its globals,
// the NumPy API table) is per extension module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// GCC 12 reports a false -Warray-bounds in the std::string concatenation of
// pybind11's error text wherever it inlines it (seen at -O3 with the
// sanitizers); the warning is silenced for the code of these headers only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
#include <pybind11/pybind11.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <array>
#include <source_location>
#include <string>
#include <type_traits>
#include <vector>

namespace py = pybind11;

namespace zd {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Thrown when the Python error indicator is already set. Cheaper than
// py::error_already_set (nothing is fetched); entry points catch both.
struct python_error {};

[[noreturn]] inline void throw_error() {
    throw python_error();
}

[[noreturn]] inline void raise(PyObject *exc_type, const char *msg) {
    PyErr_SetString(exc_type, msg);
    throw python_error();
}

template <class... A>
[[noreturn]] inline void raisef(PyObject *exc_type, const char *fmt, A... args) {
    PyErr_Format(exc_type, fmt, args...);
    throw python_error();
}

// Raises `exc_type(value)` with an arbitrary object as the argument.
[[noreturn]] inline void raise_obj(PyObject *exc_type, py::handle value) {
    PyErr_SetObject(exc_type, value.ptr());
    throw python_error();
}

// Raises an exception instance that was already constructed (its own class).
[[noreturn]] inline void raise_instance(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw python_error();
}

// Takes ownership of a new reference returned by a C API call; throws when
// the call failed.
inline py::object steal(PyObject *p) {
    if (!p)
        throw python_error();
    return py::reinterpret_steal<py::object>(p);
}
inline py::object borrow(PyObject *p) {
    return py::reinterpret_borrow<py::object>(p);
}
inline int check(int r) {
    if (r < 0)
        throw python_error();
    return r;
}
inline PyObject *check(PyObject *p) {
    if (!p)
        throw python_error();
    return p;
}

// `obj.<name> = value`.
inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

// Truth of an object, and `a == b`, as the interpreter tests them.
inline bool truthy(py::handle h) {
    return check(PyObject_IsTrue(h.ptr())) == 1;
}
inline bool equals(py::handle a, py::handle b) {
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}
// isinstance(o, cls).
inline bool isinstance(py::handle o, py::handle cls) {
    return check(PyObject_IsInstance(o.ptr(), cls.ptr())) == 1;
}

// Unpacks an iterable into exactly n values (n <= 8) as `a, b = obj` does,
// reading at most n + 1 items. Too few values raise ValueError "need more than
// %zd value%.1s to unpack" (`short_text` Legacy) or "not enough values to
// unpack (expected %zd, got %zd)" (Current); too many "too many values to
// unpack (expected %zd)".
enum class UnpackText { Legacy, Current };
py::tuple unpack(py::handle obj, Py_ssize_t n, UnpackText short_text = UnpackText::Legacy);

// Translates the exception being handled into the Python error indicator.
// Use only inside a catch block.
void set_error_from_current_exception() noexcept;

#define ZD_TRY try {
#define ZD_CATCH(failvalue)                                                                        \
    }                                                                                              \
    catch (...) {                                                                                  \
        ::zd::set_error_from_current_exception();                                                  \
        return failvalue;                                                                          \
    }

// Internal invariants: AssertionError without a message, skipped when the
// interpreter runs optimised (-O).
[[noreturn]] void raise_assertion();
#define ZD_ASSERT(cond)                                                                            \
    do {                                                                                           \
        if (!::zd::optimized() && !(cond))                                                         \
            ::zd::raise_assertion();                                                               \
    } while (0)
bool optimized() noexcept;

// ---------------------------------------------------------------------------
// Names and imports
// ---------------------------------------------------------------------------

// An interned string made once per call site.
#define ZD_STR(s)                                                                                  \
    (::py::handle([]() -> PyObject * {                                                             \
        static PyObject *zd_interned_ = PyUnicode_InternFromString(s);                             \
        return zd_interned_;                                                                       \
    }()))

// `import name` (absolute): the module in sys.modules when it is loaded there,
// else through the import machinery.
py::object import(py::handle name);
py::object import(const char *name);
#define ZD_IMPORT(name) ::zd::import(ZD_STR(name))
// `from module import name`, with the interpreter's ImportError when missing.
py::object import_from(py::handle module, py::handle name);

// Reads the type `name` of the core module `core` (named `core_name` in
// messages) and checks that its instances have at least the record size
// `expected`: TypeError for a non-type, ValueError when smaller, a
// RuntimeWarning when larger. Returns a new reference.
py::object bind_core_type(py::handle core, const char *core_name, const char *name,
                          Py_ssize_t expected);
// Imports zudirivi._core and binds its LinExpr and QuadExpr types, in this
// order, with the record sizes of core_records.hpp; the new references
// replace those held in *linexpr and *quadexpr, which the module keeps.
void bind_core_record_types(PyTypeObject **linexpr, PyTypeObject **quadexpr);

// `obj.name(*args)` through the method-call protocol: the name is looked up
// as attribute access does it (instance dict, subclass overrides and replaced
// class attributes win, __getattr__ included), without a bound method or an
// argument tuple. Arguments are handles or anything pybind11 converts.
template <class T>
py::object call_arg(T &&v) {
    if constexpr (std::is_convertible_v<T, py::handle>)
        return py::reinterpret_borrow<py::object>(py::handle(v));
    else if constexpr (std::is_constructible_v<py::object, T>)
        return py::object(std::forward<T>(v));
    else
        return py::cast(std::forward<T>(v));
}
template <class... A>
py::object call_method(py::handle obj, py::handle name, A &&...args) {
    constexpr size_t n = sizeof...(A);
    std::array<py::object, n> held{call_arg(std::forward<A>(args))...};
    // One spare slot before the arguments lets a bound call reuse the array.
    PyObject *buf[n + 2];
    buf[0] = nullptr;
    buf[1] = obj.ptr();
    for (size_t i = 0; i < n; ++i)
        buf[2 + i] = held[i].ptr();
    return steal(PyObject_VectorcallMethod(name.ptr(), buf + 1,
                                           (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline const char *type_name(py::handle h) {
    return Py_TYPE(h.ptr())->tp_name;
}

// ---------------------------------------------------------------------------
// Compiled functions
// ---------------------------------------------------------------------------

// The parsed arguments of a call, in declared parameter order: positional
// parameters, then the *args tuple (if declared), then keyword-only
// parameters, then the **kwargs dict (if declared). Borrowed references.
// Debug and sanitizer builds check every slot read against the count.
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
#define ZD_CHECK_ARGS 1
#endif
[[noreturn]] void args_overrun(size_t i, size_t n) noexcept;
struct Args {
    PyObject *const *v;
    size_t n;
    py::handle operator[](size_t i) const {
#ifdef ZD_CHECK_ARGS
        if (i >= n)
            args_overrun(i, n);
#endif
        return v[i];
    }
    size_t size() const {
        return n;
    }
};

using Impl = py::object (*)(const Args &);

// A function object of our own: carries __name__, __qualname__, __module__,
// __doc__, __defaults__, __kwdefaults__ and an instance dict, binds like a
// Python function, and parses its arguments from a declared signature
// with the interpreter's wording of argument errors.
//
// The signature is written as in Python, e.g. "self, *shape, order='C'".
// Defaults are literals: None, True, False, ints, floats, quoted strings.
py::object make_function(const char *name, const char *qualname, py::handle module_name,
                         const char *signature, Impl impl, const char *doc);
// Same, with defaults given as objects: `defaults` for the trailing
// positional parameters, `kwdefaults` for keyword-only ones (None allowed).
py::object make_function(const char *name, const char *qualname, py::handle module_name,
                         const char *signature, Impl impl, const char *doc, py::object defaults,
                         py::object kwdefaults);

// The type of compiled functions of this module.
PyTypeObject *function_type();

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// Makes an ordinary class as a class statement does: the metaclass of the
// bases is called with a namespace filled in definition order.
class ClassBuilder {
public:
    ClassBuilder(const char *name, py::tuple bases, const char *doc,
                 std::source_location loc = std::source_location::current());

    ClassBuilder &attr(const char *name, py::object value);
    ClassBuilder &method(const char *name, const char *sig, Impl impl, const char *doc = nullptr);
    ClassBuilder &staticmethod(const char *name, const char *sig, Impl impl,
                               const char *doc = nullptr);
    ClassBuilder &classmethod(const char *name, const char *sig, Impl impl,
                              const char *doc = nullptr);
    // Read-only property; the getter takes `self` and its doc is the property's.
    ClassBuilder &property(const char *name, Impl getter, const char *doc = nullptr);

    // Makes the class and binds it as a module global of its name.
    py::object create(std::source_location loc = std::source_location::current());

    const py::dict &ns() const { return ns_; }

private:
    py::object fn(const char *name, const char *sig, Impl impl, const char *doc);
    std::string name_;
    py::tuple bases_;
    py::object meta_;
    py::dict ns_;
};

// Defines a module function and binds it as a module global.
py::object def(const char *name, const char *sig, Impl impl, const char *doc = nullptr,
               std::source_location loc = std::source_location::current());

// ---------------------------------------------------------------------------
// Module frame
// ---------------------------------------------------------------------------

// The module object while it loads and after; its dict holds the globals.
py::handle module();
py::handle module_name(); // full name, e.g. "zudirivi._arrayexpr"
// A module global looked up when called (NameError when missing).
py::object global(py::handle name);
// Binds a module global.
void set_global(const char *name, py::handle value,
                std::source_location loc = std::source_location::current());
// Records the source line of the load step about to run, for the traceback
// entry of a failed load.
void load_step(std::source_location loc = std::source_location::current());

using ExecFn = void (*)(py::handle module);

// Builds the module definition for multi-phase initialisation: the create
// step enforces one interpreter per process and hands back the module made
// before, the execute step runs `exec` once.
PyObject *module_init(const char *short_name, ExecFn exec);

#define ZD_MODULE(shortname, execfn)                                                               \
    PyMODINIT_FUNC PyInit_##shortname(void) {                                                      \
        return ::zd::module_init(#shortname, execfn);                                              \
    }

// ---------------------------------------------------------------------------
// C-function tables (module attribute __pyx_capi__: name -> capsule whose
// name is the signature text)
// ---------------------------------------------------------------------------

void publish_capi(py::handle module, const char *name, void *fn, const char *signature);
void *bind_capi(const char *module_name, const char *name, const char *signature);

} // namespace zd
