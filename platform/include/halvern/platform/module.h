// The module (DLL / shared object) the code runs in.
#pragma once

#include <cstdint>

namespace halvern::platform {

// GetModuleHandleA(name). POSIX: the shared object that contains `addressInside`; `name` is
// only checked to be non-empty.
void* moduleHandle(const char* name, const void* addressInside);
// GetModuleFileNameA: the full path, truncated to size - 1; returns its length (0 on failure).
uint32_t moduleFileName(void* module, char* buffer, uint32_t size);
// Directory of the running executable, without a trailing separator.
bool executableDirectory(char* buffer, uint32_t size);

} // namespace halvern::platform
