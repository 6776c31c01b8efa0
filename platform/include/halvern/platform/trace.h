// Debug trace (OutputDebugStringA). Off costs one branch.
#pragma once

namespace halvern::platform {

// Windows: OutputDebugStringA. POSIX: standard error when HALVERN_TRACE=1. When a hook is
// installed (tests), every trace goes to it instead.
void outputDebugString(const char* text);
// Whether outputDebugString would show a text now, so that callers skip formatting when not.
// Windows: always (a debugger may listen at any time). POSIX: a hook or HALVERN_TRACE=1.
bool traceEnabled();

using TraceHook = void (*)(const char* text, void* context);
void setTraceHook(TraceHook hook, void* context);

} // namespace halvern::platform
