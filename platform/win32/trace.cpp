// Debug trace through OutputDebugStringA, or to the hook a test installed.
#include "halvern/platform/trace.h"

#include <windows.h>

#include <atomic>

namespace halvern::platform {

namespace {
std::atomic<TraceHook> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};
} // namespace

void outputDebugString(const char* text) {
    if (text == nullptr)
        return;
    if (TraceHook hook = g_hook.load(std::memory_order_acquire)) {
        hook(text, g_hookContext.load(std::memory_order_acquire));
        return;
    }
    OutputDebugStringA(text);
}

bool traceEnabled() {
    return true;
}

void setTraceHook(TraceHook hook, void* context) {
    // Context first, so that a trace racing with the installation never sees the new hook with
    // the old context.
    g_hookContext.store(context, std::memory_order_release);
    g_hook.store(hook, std::memory_order_release);
}

} // namespace halvern::platform
