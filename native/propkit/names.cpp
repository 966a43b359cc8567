// Attribute names of one kind of model object (_attrlist) and the model
// attributes readable during an optimization (_get_async_attr).
#include "propkit.hpp"

namespace propkit {

// _attrlist(cmodel, type): names of the attributes whose object-kind code
// equals `type`, in the library's order.
py::object py_attrlist(const zd::Args &a) {
    py::handle type = a[1];
    auto *m = static_cast<TVXmodel *>(raw_ptr(a[0]));
    py::object result = zd::steal(PyList_New(0));
    if (!m) // no model: nothing to list, and the library is not asked
        return result;
    int numattrs = TVXgetnumattributes(m);
    if (numattrs < 1)
        return result;
    py::object bytestostring = zd::global(ZD_STR("_bytestostring"));
    for (int i = 0; i < numattrs; ++i) {
        // A position whose name or kind the library does not deliver is skipped.
        const char *name = nullptr;
        TVXgetattrname(m, i, &name);
        if (!name)
            continue;
        py::object attrname = bytestostring(zd::steal(PyBytes_FromString(name)));
        int attrsize = 0;
        if (TVXgetattrinfo(m, name, nullptr, &attrsize, nullptr) != 0)
            continue;
        py::object size = py::int_(attrsize);
        if (zd::check(PyObject_RichCompareBool(size.ptr(), type.ptr(), Py_EQ)))
            zd::check(PyList_Append(result.ptr(), attrname.ptr()));
    }
    return result;
}

namespace {

bool in_async_set(const char *set_name, py::handle attrname) {
    py::object lower = zd::steal(PyObject_CallMethodNoArgs(attrname.ptr(), ZD_STR("lower").ptr()));
    py::object names = zd::global(py::str(set_name));
    return zd::check(PySequence_Contains(names.ptr(), lower.ptr())) == 1;
}

// One model attribute through the library's getter of its type; an error
// code (or no model) raises.
template <class T>
T read_async(py::handle model, const char *name, int (*get)(TVXmodel *, const char *, T *)) {
    TVXmodel *m = owner_model(model);
    T v{};
    int code = m ? get(m, name, &v) : kNoModel;
    if (code != 0)
        raise_tovrix_error(py::int_(code), model);
    return v;
}

} // namespace

// _get_async_attr(model, attrname): an int or double model attribute that
// may be read while an optimization runs; the value comes back unmapped.
py::object py_get_async_attr(const zd::Args &a) {
    py::handle model = a[0], attrname = a[1];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    if (in_async_set("ASYNC_INT_ATTRS", attrname))
        return py::int_(read_async<int>(model, name, TVXgetintattr));
    if (in_async_set("ASYNC_DBL_ATTRS", attrname))
        return py::float_(read_async<double>(model, name, TVXgetdblattr));
    raise_in_progress(attrname);
}

} // namespace propkit
