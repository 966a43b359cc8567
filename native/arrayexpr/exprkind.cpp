// The rows of the two-state expression classes and the members they write.
#include "exprkind.hpp"

#include <unordered_map>

namespace exprkind {

namespace {

// The interned name of a row's attribute, made once per text.
PyObject *name_of(const char *text) {
    static std::unordered_map<const char *, PyObject *> names;
    auto it = names.find(text);
    if (it != names.end())
        return it->second;
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        zd::throw_error();
    names.emplace(text, s);
    return s;
}

void set_attr(py::handle obj, const char *name, py::handle value) {
    zd::check(PyObject_SetAttr(obj.ptr(), name_of(name), value.ptr()));
}

py::object attr(py::handle obj, const char *name) {
    return zd::steal(PyObject_GetAttr(obj.ptr(), name_of(name)));
}

// The quadratic class: a compact array has a shape that allows the compact
// state; a full one has cells of its linear part's shape.
void quad_compact(py::handle, py::handle linear) {
    py::object allows = zd::global(ZD_STR("MQuadExpr")).attr(ZD_STR("_allows_compact"));
    ZD_ASSERT(zd::truthy(allows(linear.attr(ZD_STR("shape")))));
}
void quad_full(py::handle self, py::handle linear) {
    // The cells' shape is read first, as the comparison is written.
    py::object cells;
    ZD_ASSERT((cells = self.attr(ZD_STR("_qearr")).attr(ZD_STR("shape")),
               zd::equals(cells, linear.attr(ZD_STR("shape")))));
}

} // namespace

const Kind MLinExpr_kind = {
    "MLinExpr",     "_learr",
    "_matmulparts", "_const",
    nullptr,        "zeros",
    "_zeros_full",  {{{"_learr", true}, {"_matmulparts", false}, {"_const", false}}},
    nullptr,        nullptr,
};

const Kind MQuadExpr_kind = {
    "MQuadExpr",   "_qearr",
    "_quadparts",  nullptr,
    "_ndle",       "zeros",
    "_zeros_full", {{{"_quadparts", false}, {"_qearr", true}, {"_ndle", true}}},
    quad_compact,  quad_full,
};

bool is_compact(const Kind &k, py::handle self) {
    const bool compact = !attr(self, k.parts_attr).is_none();
    if (zd::optimized())
        return compact;
    py::object linear;
    if (k.linear_attr) {
        linear = attr(self, k.linear_attr);
        ZD_ASSERT(!linear.is_none());
    }
    if (compact) {
        if (k.compact_attr)
            ZD_ASSERT(!attr(self, k.compact_attr).is_none());
        ZD_ASSERT(attr(self, k.cells_attr).is_none());
        if (k.check_compact)
            k.check_compact(self, linear);
    } else {
        if (k.compact_attr)
            ZD_ASSERT(attr(self, k.compact_attr).is_none());
        ZD_ASSERT(!attr(self, k.cells_attr).is_none());
        if (k.check_full)
            k.check_full(self, linear);
    }
    return compact;
}

void convert_to_full(const Kind &k, py::handle self) {
    if (!is_compact(k, self))
        return;
    py::object full = zd::call_method(self, ZD_STR("_to_full"));
    for (const Set &s : k.to_full)
        set_attr(self, s.attr, s.from_full ? attr(full, s.attr) : py::none());
}

py::object cls(const Kind &k) {
    return zd::global(name_of(k.cls));
}

bool keep_compact(const Kind &k) {
    return zd::equals(cls(k).attr(ZD_STR("_keep_compact")), py::int_(1));
}

} // namespace exprkind
