// The members of the three constraint handles MConstr, MQConstr and
// MGenConstr, written once and parametrised by the handle's kind: its
// element class and index attribute, kind code, count attribute and texts.
#pragma once

#include "arrayexpr.hpp"
#include "zd_numpy.hpp"

namespace mconstr {

struct Kind {
    const char *cls;           // class and module global name, "MConstr"
    const char *arr_attr;      // element array attribute, "_constrarr"
    const char *elem_class;    // module global of the element class, "Constr"
    const char *index_attr;    // element index attribute, "_rowno"
    const char *count_method;  // "_numrows", or null (no count read)
    const char *count_attr;    // library attribute of the count, "NumConstrs"
    long typeenum;             // object-kind code
    const char *get_kind_text; // start of getAttr's wrong-kind message
    const char *set_kind_text; // start of setAttr's wrong-kind message
    const char *fromlist_text; // start of fromlist's message
    bool not_in_model_checks;  // refuse pending and removed elements (MGenConstr)
};

extern const Kind MConstr_kind;
extern const Kind MQConstr_kind;
extern const Kind MGenConstr_kind;

py::object init(const Kind &k, const zd::Args &a);
py::object dir(const Kind &k, const zd::Args &a);
py::object repr(const Kind &k, const zd::Args &a);
py::object getitem(const Kind &k, const zd::Args &a);
py::object getattr(const Kind &k, const zd::Args &a);
py::object setattr(const Kind &k, const zd::Args &a);
py::object item(const Kind &k, const zd::Args &a);
py::object idxarr(const Kind &k, const zd::Args &a);
py::object count(const Kind &k, const zd::Args &a);
py::object tolist(const Kind &k, const zd::Args &a);
py::object fromlist(const Kind &k, const zd::Args &a);
py::object getAttr(const Kind &k, const zd::Args &a);
py::object setAttr(const Kind &k, const zd::Args &a);
py::object prefetchAttr(const Kind &k, const zd::Args &a);
py::object shape(const Kind &k, const zd::Args &a);
py::object size(const Kind &k, const zd::Args &a);
py::object ndim(const Kind &k, const zd::Args &a);
py::object typename_(const Kind &k, const zd::Args &a);
py::object typeenum(const Kind &k, const zd::Args &a);

} // namespace mconstr

// Binds a member of the parametrised set to one handle class: an Impl
// function `<Class>_<member>`.
#define ZD_MCONSTR_MEMBER(Class, member, fn)                                                       \
    py::object Class##_##member(const zd::Args &a) {                                               \
        return ::mconstr::fn(::mconstr::Class##_kind, a);                                          \
    }
