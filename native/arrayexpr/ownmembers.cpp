// The members MVar and MLinExpr were made with, and the cached test that they
// still hold them.
#include "ownmembers.hpp"

#include <utility>
#include <vector>

namespace arrayexpr {

namespace {

struct OwnClass {
    PyTypeObject *type = nullptr;                           // owned
    std::vector<std::pair<PyObject *, PyObject *>> members; // owned: name, value
    unsigned int tag = 0; // the type's version tag when `own` was found, 0 for none
    bool own = false;

    void clear() {
        for (auto &[name, value] : members) {
            Py_DECREF(name);
            Py_DECREF(value);
        }
        members.clear();
        Py_CLEAR(type);
        tag = 0;
    }
};

OwnClass mvar_class, mlinexpr_class;

bool is_member(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return t == zd::function_type() || t == &PyClassMethod_Type || t == &PyStaticMethod_Type ||
           t == &PyProperty_Type;
}

void record(OwnClass &c, py::handle name) {
    c.clear();
    py::object cls = zd::global(name);
    if (!PyType_Check(cls.ptr()))
        return;
    auto *tp = reinterpret_cast<PyTypeObject *>(cls.ptr());
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tp->tp_dict, &pos, &key, &value)) {
        if (!is_member(value))
            continue;
        Py_INCREF(key);
        Py_INCREF(value);
        c.members.emplace_back(key, value);
    }
    c.type = reinterpret_cast<PyTypeObject *>(cls.release().ptr());
}

bool holds_own(OwnClass &c, py::handle name) {
    if (!c.type || c.members.empty())
        return false;
    PyObject *cls = PyDict_GetItemWithError(PyModule_GetDict(zd::module().ptr()), name.ptr());
    if (!cls && PyErr_Occurred())
        zd::throw_error();
    if (cls != reinterpret_cast<PyObject *>(c.type))
        return false;
    PyTypeObject *tp = c.type;
    // A lookup gives the type a new version tag after a change.
    _PyType_Lookup(tp, c.members.front().first);
    const bool tagged =
        PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) && tp->tp_version_tag != 0;
    if (tagged && tp->tp_version_tag == c.tag)
        return c.own;
    bool own = true;
    for (auto &[key, value] : c.members) {
        PyObject *now = PyDict_GetItemWithError(tp->tp_dict, key);
        if (!now && PyErr_Occurred())
            zd::throw_error();
        if (now != value) {
            own = false;
            break;
        }
    }
    c.tag = tagged ? tp->tp_version_tag : 0;
    c.own = own;
    return own;
}

} // namespace

void record_own_members() {
    record(mvar_class, ZD_STR("MVar"));
    record(mlinexpr_class, ZD_STR("MLinExpr"));
}

bool own_members() {
    return holds_own(mvar_class, ZD_STR("MVar")) && holds_own(mlinexpr_class, ZD_STR("MLinExpr"));
}

} // namespace arrayexpr
