// Internal structures of libtovrix shared by its translation units.
#pragma once

#include "tovrix.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace tvx {

// Live object counters for the leak test aid (TVXtest_numlive).
enum LiveKind { LIVE_ENV = 0, LIVE_MODEL = 1, LIVE_BATCH = 2, LIVE_TEXT = 3 };
extern std::atomic<int> g_live[4];

struct BatchRecord {
    int status = TVX_BATCH_CREATED;
    int errorcode = 0;
    std::string errormsg;
    std::string json;
};

// A batch attribute added by a test, beside the four standard ones.
struct ExtraBatchAttr {
    std::string name;
    int flags = 0;
    int ivalue = 0;
    std::string svalue;
};

// Shared by an environment and every batch handle opened in it, so that a
// handle stays usable when its environment is freed first.
struct BatchStore {
    std::unordered_map<std::string, BatchRecord> batches;
    std::vector<ExtraBatchAttr> extra;
    // Test aid: the next call of this name on the store fails with the code.
    std::unordered_map<std::string, int> faults;
};

// Assigns only when the text differs, so that pointers handed out earlier
// stay valid while the value does not change.
inline void assign_if_changed(std::string &dst, const std::string &src) {
    if (dst != src)
        dst = src;
}

} // namespace tvx

struct TVXenv {
    std::string errmsg;
    std::shared_ptr<tvx::BatchStore> store;
    int nmodels = 0;       // live models made in this environment
    bool released = false; // freed by its owner; goes away with its last model
    bool batchenv = false; // owned by a batch handle
};

// Variables: struct of arrays, one entry per column (committed, then pending).
struct VarStore {
    std::vector<double> lb, ub, obj, start;
    std::vector<char> vtype;
    std::vector<int> prio;
    std::vector<std::string> name;
    std::vector<char> removed;
};

// Linear rows: CSR terms plus per-row attributes.
struct RowStore {
    std::vector<int64_t> beg{0}; // size rows + 1
    std::vector<int> ind;
    std::vector<double> val;
    std::vector<double> rhs;
    std::vector<char> sense;
    std::vector<int> lazy;
    std::vector<std::string> name;
    std::vector<char> removed;
};

struct QTerms {
    std::vector<int> lind;
    std::vector<double> lval;
    std::vector<int> qrow, qcol;
    std::vector<double> qval;
};

struct QConstrStore {
    std::vector<QTerms> terms;
    std::vector<double> rhs;
    std::vector<char> sense;
    std::vector<std::string> name;
    std::vector<char> removed;
};

struct GenConstrStore {
    std::vector<int> resvar;
    std::vector<std::string> name;
    std::vector<char> removed;
};

struct TVXmodel {
    TVXenv *env = nullptr;
    std::string errmsg;
    std::string modelname;
    VarStore vars;
    RowStore rows;
    QConstrStore qconstrs;
    GenConstrStore genconstrs;
    // Elements as of the last update, per object-kind code (1, 2, 4, 5).
    int committed[6] = {0, 0, 0, 0, 0, 0};
    // A delete call recorded removals of this kind since the last update.
    bool anyremoved[6] = {false, false, false, false, false, false};
    bool hassolution = false;
    std::vector<double> x;
    bool optimizing = false;
};

struct TVXbatch {
    std::shared_ptr<tvx::BatchStore> store;
    TVXenv *env = nullptr;
    std::string id;
    // Last values seen in the store; served after the batch was discarded.
    int status = 0;
    int errorcode = 0;
    std::string errormsg;
    bool discarded = false;
};

namespace tvx {

// Sets the last error message and returns code.
int env_fail(TVXenv *env, int code, const std::string &msg);
int model_fail(TVXmodel *model, int code, const std::string &msg);

// Drops one reference to env (its owner's or a model's); deletes it when
// the owner released it and no model is left.
void env_unref(TVXenv *env);

int total(const TVXmodel *m, int kind);

// Runs body, turning C++ exceptions into error codes on the given object.
template <class F>
int guard_model(TVXmodel *m, F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return model_fail(m, TVX_ERROR_OUT_OF_MEMORY, "Out of memory");
    } catch (...) {
        return model_fail(m, TVX_ERROR_INTERNAL, "Unexpected internal error");
    }
}

template <class F>
int guard_env(TVXenv *e, F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return env_fail(e, TVX_ERROR_OUT_OF_MEMORY, "Out of memory");
    } catch (...) {
        return env_fail(e, TVX_ERROR_INTERNAL, "Unexpected internal error");
    }
}

} // namespace tvx
