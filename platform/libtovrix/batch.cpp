// Batch store, batch handles and their calls.
#include "internal.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace tvx;

namespace {

enum BatchAttr { B_ERRORCODE, B_ERRORMESSAGE, B_ID, B_STATUS, B_COUNT };

struct BatchAttrDef {
    const char *name;
    int type;
};

const BatchAttrDef kBatchAttrs[B_COUNT] = {
    {"BatchErrorCode", TVX_TYPE_INT},
    {"BatchErrorMessage", TVX_TYPE_STRING},
    {"BatchID", TVX_TYPE_STRING},
    {"BatchStatus", TVX_TYPE_INT},
};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(const char *a, const char *b) {
    for (; *a && *b && lower(*a) == lower(*b); a++, b++) {
    }
    return !*a && !*b;
}

// Position of a batch attribute (the standard ones, then those a test added),
// matched case-insensitively; -1 when unknown.
int find_batch_attr(const BatchStore &store, const char *name) {
    for (int i = 0; i < B_COUNT; i++)
        if (same_name(name, kBatchAttrs[i].name))
            return i;
    for (size_t k = 0; k < store.extra.size(); k++)
        if (same_name(name, store.extra[k].name.c_str()))
            return B_COUNT + static_cast<int>(k);
    return -1;
}

int attr_count(const BatchStore &store) {
    return B_COUNT + static_cast<int>(store.extra.size());
}

int attr_flags(const BatchStore &store, int id) {
    return id < B_COUNT ? kBatchAttrs[id].type | TVX_BATCH_ATTR_READONLY
                        : store.extra[id - B_COUNT].flags;
}

const char *attr_name(const BatchStore &store, int id) {
    return id < B_COUNT ? kBatchAttrs[id].name : store.extra[id - B_COUNT].name.c_str();
}

// A failure a test asked for on the next call of this name (0: none).
int injected(BatchStore &store, const char *call) {
    auto it = store.faults.find(call);
    if (it == store.faults.end())
        return 0;
    int code = it->second;
    store.faults.erase(it);
    return code;
}

int injected_fail(TVXenv *env, const char *call) {
    int code = injected(*env->store, call);
    return code ? env_fail(env, code, std::string("Injected failure of ") + call) : 0;
}

std::string quoted(const char *s) {
    return std::string("'") + s + "'";
}

// Reads the batch's current record into the handle; false once discarded.
bool refresh(TVXbatch *b) {
    auto it = b->store->batches.find(b->id);
    if (it == b->store->batches.end()) {
        b->discarded = true;
        return false;
    }
    b->discarded = false;
    b->status = it->second.status;
    b->errorcode = it->second.errorcode;
    assign_if_changed(b->errormsg, it->second.errormsg);
    return true;
}

BatchRecord *live_record(TVXbatch *b) {
    auto it = b->store->batches.find(b->id);
    return it == b->store->batches.end() ? nullptr : &it->second;
}

int not_available(TVXbatch *b) {
    return env_fail(b->env, TVX_ERROR_DATA_NOT_AVAILABLE,
                    "Batch " + quoted(b->id.c_str()) + " is no longer available");
}

bool valid_status(int s) {
    return s >= TVX_BATCH_CREATED && s <= TVX_BATCH_COMPLETED;
}

BatchRecord *test_record(TVXenv *env, const char *batchid) {
    auto it = env->store->batches.find(batchid);
    return it == env->store->batches.end() ? nullptr : &it->second;
}

} // namespace

extern "C" {

TVX_API int TVXgetbatch(TVXenv *env, const char *batchid, TVXbatch **batchP) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!batchid || !batchP)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    return guard_env(env, [&] {
        if (env->store->batches.find(batchid) == env->store->batches.end())
            return env_fail(env, TVX_ERROR_BATCH_NOT_FOUND,
                            "Batch " + quoted(batchid) + " not found");
        auto *benv = new TVXenv;
        auto *b = new (std::nothrow) TVXbatch;
        if (!b) {
            delete benv;
            throw std::bad_alloc();
        }
        try {
            b->id = batchid;
        } catch (...) {
            delete benv;
            delete b;
            throw;
        }
        benv->store = env->store;
        benv->batchenv = true;
        b->store = env->store;
        b->env = benv;
        refresh(b);
        g_live[LIVE_ENV]++;
        g_live[LIVE_BATCH]++;
        *batchP = b;
        return 0;
    });
}

TVX_API TVXenv *TVXgetbatchenv(TVXbatch *batch) {
    return batch ? batch->env : nullptr;
}

TVX_API int TVXgetbatchattrflags(TVXbatch *batch, const char *attrname, int *flagsP) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname || !flagsP)
        return env_fail(batch->env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (int code = injected_fail(batch->env, "TVXgetbatchattrflags"))
        return code;
    int id = find_batch_attr(*batch->store, attrname);
    if (id < 0)
        return env_fail(batch->env, TVX_ERROR_UNKNOWN_ATTRIBUTE,
                        "Unknown attribute " + quoted(attrname));
    *flagsP = attr_flags(*batch->store, id);
    return 0;
}

TVX_API int TVXgetbatchintattr(TVXbatch *batch, const char *attrname, int *valueP) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname || !valueP)
        return env_fail(batch->env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (int code = injected_fail(batch->env, "TVXgetbatchintattr"))
        return code;
    return guard_env(batch->env, [&] {
        int id = find_batch_attr(*batch->store, attrname);
        if (id < 0)
            return env_fail(batch->env, TVX_ERROR_UNKNOWN_ATTRIBUTE,
                            "Unknown attribute " + quoted(attrname));
        if ((attr_flags(*batch->store, id) & TVX_BATCH_ATTR_TYPE_MASK) != TVX_TYPE_INT)
            return env_fail(batch->env, TVX_ERROR_INVALID_ARGUMENT,
                            "Attribute " + quoted(attrname) + " is not of type int");
        refresh(batch);
        if (id >= B_COUNT)
            *valueP = batch->store->extra[id - B_COUNT].ivalue;
        else
            *valueP = id == B_STATUS ? batch->status : batch->errorcode;
        return 0;
    });
}

TVX_API int TVXgetbatchstrattr(TVXbatch *batch, const char *attrname, const char **valueP) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname || !valueP)
        return env_fail(batch->env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (int code = injected_fail(batch->env, "TVXgetbatchstrattr"))
        return code;
    return guard_env(batch->env, [&] {
        int id = find_batch_attr(*batch->store, attrname);
        if (id < 0)
            return env_fail(batch->env, TVX_ERROR_UNKNOWN_ATTRIBUTE,
                            "Unknown attribute " + quoted(attrname));
        if ((attr_flags(*batch->store, id) & TVX_BATCH_ATTR_TYPE_MASK) != TVX_TYPE_STRING)
            return env_fail(batch->env, TVX_ERROR_INVALID_ARGUMENT,
                            "Attribute " + quoted(attrname) + " is not of type string");
        refresh(batch);
        if (id >= B_COUNT)
            *valueP = batch->store->extra[id - B_COUNT].svalue.c_str();
        else
            *valueP = id == B_ID ? batch->id.c_str() : batch->errormsg.c_str();
        return 0;
    });
}

TVX_API int TVXgetnumbatchattributes(TVXenv *env) {
    return env ? attr_count(*env->store) : 0;
}

TVX_API int TVXgetbatchattrname(TVXenv *env, int i, const char **attrnameP) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrnameP)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (int code = injected_fail(env, "TVXgetbatchattrname"))
        return code;
    if (i < 0 || i >= attr_count(*env->store))
        return env_fail(env, TVX_ERROR_INDEX_OUT_OF_RANGE,
                        "Batch attribute position " + std::to_string(i) + " out of range");
    *attrnameP = attr_name(*env->store, i);
    return 0;
}

TVX_API int TVXabortbatch(TVXbatch *batch) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (int code = injected_fail(batch->env, "TVXabortbatch"))
        return code;
    return guard_env(batch->env, [&] {
        BatchRecord *r = live_record(batch);
        if (!r)
            return not_available(batch);
        if (r->status != TVX_BATCH_SUBMITTED)
            return env_fail(batch->env, TVX_ERROR_INVALID_ARGUMENT,
                            "Batch " + quoted(batch->id.c_str()) +
                                " cannot be aborted: it is not submitted");
        r->status = TVX_BATCH_ABORTED;
        refresh(batch);
        return 0;
    });
}

TVX_API int TVXretrybatch(TVXbatch *batch) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (int code = injected_fail(batch->env, "TVXretrybatch"))
        return code;
    return guard_env(batch->env, [&] {
        BatchRecord *r = live_record(batch);
        if (!r)
            return not_available(batch);
        if (r->status != TVX_BATCH_ABORTED && r->status != TVX_BATCH_FAILED)
            return env_fail(batch->env, TVX_ERROR_INVALID_ARGUMENT,
                            "Batch " + quoted(batch->id.c_str()) +
                                " cannot be retried: it is neither aborted nor failed");
        r->status = TVX_BATCH_SUBMITTED;
        r->errorcode = 0;
        r->errormsg.clear();
        refresh(batch);
        return 0;
    });
}

TVX_API int TVXdiscardbatch(TVXbatch *batch) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (int code = injected_fail(batch->env, "TVXdiscardbatch"))
        return code;
    return guard_env(batch->env, [&] {
        if (!refresh(batch))
            return not_available(batch);
        batch->store->batches.erase(batch->id);
        batch->discarded = true;
        return 0;
    });
}

TVX_API int TVXupdatebatch(TVXbatch *batch) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (int code = injected_fail(batch->env, "TVXupdatebatch"))
        return code;
    return guard_env(batch->env, [&] {
        if (!refresh(batch))
            return not_available(batch);
        return 0;
    });
}

TVX_API int TVXgetbatchjsonsolution(TVXbatch *batch, char **jsonP) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!jsonP)
        return env_fail(batch->env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (int code = injected_fail(batch->env, "TVXgetbatchjsonsolution"))
        return code;
    return guard_env(batch->env, [&] {
        BatchRecord *r = live_record(batch);
        if (!r)
            return not_available(batch);
        if (r->status != TVX_BATCH_COMPLETED)
            return env_fail(batch->env, TVX_ERROR_DATA_NOT_AVAILABLE,
                            "No solution available for batch " + quoted(batch->id.c_str()));
        size_t n = r->json.size();
        char *text = static_cast<char *>(std::malloc(n + 1));
        if (!text)
            throw std::bad_alloc();
        std::memcpy(text, r->json.c_str(), n + 1);
        g_live[LIVE_TEXT]++;
        *jsonP = text;
        return 0;
    });
}

TVX_API int TVXwritebatchjsonsolution(TVXbatch *batch, const char *filename) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!filename)
        return env_fail(batch->env, TVX_ERROR_NULL_ARGUMENT, "NULL file name");
    if (int code = injected_fail(batch->env, "TVXwritebatchjsonsolution"))
        return code;
    return guard_env(batch->env, [&] {
        BatchRecord *r = live_record(batch);
        if (!r)
            return not_available(batch);
        if (r->status != TVX_BATCH_COMPLETED)
            return env_fail(batch->env, TVX_ERROR_DATA_NOT_AVAILABLE,
                            "No solution available for batch " + quoted(batch->id.c_str()));
        std::FILE *f = std::fopen(filename, "wb");
        if (!f)
            return env_fail(batch->env, TVX_ERROR_FILE_WRITE,
                            "Unable to open file " + quoted(filename) + " for writing");
        size_t n = r->json.size();
        bool ok = std::fwrite(r->json.data(), 1, n, f) == n;
        ok = (std::fclose(f) == 0) && ok;
        if (!ok)
            return env_fail(batch->env, TVX_ERROR_FILE_WRITE,
                            "Unable to write file " + quoted(filename));
        return 0;
    });
}

TVX_API int TVXfreebatch(TVXbatch *batch) {
    if (!batch)
        return TVX_ERROR_NULL_ARGUMENT;
    // An injected failure is reported, but the handle is freed all the same.
    int code = injected(*batch->store, "TVXfreebatch");
    TVXenv *env = batch->env;
    delete batch;
    g_live[LIVE_BATCH]--;
    env->released = true;
    env_unref(env);
    return code;
}

// ---- test aids

TVX_API int TVXtest_addbatch(TVXenv *env, const char *batchid, int status, const char *jsontext) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!batchid)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL batch ID");
    if (!valid_status(status))
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT,
                        "Invalid batch status " + std::to_string(status));
    return guard_env(env, [&] {
        BatchRecord rec;
        rec.status = status;
        if (jsontext)
            rec.json = jsontext;
        if (!env->store->batches.emplace(batchid, std::move(rec)).second)
            return env_fail(env, TVX_ERROR_INVALID_ARGUMENT,
                            "Batch " + quoted(batchid) + " already exists");
        return 0;
    });
}

TVX_API int TVXtest_setbatchstatus(TVXenv *env, const char *batchid, int status) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!batchid)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL batch ID");
    if (!valid_status(status))
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT,
                        "Invalid batch status " + std::to_string(status));
    return guard_env(env, [&] {
        BatchRecord *r = test_record(env, batchid);
        if (!r)
            return env_fail(env, TVX_ERROR_BATCH_NOT_FOUND,
                            "Batch " + quoted(batchid) + " not found");
        r->status = status;
        return 0;
    });
}

TVX_API int TVXtest_setbatcherror(TVXenv *env, const char *batchid, int errorcode,
                                  const char *errormessage) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!batchid || !errormessage)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    return guard_env(env, [&] {
        BatchRecord *r = test_record(env, batchid);
        if (!r)
            return env_fail(env, TVX_ERROR_BATCH_NOT_FOUND,
                            "Batch " + quoted(batchid) + " not found");
        r->errormsg = errormessage;
        r->errorcode = errorcode;
        return 0;
    });
}

TVX_API int TVXtest_addbatchattr(TVXenv *env, const char *attrname, int flags, int intvalue,
                                 const char *strvalue) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!attrname || !strvalue)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    return guard_env(env, [&] {
        if (find_batch_attr(*env->store, attrname) >= 0)
            return env_fail(env, TVX_ERROR_INVALID_ARGUMENT,
                            "Batch attribute " + quoted(attrname) + " already exists");
        env->store->extra.push_back({attrname, flags, intvalue, strvalue});
        return 0;
    });
}

TVX_API int TVXtest_failbatchcall(TVXenv *env, const char *call, int code) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (!call)
        return env_fail(env, TVX_ERROR_NULL_ARGUMENT, "NULL argument");
    if (code == 0)
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT, "Injected error code must be nonzero");
    return guard_env(env, [&] {
        env->store->faults[call] = code;
        return 0;
    });
}

} // extern "C"
