// Element indices of variable- and constraint-like arguments, and per-column
// data laid out over variables.
#include "buildaid.hpp"

namespace buildaid {
namespace {

py::object call_method(py::handle obj, py::handle name) {
    return zd::steal(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

// TypeError: format(source) followed by `tail`.
[[noreturn]] void raise_not_a(py::handle source, const char *tail) {
    py::object text = zd::steal(PyObject_Format(source.ptr(), nullptr));
    py::object msg = zd::steal(PyUnicode_FromFormat("%U%s", text.ptr(), tail));
    zd::raise_obj(PyExc_TypeError, msg);
}

[[noreturn]] void raise_not_in_model(const char *text) {
    py::object code = zd::global(ZD_STR("TVX")).attr(ZD_STR("ERROR_NOT_IN_MODEL"));
    py::object exc = zd::global(ZD_STR("TovrixError"))(code, py::str(text));
    if (!PyExceptionInstance_Check(exc.ptr()))
        zd::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(PyExceptionInstance_Class(exc.ptr()), exc.ptr());
    zd::throw_error();
}

bool negative(py::handle cindex) {
    py::object zero = py::int_(0);
    return zd::check(PyObject_RichCompareBool(cindex.ptr(), zero.ptr(), Py_LT)) == 1;
}

bool owned(py::handle model, py::handle element) {
    if (model.is_none())
        return true;
    py::object r =
        zd::steal(PyObject_CallMethodOneArg(model.ptr(), ZD_STR("_owns").ptr(), element.ptr()));
    return truthy(r);
}

} // namespace

py::object py_extract_varlike_cindex(const zd::Args &a) {
    py::handle source = a[0], model = a[1];
    py::object element;
    if (isinstance_global(source, ZD_STR("Var")))
        element = zd::borrow(source.ptr());
    else if (isinstance_global(source, ZD_STR("MVar")))
        element = call_method(source, ZD_STR("item"));
    else
        raise_not_a(source, " is not a variable");
    py::object cindex = call_method(element, ZD_STR("__cindex__"));
    if (!owned(model, element) || negative(cindex))
        raise_not_in_model("Variable not in model");
    return cindex;
}

py::object py_extract_constrlike_cindex(const zd::Args &a) {
    py::handle source = a[0], model = a[1];
    py::object element;
    if (isinstance_global(source, ZD_STR("Constr")) || isinstance_global(source, ZD_STR("QConstr")))
        element = zd::borrow(source.ptr());
    else if (isinstance_global(source, ZD_STR("MConstr")) ||
             isinstance_global(source, ZD_STR("MQConstr")))
        element = call_method(source, ZD_STR("item"));
    else
        raise_not_a(source, " is not a constraint");
    py::object cindex = call_method(element, ZD_STR("__cindex__"));
    if (negative(cindex) || !owned(model, element))
        raise_not_in_model("Constraint not in model");
    return cindex;
}

namespace {

py::object coldata_item(py::handle coldata, py::handle var) {
    py::object idx = call_method(var, ZD_STR("__cindex__"));
    return zd::steal(PyObject_GetItem(coldata.ptr(), idx.ptr()));
}

py::object indexed_data(py::handle mvar, py::handle coldata, py::handle dtype) {
    py::object f = zd::steal(PyObject_GetAttr(mvar.ptr(), ZD_STR("_indexed_data").ptr()));
    return f(coldata, dtype);
}

} // namespace

py::object py_map_coldata_to_vars(const zd::Args &a) {
    py::handle coldata = a[0], v = a[1], dtype = a[2];
    if (isinstance_global(v, ZD_STR("Var")))
        return coldata_item(coldata, v);
    if (isinstance_global(v, ZD_STR("MVar")))
        return indexed_data(v, coldata, dtype);
    bool is_dict = PyDict_Check(v.ptr());
    py::object elements;
    if (is_dict)
        elements = zd::steal(PySequence_List(call_method(v, ZD_STR("values")).ptr()));
    else
        elements = zd::borrow(v.ptr());
    Py_ssize_t n = PyObject_Size(elements.ptr());
    if (n < 0)
        zd::throw_error();
    py::list results;
    if (n > 0) {
        py::object zero = py::int_(0);
        py::object first = zd::steal(PyObject_GetItem(elements.ptr(), zero.ptr()));
        bool vars = isinstance_global(first, ZD_STR("Var"));
        py::object it = zd::steal(PyObject_GetIter(elements.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object e = zd::steal(raw);
            py::object r = vars ? coldata_item(coldata, e) : indexed_data(e, coldata, dtype);
            zd::check(PyList_Append(results.ptr(), r.ptr()));
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    if (!is_dict)
        return results;
    py::object keys = call_method(v, ZD_STR("keys"));
    py::object zipped = zd::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PyZip_Type), keys.ptr(), results.ptr(), nullptr));
    return zd::global(ZD_STR("tupledict"))(zipped);
}

} // namespace buildaid
