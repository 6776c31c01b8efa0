// The driver's two debug-trace formatters: one for the host-facing operations (and the pipe
// listener), one for the audio thread and its start and stop. printf rules, cut at 1023
// characters. Never called on the buffer-switch path.
#pragma once

#if defined(__GNUC__)
#define HALVERN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define HALVERN_PRINTF(fmt, args)
#endif

namespace halvern::driver {

constexpr int kTraceBufferSize = 1024;

void hostTrace(const char* format, ...) HALVERN_PRINTF(1, 2);
void audioTrace(const char* format, ...) HALVERN_PRINTF(1, 2);

} // namespace halvern::driver
