// Environments, error messages, freeing of handed-out texts, live counters.
#include "internal.hpp"

#include <cstdlib>

namespace tvx {

std::atomic<int> g_live[4];

namespace {
void set_message(std::string &dst, const std::string &msg) noexcept {
    try {
        dst = msg;
    } catch (...) {
        dst = "Out of memory"; // fits the small-string buffer: no allocation
    }
}
} // namespace

int env_fail(TVXenv *env, int code, const std::string &msg) {
    if (env)
        set_message(env->errmsg, msg);
    return code;
}

int model_fail(TVXmodel *model, int code, const std::string &msg) {
    if (model)
        set_message(model->errmsg, msg);
    return code;
}

void env_unref(TVXenv *env) {
    if (env->released && env->nmodels == 0) {
        delete env;
        g_live[LIVE_ENV]--;
    }
}

} // namespace tvx

using namespace tvx;

extern "C" {

TVX_API int TVXemptyenv(TVXenv **envP) {
    if (!envP)
        return TVX_ERROR_NULL_ARGUMENT;
    try {
        auto *env = new TVXenv;
        try {
            env->store = std::make_shared<BatchStore>();
        } catch (...) {
            delete env;
            throw;
        }
        *envP = env;
        g_live[LIVE_ENV]++;
        return 0;
    } catch (...) {
        return TVX_ERROR_OUT_OF_MEMORY;
    }
}

TVX_API int TVXfreeenv(TVXenv *env) {
    if (!env)
        return TVX_ERROR_NULL_ARGUMENT;
    if (env->batchenv)
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT,
                        "Environment belongs to a batch and is freed with it");
    if (env->released)
        return env_fail(env, TVX_ERROR_INVALID_ARGUMENT, "Environment has already been freed");
    env->released = true;
    env_unref(env);
    return 0;
}

TVX_API const char *TVXgeterrormsg(TVXenv *env) {
    if (!env)
        return nullptr;
    return env->errmsg.c_str();
}

TVX_API int TVXfree(void *ptr) {
    if (ptr) {
        std::free(ptr);
        g_live[LIVE_TEXT]--;
    }
    return 0;
}

TVX_API int TVXtest_numlive(int kind) {
    if (kind < 0 || kind > 3)
        return -1;
    return g_live[kind].load();
}

} // extern "C"
