// Asking the system's shell to open a program.
#pragma once

#include <cstdint>

namespace halvern::platform {

// Windows: ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOWNORMAL); the
// result as the shell gives it (above 32 on success). POSIX has no such shell: 2 (not found).
intptr_t shellExecuteOpen(const char* file, const char* parameters);

} // namespace halvern::platform
