// Attribute table and the attribute calls (info, names, single values, lists).
#include "internal.hpp"

#include <string>

using namespace tvx;

namespace {

enum AttrId {
    A_NUMVARS,
    A_NUMCONSTRS,
    A_NUMQCONSTRS,
    A_NUMGENCONSTRS,
    A_MODELNAME,
    A_STATUS,
    A_OBJVAL,
    A_OBJBOUND,
    A_OBJBOUNDC,
    A_ITERCOUNT,
    A_BARITERCOUNT,
    A_NODECOUNT,
    A_OPENNODECOUNT,
    A_SOLCOUNT,
    A_LB,
    A_UB,
    A_OBJ,
    A_START,
    A_VTYPE,
    A_VARNAME,
    A_BRANCHPRIORITY,
    A_X,
    A_RHS,
    A_SENSE,
    A_CONSTRNAME,
    A_LAZY,
    A_SLACK,
    A_QCRHS,
    A_QCSENSE,
    A_QCNAME,
    A_GENCONSTRNAME,
    A_COUNT
};

struct AttrDef {
    const char *name;
    int type;
    int kind;
    int settable;
    bool async; // readable while an optimization is in progress
};

constexpr int C = TVX_TYPE_CHAR, I = TVX_TYPE_INT, D = TVX_TYPE_DOUBLE, S = TVX_TYPE_STRING;

// Indexed by AttrId.
const AttrDef kAttrs[A_COUNT] = {
    {"NumVars", I, TVX_KIND_MODEL, 0, false},
    {"NumConstrs", I, TVX_KIND_MODEL, 0, false},
    {"NumQConstrs", I, TVX_KIND_MODEL, 0, false},
    {"NumGenConstrs", I, TVX_KIND_MODEL, 0, false},
    {"ModelName", S, TVX_KIND_MODEL, 1, false},
    {"Status", I, TVX_KIND_MODEL, 0, true},
    {"ObjVal", D, TVX_KIND_MODEL, 0, true},
    {"ObjBound", D, TVX_KIND_MODEL, 0, true},
    {"ObjBoundC", D, TVX_KIND_MODEL, 0, true},
    {"IterCount", D, TVX_KIND_MODEL, 0, true},
    {"BarIterCount", I, TVX_KIND_MODEL, 0, true},
    {"NodeCount", D, TVX_KIND_MODEL, 0, true},
    {"OpenNodeCount", D, TVX_KIND_MODEL, 0, true},
    {"SolCount", I, TVX_KIND_MODEL, 0, false},
    {"LB", D, TVX_KIND_VAR, 1, false},
    {"UB", D, TVX_KIND_VAR, 1, false},
    {"Obj", D, TVX_KIND_VAR, 1, false},
    {"Start", D, TVX_KIND_VAR, 1, false},
    {"VType", C, TVX_KIND_VAR, 1, false},
    {"VarName", S, TVX_KIND_VAR, 1, false},
    {"BranchPriority", I, TVX_KIND_VAR, 1, false},
    {"X", D, TVX_KIND_VAR, 0, false},
    {"RHS", D, TVX_KIND_CONSTR, 1, false},
    {"Sense", C, TVX_KIND_CONSTR, 1, false},
    {"ConstrName", S, TVX_KIND_CONSTR, 1, false},
    {"Lazy", I, TVX_KIND_CONSTR, 1, false},
    {"Slack", D, TVX_KIND_CONSTR, 0, false},
    {"QCRHS", D, TVX_KIND_QCONSTR, 1, false},
    {"QCSense", C, TVX_KIND_QCONSTR, 1, false},
    {"QCName", S, TVX_KIND_QCONSTR, 1, false},
    {"GenConstrName", S, TVX_KIND_GENCONSTR, 1, false},
};

const char *const kTypeNames[4] = {"char", "int", "double", "string"};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(const char *a, const char *b) {
    for (; *a && *b; a++, b++)
        if (lower(*a) != lower(*b))
            return false;
    return *a == *b;
}

int find_attr(const char *name) {
    for (int i = 0; i < A_COUNT; i++)
        if (same_name(name, kAttrs[i].name))
            return i;
    return -1;
}

std::string quoted(const char *name) {
    return std::string("'") + name + "'";
}

bool needs_solution(int id) {
    return id == A_X || id == A_SLACK || id == A_OBJVAL || id == A_OBJBOUND || id == A_OBJBOUNDC;
}

bool valid_char(int id, char c) {
    if (id == A_VTYPE)
        return c == 'C' || c == 'B' || c == 'I';
    return c == '<' || c == '>' || c == '=';
}

enum Form { MODEL_FORM, ELEMENT_FORM };

// Common checks of every get/set call. Returns 0 and the attribute id, or
// an error code with the model's message set.
int prepare(TVXmodel *m, const char *name, Form form, int type, bool set, const void *valueP,
            int &id) {
    if (!name)
        return model_fail(m, TVX_ERROR_NULL_ARGUMENT, "NULL attribute name");
    id = find_attr(name);
    if (id < 0)
        return model_fail(m, TVX_ERROR_UNKNOWN_ATTRIBUTE, "Unknown attribute " + quoted(name));
    const AttrDef &a = kAttrs[id];
    if (m->optimizing && !a.async)
        return model_fail(m, TVX_ERROR_OPTIMIZATION_IN_PROGRESS,
                          "Unable to access attribute " + quoted(name) +
                              " while optimization is in progress");
    if (form == MODEL_FORM && a.kind != TVX_KIND_MODEL)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT,
                          "Attribute " + quoted(name) + " is not a model attribute");
    if (form == ELEMENT_FORM && a.kind == TVX_KIND_MODEL)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT,
                          "Attribute " + quoted(name) + " is a model attribute");
    if (a.type != type)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT,
                          "Attribute " + quoted(name) + " is of type " + kTypeNames[a.type] +
                              ", not " + kTypeNames[type]);
    if (set && !a.settable)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT,
                          "Attribute " + quoted(name) + " cannot be set");
    if (!valueP)
        return model_fail(m, TVX_ERROR_NULL_ARGUMENT, "NULL value argument");
    if (!set && needs_solution(id) && !m->hassolution)
        return model_fail(m, TVX_ERROR_DATA_NOT_AVAILABLE, "No solution available");
    return 0;
}

int prepare_list(TVXmodel *m, const char *name, int type, bool set, int count, const int *ind,
                 const void *values, int &id) {
    if (count < 0)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT, "Negative count");
    // A count of 0 needs no arrays; pass a dummy so that prepare accepts it.
    const void *v = count == 0 ? static_cast<const void *>(&count) : values;
    if (int rc = prepare(m, name, ELEMENT_FORM, type, set, v, id))
        return rc;
    if (count > 0 && !ind)
        return model_fail(m, TVX_ERROR_NULL_ARGUMENT, "NULL index array");
    int n = m->committed[kAttrs[id].kind];
    for (int k = 0; k < count; k++)
        if (ind[k] < 0 || ind[k] >= n)
            return model_fail(m, TVX_ERROR_INDEX_OUT_OF_RANGE,
                              "Index out of range for attribute " + quoted(name));
    return 0;
}

int check_index(TVXmodel *m, const char *name, int id, int element) {
    if (element < 0 || element >= m->committed[kAttrs[id].kind])
        return model_fail(m, TVX_ERROR_INDEX_OUT_OF_RANGE,
                          "Index out of range for attribute " + quoted(name));
    return 0;
}

std::vector<double> *dbl_col(TVXmodel *m, int id) {
    switch (id) {
    case A_LB:
        return &m->vars.lb;
    case A_UB:
        return &m->vars.ub;
    case A_OBJ:
        return &m->vars.obj;
    case A_START:
        return &m->vars.start;
    case A_X:
        return &m->x;
    case A_RHS:
        return &m->rows.rhs;
    case A_QCRHS:
        return &m->qconstrs.rhs;
    default:
        return nullptr;
    }
}

std::vector<char> *char_col(TVXmodel *m, int id) {
    switch (id) {
    case A_VTYPE:
        return &m->vars.vtype;
    case A_SENSE:
        return &m->rows.sense;
    case A_QCSENSE:
        return &m->qconstrs.sense;
    default:
        return nullptr;
    }
}

std::vector<int> *int_col(TVXmodel *m, int id) {
    switch (id) {
    case A_BRANCHPRIORITY:
        return &m->vars.prio;
    case A_LAZY:
        return &m->rows.lazy;
    default:
        return nullptr;
    }
}

std::vector<std::string> *str_col(TVXmodel *m, int id) {
    switch (id) {
    case A_VARNAME:
        return &m->vars.name;
    case A_CONSTRNAME:
        return &m->rows.name;
    case A_QCNAME:
        return &m->qconstrs.name;
    case A_GENCONSTRNAME:
        return &m->genconstrs.name;
    default:
        return nullptr;
    }
}

// RHS minus the row's activity at the loaded solution.
double slack(const TVXmodel *m, int row) {
    const RowStore &r = m->rows;
    double act = 0.0;
    for (int64_t k = r.beg[row]; k < r.beg[row + 1]; k++) {
        size_t j = static_cast<size_t>(r.ind[k]);
        if (j < m->x.size())
            act += r.val[k] * m->x[j];
    }
    return r.rhs[row] - act;
}

double objval(const TVXmodel *m) {
    double s = 0.0;
    for (size_t j = 0; j < m->x.size(); j++)
        s += m->vars.obj[j] * m->x[j];
    return s;
}

// Element getters and setters, shared by the single and list forms.
double get_dbl(TVXmodel *m, int id, int i) {
    if (id == A_SLACK)
        return slack(m, i);
    return (*dbl_col(m, id))[i];
}

} // namespace

extern "C" {

TVX_API int TVXgetattrinfo(TVXmodel *model, const char *attrname, int *datatypeP, int *objkindP,
                           int *settableP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname || !objkindP)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    int id = find_attr(attrname);
    if (id < 0)
        return model_fail(model, TVX_ERROR_UNKNOWN_ATTRIBUTE,
                          "Unknown attribute " + quoted(attrname));
    const AttrDef &a = kAttrs[id];
    if (model->optimizing && !a.async)
        return model_fail(model, TVX_ERROR_OPTIMIZATION_IN_PROGRESS,
                          "Unable to access attribute " + quoted(attrname) +
                              " while optimization is in progress");
    if (datatypeP)
        *datatypeP = a.type;
    *objkindP = a.kind;
    if (settableP)
        *settableP = a.settable;
    return 0;
}

TVX_API int TVXgetnumattributes(TVXmodel *model) {
    return model ? A_COUNT : 0;
}

TVX_API int TVXgetattrname(TVXmodel *model, int i, const char **attrnameP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrnameP)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (i < 0 || i >= A_COUNT)
        return model_fail(model, TVX_ERROR_INDEX_OUT_OF_RANGE,
                          "Attribute position " + std::to_string(i) + " out of range");
    *attrnameP = kAttrs[i].name;
    return 0;
}

TVX_API int TVXprefetchattr(TVXmodel *model, const char *attrname) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL attribute name");
    if (find_attr(attrname) < 0)
        return model_fail(model, TVX_ERROR_UNKNOWN_ATTRIBUTE,
                          "Unknown attribute " + quoted(attrname));
    return 0;
}

// ---- model attributes

TVX_API int TVXgetintattr(TVXmodel *model, const char *attrname, int *valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, MODEL_FORM, I, false, valueP, id))
            return rc;
        switch (id) {
        case A_NUMVARS:
            *valueP = model->committed[TVX_KIND_VAR];
            break;
        case A_NUMCONSTRS:
            *valueP = model->committed[TVX_KIND_CONSTR];
            break;
        case A_NUMQCONSTRS:
            *valueP = model->committed[TVX_KIND_QCONSTR];
            break;
        case A_NUMGENCONSTRS:
            *valueP = model->committed[TVX_KIND_GENCONSTR];
            break;
        case A_STATUS:
            *valueP = model->hassolution ? TVX_OPTIMAL : TVX_LOADED;
            break;
        case A_SOLCOUNT:
            *valueP = model->hassolution ? 1 : 0;
            break;
        default: // BarIterCount
            *valueP = 0;
        }
        return 0;
    });
}

TVX_API int TVXgetdblattr(TVXmodel *model, const char *attrname, double *valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, MODEL_FORM, D, false, valueP, id))
            return rc;
        // No solving: the bounds equal the loaded objective, counts are 0.
        *valueP = needs_solution(id) ? objval(model) : 0.0;
        return 0;
    });
}

TVX_API int TVXgetstrattr(TVXmodel *model, const char *attrname, const char **valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, MODEL_FORM, S, false, valueP, id))
            return rc;
        *valueP = model->modelname.c_str();
        return 0;
    });
}

TVX_API int TVXsetintattr(TVXmodel *model, const char *attrname, int value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        // No int model attribute is settable: prepare always refuses.
        return prepare(model, attrname, MODEL_FORM, I, true, &value, id);
    });
}

TVX_API int TVXsetdblattr(TVXmodel *model, const char *attrname, double value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        return prepare(model, attrname, MODEL_FORM, D, true, &value, id);
    });
}

TVX_API int TVXsetstrattr(TVXmodel *model, const char *attrname, const char *value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, MODEL_FORM, S, true, value, id))
            return rc;
        model->modelname = value; // ModelName, the only settable one
        return 0;
    });
}

// ---- single elements

TVX_API int TVXgetcharattrelement(TVXmodel *model, const char *attrname, int element,
                                  char *valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, C, false, valueP, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        *valueP = (*char_col(model, id))[element];
        return 0;
    });
}

TVX_API int TVXgetintattrelement(TVXmodel *model, const char *attrname, int element, int *valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, I, false, valueP, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        *valueP = (*int_col(model, id))[element];
        return 0;
    });
}

TVX_API int TVXgetdblattrelement(TVXmodel *model, const char *attrname, int element,
                                 double *valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, D, false, valueP, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        *valueP = get_dbl(model, id, element);
        return 0;
    });
}

TVX_API int TVXgetstrattrelement(TVXmodel *model, const char *attrname, int element,
                                 const char **valueP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, S, false, valueP, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        *valueP = (*str_col(model, id))[element].c_str();
        return 0;
    });
}

TVX_API int TVXsetcharattrelement(TVXmodel *model, const char *attrname, int element, char value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, C, true, &value, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        if (!valid_char(id, value))
            return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                              "Invalid value for attribute " + quoted(attrname));
        (*char_col(model, id))[element] = value;
        return 0;
    });
}

TVX_API int TVXsetintattrelement(TVXmodel *model, const char *attrname, int element, int value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, I, true, &value, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        (*int_col(model, id))[element] = value;
        return 0;
    });
}

TVX_API int TVXsetdblattrelement(TVXmodel *model, const char *attrname, int element, double value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, D, true, &value, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        (*dbl_col(model, id))[element] = value;
        return 0;
    });
}

TVX_API int TVXsetstrattrelement(TVXmodel *model, const char *attrname, int element,
                                 const char *value) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare(model, attrname, ELEMENT_FORM, S, true, value, id))
            return rc;
        if (int rc = check_index(model, attrname, id, element))
            return rc;
        (*str_col(model, id))[element] = value;
        return 0;
    });
}

// ---- lists

TVX_API int TVXgetcharattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                               char *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, C, false, count, ind, values, id))
            return rc;
        const std::vector<char> &col = *char_col(model, id);
        for (int k = 0; k < count; k++)
            values[k] = col[ind[k]];
        return 0;
    });
}

TVX_API int TVXgetintattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              int *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, I, false, count, ind, values, id))
            return rc;
        const std::vector<int> &col = *int_col(model, id);
        for (int k = 0; k < count; k++)
            values[k] = col[ind[k]];
        return 0;
    });
}

TVX_API int TVXgetdblattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              double *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, D, false, count, ind, values, id))
            return rc;
        if (id == A_SLACK) {
            for (int k = 0; k < count; k++)
                values[k] = slack(model, ind[k]);
            return 0;
        }
        const std::vector<double> &col = *dbl_col(model, id);
        for (int k = 0; k < count; k++)
            values[k] = col[ind[k]];
        return 0;
    });
}

TVX_API int TVXgetstrattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const char **values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, S, false, count, ind, values, id))
            return rc;
        const std::vector<std::string> &col = *str_col(model, id);
        for (int k = 0; k < count; k++)
            values[k] = col[ind[k]].c_str();
        return 0;
    });
}

TVX_API int TVXsetcharattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                               const char *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, C, true, count, ind, values, id))
            return rc;
        for (int k = 0; k < count; k++)
            if (!valid_char(id, values[k]))
                return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                                  "Invalid value for attribute " + quoted(attrname));
        std::vector<char> &col = *char_col(model, id);
        for (int k = 0; k < count; k++)
            col[ind[k]] = values[k];
        return 0;
    });
}

TVX_API int TVXsetintattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const int *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, I, true, count, ind, values, id))
            return rc;
        std::vector<int> &col = *int_col(model, id);
        for (int k = 0; k < count; k++)
            col[ind[k]] = values[k];
        return 0;
    });
}

TVX_API int TVXsetdblattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const double *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, D, true, count, ind, values, id))
            return rc;
        std::vector<double> &col = *dbl_col(model, id);
        for (int k = 0; k < count; k++)
            col[ind[k]] = values[k];
        return 0;
    });
}

TVX_API int TVXsetstrattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const char *const *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        int id;
        if (int rc = prepare_list(model, attrname, S, true, count, ind, values, id))
            return rc;
        for (int k = 0; k < count; k++)
            if (!values[k])
                return model_fail(model, TVX_ERROR_NULL_ARGUMENT,
                                  "NULL value for attribute " + quoted(attrname));
        // Copy first, then swap in: a failed copy changes nothing.
        std::vector<std::string> copies(values, values + count);
        std::vector<std::string> &col = *str_col(model, id);
        for (int k = 0; k < count; k++)
            col[ind[k]].swap(copies[k]);
        return 0;
    });
}

} // extern "C"
