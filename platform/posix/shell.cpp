#include "halvern/platform/shell.h"

namespace halvern::platform {

intptr_t shellExecuteOpen(const char*, const char*) {
    return 2;
}

} // namespace halvern::platform
