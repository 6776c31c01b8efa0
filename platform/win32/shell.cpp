#include "halvern/platform/shell.h"

#include <windows.h>
// Needs the types of windows.h.
#include <shellapi.h>

namespace halvern::platform {

intptr_t shellExecuteOpen(const char* file, const char* parameters) {
    return reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOWNORMAL));
}

} // namespace halvern::platform
