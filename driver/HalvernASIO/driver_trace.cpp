#include "driver_trace.h"

#include "halvern/platform/trace.h"

#include <cstdarg>
#include <cstdio>

namespace halvern::driver {

namespace {

// The formatters' one body; each passes its own buffer. Nothing is formatted while no one
// listens.
void emit(char* buffer, const char* format, va_list args) {
    if (!platform::traceEnabled())
        return;
    std::vsnprintf(buffer, kTraceBufferSize, format, args);
    buffer[kTraceBufferSize - 1] = '\0';
    platform::outputDebugString(buffer);
}

} // namespace

// One buffer per formatter, as before, but per thread: the host thread and the listener (or the
// audio thread and its starter) trace at the same time and must not write into one buffer.
void hostTrace(const char* format, ...) {
    static thread_local char buffer[kTraceBufferSize];
    va_list args;
    va_start(args, format);
    emit(buffer, format, args);
    va_end(args);
}

void audioTrace(const char* format, ...) {
    static thread_local char buffer[kTraceBufferSize];
    va_list args;
    va_start(args, format);
    emit(buffer, format, args);
    va_end(args);
}

} // namespace halvern::driver
