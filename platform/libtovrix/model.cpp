// Models: creation, building calls, deletions, update and read-back.
#include "internal.hpp"

#include <algorithm>
#include <climits>
#include <string>

namespace tvx {

int total(const TVXmodel *m, int kind) {
    switch (kind) {
    case TVX_KIND_VAR:
        return static_cast<int>(m->vars.lb.size());
    case TVX_KIND_CONSTR:
        return static_cast<int>(m->rows.rhs.size());
    case TVX_KIND_QCONSTR:
        return static_cast<int>(m->qconstrs.rhs.size());
    case TVX_KIND_GENCONSTR:
        return static_cast<int>(m->genconstrs.resvar.size());
    default:
        return 0;
    }
}

} // namespace tvx

using namespace tvx;

namespace {

bool valid_sense(char c) {
    return c == '<' || c == '>' || c == '=';
}

bool valid_vtype(char c) {
    return c == 'C' || c == 'B' || c == 'I';
}

std::string name_or_empty(const char *s) {
    return s ? std::string(s) : std::string();
}

// Room for `more` further entries in each vector. Capacity at least doubles
// when it runs out, so that adding one element per call stays linear in all.
template <class... V>
void reserve_more(size_t more, V &...v) {
    auto grow = [more](auto &vec) {
        size_t need = vec.size() + more;
        if (need > vec.capacity())
            vec.reserve(std::max(need, 2 * vec.capacity()));
    };
    (grow(v), ...);
}

// Checks that num more elements of a kind keep every index within int.
bool fits(const TVXmodel *m, int kind, int64_t num) {
    return static_cast<int64_t>(total(m, kind)) + num <= INT_MAX;
}

int check_columns(TVXmodel *m, int64_t n, const int *cols) {
    int ncols = total(m, TVX_KIND_VAR);
    for (int64_t k = 0; k < n; k++)
        if (cols[k] < 0 || cols[k] >= ncols)
            return model_fail(m, TVX_ERROR_INDEX_OUT_OF_RANGE,
                              "Variable index " + std::to_string(cols[k]) + " out of range");
    return 0;
}

// Records removals of elements named by position.
int delete_elements(TVXmodel *m, int kind, int num, const int *ind, std::vector<char> &removed,
                    const char *what) {
    if (num < 0)
        return model_fail(m, TVX_ERROR_INVALID_ARGUMENT, "Negative count");
    if (num > 0 && !ind)
        return model_fail(m, TVX_ERROR_NULL_ARGUMENT, "NULL index array");
    int n = total(m, kind);
    for (int k = 0; k < num; k++)
        if (ind[k] < 0 || ind[k] >= n)
            return model_fail(m, TVX_ERROR_INDEX_OUT_OF_RANGE,
                              std::string(what) + " index " + std::to_string(ind[k]) +
                                  " out of range");
    for (int k = 0; k < num; k++)
        removed[ind[k]] = 1;
    if (num > 0)
        m->anyremoved[kind] = true;
    return 0;
}

// Keeps the entries of v whose keep flag is set, in order.
template <class T>
void compact(std::vector<T> &v, const std::vector<char> &removed) {
    size_t out = 0;
    for (size_t i = 0; i < v.size(); i++)
        if (!removed[i]) {
            if (out != i)
                v[out] = std::move(v[i]);
            out++;
        }
    v.resize(out);
}

// Rewrites a term list through the column map, dropping removed columns.
// Applies the same selection to up to two parallel arrays of columns.
void remap_terms(std::vector<int> &cols, std::vector<double> &vals,
                 const std::vector<int> &colmap) {
    size_t out = 0;
    for (size_t k = 0; k < cols.size(); k++) {
        int c = colmap[cols[k]];
        if (c < 0)
            continue;
        cols[out] = c;
        vals[out] = vals[k];
        out++;
    }
    cols.resize(out);
    vals.resize(out);
}

void remap_qterms(QTerms &t, const std::vector<int> &colmap) {
    remap_terms(t.lind, t.lval, colmap);
    size_t out = 0;
    for (size_t k = 0; k < t.qrow.size(); k++) {
        int r = colmap[t.qrow[k]], c = colmap[t.qcol[k]];
        if (r < 0 || c < 0)
            continue;
        t.qrow[out] = r;
        t.qcol[out] = c;
        t.qval[out] = t.qval[k];
        out++;
    }
    t.qrow.resize(out);
    t.qcol.resize(out);
    t.qval.resize(out);
}

void update_vars(TVXmodel *m, std::vector<int> &colmap, bool &colsmoved) {
    VarStore &v = m->vars;
    int n = total(m, TVX_KIND_VAR);
    bool changed = n != m->committed[TVX_KIND_VAR];
    colsmoved = false;
    if (m->anyremoved[TVX_KIND_VAR]) {
        colmap.resize(n);
        int next = 0;
        for (int j = 0; j < n; j++) {
            if (v.removed[j]) {
                colmap[j] = -1;
                colsmoved = true;
            } else {
                colmap[j] = next++;
            }
        }
        if (colsmoved) {
            compact(v.lb, v.removed);
            compact(v.ub, v.removed);
            compact(v.obj, v.removed);
            compact(v.start, v.removed);
            compact(v.vtype, v.removed);
            compact(v.prio, v.removed);
            compact(v.name, v.removed);
            v.removed.assign(v.lb.size(), 0);
            changed = true;
        }
    }
    m->committed[TVX_KIND_VAR] = total(m, TVX_KIND_VAR);
    m->anyremoved[TVX_KIND_VAR] = false;
    if (changed) {
        // The solution no longer matches the columns.
        m->hassolution = false;
        m->x.clear();
    }
}

void update_rows(TVXmodel *m, const std::vector<int> &colmap, bool colsmoved) {
    RowStore &r = m->rows;
    bool rowsgone = m->anyremoved[TVX_KIND_CONSTR];
    if (rowsgone || colsmoved) {
        size_t nrows = r.rhs.size();
        int64_t out = 0;
        size_t outrow = 0;
        for (size_t i = 0; i < nrows; i++) {
            int64_t b = r.beg[i], e = r.beg[i + 1];
            if (r.removed[i])
                continue;
            r.beg[outrow] = out;
            for (int64_t k = b; k < e; k++) {
                int c = colsmoved ? colmap[r.ind[k]] : r.ind[k];
                if (c < 0)
                    continue;
                r.ind[out] = c;
                r.val[out] = r.val[k];
                out++;
            }
            outrow++;
        }
        r.beg[outrow] = out;
        r.beg.resize(outrow + 1);
        r.ind.resize(out);
        r.val.resize(out);
        if (rowsgone) {
            compact(r.rhs, r.removed);
            compact(r.sense, r.removed);
            compact(r.lazy, r.removed);
            compact(r.name, r.removed);
            r.removed.assign(r.rhs.size(), 0);
        }
    }
    m->committed[TVX_KIND_CONSTR] = total(m, TVX_KIND_CONSTR);
    m->anyremoved[TVX_KIND_CONSTR] = false;
}

void update_qconstrs(TVXmodel *m, const std::vector<int> &colmap, bool colsmoved) {
    QConstrStore &q = m->qconstrs;
    if (m->anyremoved[TVX_KIND_QCONSTR]) {
        compact(q.terms, q.removed);
        compact(q.rhs, q.removed);
        compact(q.sense, q.removed);
        compact(q.name, q.removed);
        q.removed.assign(q.rhs.size(), 0);
    }
    if (colsmoved)
        for (QTerms &t : q.terms)
            remap_qterms(t, colmap);
    m->committed[TVX_KIND_QCONSTR] = total(m, TVX_KIND_QCONSTR);
    m->anyremoved[TVX_KIND_QCONSTR] = false;
}

void update_genconstrs(TVXmodel *m, const std::vector<int> &colmap, bool colsmoved) {
    GenConstrStore &g = m->genconstrs;
    if (m->anyremoved[TVX_KIND_GENCONSTR]) {
        compact(g.resvar, g.removed);
        compact(g.name, g.removed);
        g.removed.assign(g.resvar.size(), 0);
    }
    if (colsmoved)
        for (int &rv : g.resvar)
            if (rv >= 0)
                rv = colmap[rv];
    m->committed[TVX_KIND_GENCONSTR] = total(m, TVX_KIND_GENCONSTR);
    m->anyremoved[TVX_KIND_GENCONSTR] = false;
}

} // namespace

extern "C" {

TVX_API int TVXnewmodel(TVXenv *env, TVXmodel **modelP, const char *name) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!modelP)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL model pointer");
    if (env->released)
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT, "Environment has been freed");
    return guard_env(env, [&] {
        auto *m = new TVXmodel;
        try {
            m->modelname = name_or_empty(name);
        } catch (...) {
            delete m;
            throw;
        }
        m->env = env;
        env->nmodels++;
        g_live[LIVE_MODEL]++;
        *modelP = m;
        return 0;
    });
}

TVX_API int TVXfreemodel(TVXmodel *model) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    TVXenv *env = model->env;
    delete model;
    g_live[LIVE_MODEL]--;
    env->nmodels--;
    env_unref(env);
    return 0;
}

TVX_API TVXenv *TVXgetenv(TVXmodel *model) {
    return model ? model->env : nullptr;
}

TVX_API const char *TVXgetmerrormsg(TVXmodel *model) {
    return model ? model->errmsg.c_str() : nullptr;
}

TVX_API int TVXaddvars(TVXmodel *model, int num, const double *lb, const double *ub,
                       const double *obj, const char *vtype, const char *const *names) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (num < 0)
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Negative count");
    if (!fits(model, TVX_KIND_VAR, num))
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Too many variables");
    if (vtype)
        for (int k = 0; k < num; k++)
            if (!valid_vtype(vtype[k]))
                return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                                  "Invalid variable type '" + std::string(1, vtype[k]) + "'");
    return guard_model(model, [&] {
        VarStore &v = model->vars;
        size_t n0 = v.lb.size(), n1 = n0 + static_cast<size_t>(num);
        try {
            v.lb.resize(n1, 0.0);
            v.ub.resize(n1, TVX_INFINITY);
            v.obj.resize(n1, 0.0);
            v.start.resize(n1, TVX_UNDEFINED);
            v.vtype.resize(n1, 'C');
            v.prio.resize(n1, 0);
            v.name.resize(n1);
            v.removed.resize(n1, 0);
            for (int k = 0; k < num; k++) {
                size_t j = n0 + static_cast<size_t>(k);
                if (lb)
                    v.lb[j] = lb[k];
                if (ub)
                    v.ub[j] = ub[k];
                if (obj)
                    v.obj[j] = obj[k];
                if (vtype)
                    v.vtype[j] = vtype[k];
                if (names && names[k])
                    v.name[j] = names[k];
            }
        } catch (...) {
            // Leave the model as it was.
            v.lb.resize(n0);
            v.ub.resize(n0);
            v.obj.resize(n0);
            v.start.resize(n0);
            v.vtype.resize(n0);
            v.prio.resize(n0);
            v.name.resize(n0);
            v.removed.resize(n0);
            throw;
        }
        return 0;
    });
}

TVX_API int TVXaddconstrs(TVXmodel *model, int numconstrs, int64_t numnz, const int64_t *beg,
                          const int *ind, const double *val, const char *sense, const double *rhs,
                          const char *const *names) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (numconstrs < 0 || numnz < 0)
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Negative count");
    if (numconstrs == 0)
        return 0;
    if (!beg || !sense || !rhs || (numnz > 0 && (!ind || !val)))
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL array argument");
    if (!fits(model, TVX_KIND_CONSTR, numconstrs))
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Too many constraints");
    // Check everything before anything is stored.
    for (int i = 0; i < numconstrs; i++) {
        int64_t b = beg[i], e = i + 1 < numconstrs ? beg[i + 1] : numnz;
        if (b < 0 || b > e || e > numnz)
            return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                              "Invalid row start for constraint " + std::to_string(i));
        if (!valid_sense(sense[i]))
            return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                              "Invalid constraint sense '" + std::string(1, sense[i]) + "'");
    }
    int64_t first = beg[0];
    if (numnz > first)
        if (int rc = check_columns(model, numnz - first, ind + first))
            return rc;
    return guard_model(model, [&] {
        RowStore &r = model->rows;
        size_t n0 = r.rhs.size(), nz0 = r.ind.size();
        try {
            if (numnz > first) {
                r.ind.insert(r.ind.end(), ind + first, ind + numnz);
                r.val.insert(r.val.end(), val + first, val + numnz);
            }
            reserve_more(static_cast<size_t>(numconstrs), r.beg);
            for (int i = 0; i < numconstrs; i++) {
                int64_t e = i + 1 < numconstrs ? beg[i + 1] : numnz;
                r.beg.push_back(static_cast<int64_t>(nz0) + (e - first));
            }
            r.rhs.insert(r.rhs.end(), rhs, rhs + numconstrs);
            r.sense.insert(r.sense.end(), sense, sense + numconstrs);
            r.lazy.resize(n0 + numconstrs, 0);
            r.name.resize(n0 + numconstrs);
            r.removed.resize(n0 + numconstrs, 0);
            if (names)
                for (int i = 0; i < numconstrs; i++)
                    if (names[i])
                        r.name[n0 + i] = names[i];
        } catch (...) {
            r.ind.resize(nz0);
            r.val.resize(nz0);
            r.beg.resize(n0 + 1);
            r.rhs.resize(n0);
            r.sense.resize(n0);
            r.lazy.resize(n0);
            r.name.resize(n0);
            r.removed.resize(n0);
            throw;
        }
        return 0;
    });
}

TVX_API int TVXaddqconstr(TVXmodel *model, int numlnz, const int *lind, const double *lval,
                          int numqnz, const int *qrow, const int *qcol, const double *qval,
                          char sense, double rhs, const char *name) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (numlnz < 0 || numqnz < 0)
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Negative count");
    if ((numlnz > 0 && (!lind || !lval)) || (numqnz > 0 && (!qrow || !qcol || !qval)))
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL array argument");
    if (!valid_sense(sense))
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                          "Invalid constraint sense '" + std::string(1, sense) + "'");
    if (!fits(model, TVX_KIND_QCONSTR, 1))
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Too many constraints");
    if (numlnz > 0)
        if (int rc = check_columns(model, numlnz, lind))
            return rc;
    if (numqnz > 0) {
        if (int rc = check_columns(model, numqnz, qrow))
            return rc;
        if (int rc = check_columns(model, numqnz, qcol))
            return rc;
    }
    return guard_model(model, [&] {
        QConstrStore &q = model->qconstrs;
        QTerms t;
        if (numlnz > 0) {
            t.lind.assign(lind, lind + numlnz);
            t.lval.assign(lval, lval + numlnz);
        }
        if (numqnz > 0) {
            t.qrow.assign(qrow, qrow + numqnz);
            t.qcol.assign(qcol, qcol + numqnz);
            t.qval.assign(qval, qval + numqnz);
        }
        std::string nm = name_or_empty(name);
        reserve_more(1, q.terms, q.rhs, q.sense, q.name, q.removed);
        // Capacity is there: these cannot fail.
        q.terms.push_back(std::move(t));
        q.rhs.push_back(rhs);
        q.sense.push_back(sense);
        q.name.push_back(std::move(nm));
        q.removed.push_back(0);
        return 0;
    });
}

TVX_API int TVXaddgenconstrnl(TVXmodel *model, const char *name, int resvar) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (resvar < -1 || resvar >= total(model, TVX_KIND_VAR))
        return model_fail(model, TVX_ERROR_INDEX_OUT_OF_RANGE,
                          "Variable index " + std::to_string(resvar) + " out of range");
    if (!fits(model, TVX_KIND_GENCONSTR, 1))
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT, "Too many constraints");
    return guard_model(model, [&] {
        GenConstrStore &g = model->genconstrs;
        std::string nm = name_or_empty(name);
        reserve_more(1, g.resvar, g.name, g.removed);
        // Capacity is there: these cannot fail.
        g.resvar.push_back(resvar);
        g.name.push_back(std::move(nm));
        g.removed.push_back(0);
        return 0;
    });
}

TVX_API int TVXdelvars(TVXmodel *model, int num, const int *ind) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return delete_elements(model, TVX_KIND_VAR, num, ind, model->vars.removed, "Variable");
}

TVX_API int TVXdelconstrs(TVXmodel *model, int num, const int *ind) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return delete_elements(model, TVX_KIND_CONSTR, num, ind, model->rows.removed, "Constraint");
}

TVX_API int TVXdelqconstrs(TVXmodel *model, int num, const int *ind) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return delete_elements(model, TVX_KIND_QCONSTR, num, ind, model->qconstrs.removed,
                           "Quadratic constraint");
}

TVX_API int TVXdelgenconstrs(TVXmodel *model, int num, const int *ind) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return delete_elements(model, TVX_KIND_GENCONSTR, num, ind, model->genconstrs.removed,
                           "General constraint");
}

TVX_API int TVXupdatemodel(TVXmodel *model) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    return guard_model(model, [&] {
        // The column map is the only allocation; take it before changing
        // anything so that a failure leaves the model as it was.
        std::vector<int> colmap;
        if (model->anyremoved[TVX_KIND_VAR])
            colmap.reserve(model->vars.lb.size());
        bool colsmoved = false;
        update_vars(model, colmap, colsmoved);
        update_rows(model, colmap, colsmoved);
        update_qconstrs(model, colmap, colsmoved);
        update_genconstrs(model, colmap, colsmoved);
        return 0;
    });
}

TVX_API int TVXgetconstrs(TVXmodel *model, int64_t *numnzP, int64_t *beg, int *ind, double *val,
                          int start, int len) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!numnzP)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL count pointer");
    bool fill = beg || ind || val;
    if (fill && !(beg && ind && val))
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL array argument");
    int n = model->committed[TVX_KIND_CONSTR];
    if (len < 0 || start < 0 || start > n || len > n - start)
        return model_fail(model, TVX_ERROR_INDEX_OUT_OF_RANGE, "Constraint index out of range");
    const RowStore &r = model->rows;
    int64_t b0 = r.beg[start], e0 = r.beg[start + len];
    *numnzP = e0 - b0;
    if (!fill)
        return 0;
    for (int i = 0; i < len; i++)
        beg[i] = r.beg[start + i] - b0;
    for (int64_t k = b0; k < e0; k++) {
        ind[k - b0] = r.ind[k];
        val[k - b0] = r.val[k];
    }
    return 0;
}

TVX_API int TVXgetqconstr(TVXmodel *model, int qconstr, int *numlnzP, int *lind, double *lval,
                          int *numqnzP, int *qrow, int *qcol, double *qval) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!numlnzP || !numqnzP)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL count pointer");
    if (qconstr < 0 || qconstr >= model->committed[TVX_KIND_QCONSTR])
        return model_fail(model, TVX_ERROR_INDEX_OUT_OF_RANGE,
                          "Quadratic constraint index out of range");
    const QTerms &t = model->qconstrs.terms[qconstr];
    *numlnzP = static_cast<int>(t.lind.size());
    *numqnzP = static_cast<int>(t.qrow.size());
    for (size_t k = 0; k < t.lind.size(); k++) {
        if (lind)
            lind[k] = t.lind[k];
        if (lval)
            lval[k] = t.lval[k];
    }
    for (size_t k = 0; k < t.qrow.size(); k++) {
        if (qrow)
            qrow[k] = t.qrow[k];
        if (qcol)
            qcol[k] = t.qcol[k];
        if (qval)
            qval[k] = t.qval[k];
    }
    return 0;
}

TVX_API int TVXgetgenconstrnl(TVXmodel *model, int genconstr, int *resvarP) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!resvarP)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL value pointer");
    if (genconstr < 0 || genconstr >= model->committed[TVX_KIND_GENCONSTR])
        return model_fail(model, TVX_ERROR_INDEX_OUT_OF_RANGE,
                          "General constraint index out of range");
    *resvarP = model->genconstrs.resvar[genconstr];
    return 0;
}

TVX_API int TVXloadsolution(TVXmodel *model, int num, const double *values) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    if (num != model->committed[TVX_KIND_VAR])
        return model_fail(model, TVX_ERROR_INVALID_ARGUMENT,
                          "Solution has " + std::to_string(num) + " values, model has " +
                              std::to_string(model->committed[TVX_KIND_VAR]) + " variables");
    if (num > 0 && !values)
        return model_fail(model, TVX_ERROR_NULL_ARGUMENT, "NULL value array");
    return guard_model(model, [&] {
        model->x.assign(values, values + num);
        model->hassolution = true;
        return 0;
    });
}

TVX_API int TVXsetoptimizing(TVXmodel *model, int flag) {
    if (!model)
        return TVX_ERROR_NULL_ARGUMENT;
    model->optimizing = flag != 0;
    return 0;
}

} // extern "C"
