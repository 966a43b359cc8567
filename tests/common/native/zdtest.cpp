// Test-only module exercising the shared C++ layer: compiled functions,
// the class builder, the module frame's guards and the C-function tables.
#include "zd.hpp"
#include "zd_numpy.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// Returns its parsed arguments as a tuple, in declared order.
template <int N>
py::object echo(const zd::Args &a) {
    py::tuple t(N);
    for (int i = 0; i < N; ++i)
        t[i] = a[i];
    return t;
}

py::object forty_two(const zd::Args &) {
    return py::int_(42);
}

py::object assert_true(const zd::Args &a) {
    ZD_ASSERT(PyObject_IsTrue(a[0].ptr()) == 1);
    return py::none();
}

py::object numpy_sum(const zd::Args &a) {
    zd::ensure_numpy();
    py::object arr = zd::steal(PyArray_FROMANY(a[0].ptr(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY));
    auto *p = reinterpret_cast<PyArrayObject *>(arr.ptr());
    const double *d = static_cast<const double *>(PyArray_DATA(p));
    double s = 0;
    for (npy_intp i = 0; i < PyArray_DIM(p, 0); ++i)
        s += d[i];
    return py::float_(s);
}

py::object bind(const zd::Args &a) {
    void *p = zd::bind_capi(PyUnicode_AsUTF8(a[0].ptr()), PyUnicode_AsUTF8(a[1].ptr()),
                            PyUnicode_AsUTF8(a[2].ptr()));
    return zd::steal(PyLong_FromVoidPtr(p));
}

int published_function() {
    return 7;
}

py::object call_published(const zd::Args &a) {
    void *p = zd::bind_capi("_zdtest", "published", "int (void)");
    (void)a;
    return py::int_(reinterpret_cast<int (*)()>(p)());
}

py::object raise_error(const zd::Args &a) {
    zd::raisef(PyExc_ValueError, "bad value %R", a[0].ptr());
}

// fn(arg, arg): lets a test build a recursion made of compiled calls only.
py::object call_twice(const zd::Args &a) {
    return a[0](a[1], a[1]);
}

// fn(), then (text, key): defaults that fn may take from under the call.
py::object call_then_texts(const zd::Args &a) {
    a[0]();
    return py::make_tuple(a[1], a[2]);
}

py::object get_global(const zd::Args &a) {
    return zd::global(a[0]);
}

py::object kind_get(const zd::Args &a) {
    return zd::steal(PyObject_Repr(a[0].ptr()));
}

void exec_zdtest(py::handle module) {
    // A failing load step on request, to test the frame's failure handling.
    const char *fail = std::getenv("ZDTEST_FAIL_AT");
    zd::set_global("answer", py::int_(42));
    if (fail && std::strcmp(fail, "import") == 0) {
        zd::load_step();
        zd::import_from(zd::import("os"), ZD_STR("no_such_name"));
    }

    zd::def("f_none", "", forty_two);
    zd::def("f_one", "a", echo<1>, "Echo one.");
    zd::def("f_defaults", "a, b=1, c='x'", echo<3>);
    zd::def("f_varargs", "a, *rest, flag=False", echo<3>);
    zd::def("f_kwonly", "a, *, key", echo<2>);
    zd::def("f_varkw", "a, **kw", echo<2>);
    zd::def("f_literals", "a=None, b=True, c=-3, d=2.5, e=\"s, t\"", echo<5>);
    zd::def("assert_true", "flag", assert_true);
    zd::def("numpy_sum", "values", numpy_sum);
    zd::def("bind", "module, name, signature", bind);
    zd::def("call_published", "", call_published);
    zd::def("raise_error", "value", raise_error);
    zd::def("get_global", "name", get_global);
    zd::def("f_call", "fn, arg", call_twice);
    zd::def("f_call_then_texts", "fn, text='the default text', *, key='the keyword default'",
            call_then_texts);
    zd::publish_capi(module, "published", reinterpret_cast<void *>(published_function),
                     "int (void)");

    zd::ClassBuilder("Thing",
                     py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
                     "A thing.")
        .attr("kind", py::int_(100))
        .method("copy", "self", echo<1>, "ROUTINE:\n  copy()\n")
        .method("reshape", "self, *shape, order='C'", echo<3>)
        .staticmethod("fromlist", "varlist", echo<1>)
        .classmethod("zeros", "cls, shape", echo<2>)
        .property("shape", kind_get, "Shape of the thing.")
        .create();

    if (fail && std::strcmp(fail, "class") == 0) {
        zd::ClassBuilder("Bad", py::make_tuple(py::int_(1)), nullptr).create();
    }
    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace

ZD_MODULE(_zdtest, exec_zdtest)
