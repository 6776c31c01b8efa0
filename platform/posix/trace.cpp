// Debug trace: standard error when HALVERN_TRACE=1, or the hook a test installed.
#include "halvern/platform/trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace halvern::platform {

namespace {
std::atomic<bool> hookInstalled{false};
std::mutex hookMutex; // keeps a hook alive while it runs, so removing it is safe
TraceHook currentHook = nullptr;
void* currentContext = nullptr;

bool traceToStderr() {
    static const bool on = [] {
        const char* v = std::getenv("HALVERN_TRACE");
        return v && std::strcmp(v, "1") == 0;
    }();
    return on;
}
} // namespace

void outputDebugString(const char* text) {
    if (text == nullptr)
        return;
    if (hookInstalled.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(hookMutex);
        if (currentHook) {
            currentHook(text, currentContext);
            return;
        }
    }
    if (traceToStderr()) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}

bool traceEnabled() {
    return hookInstalled.load(std::memory_order_acquire) || traceToStderr();
}

void setTraceHook(TraceHook hook, void* context) {
    std::lock_guard<std::mutex> lock(hookMutex);
    currentHook = hook;
    currentContext = context;
    hookInstalled.store(hook != nullptr, std::memory_order_release);
}

} // namespace halvern::platform
