#include "halvern/platform/termination.h"

namespace halvern::platform {

int terminationRequestFd() {
    return -1;
}

} // namespace halvern::platform
