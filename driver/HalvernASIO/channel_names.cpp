#include "channel_names.h"

#include "halvern/protocol/models.h"

#include <cstdio>
#include <cstring>

namespace halvern::driver {

void channelName(uint32_t model, bool isInput, int channel, char* name, std::size_t size) {
    std::memset(name, 0, size);
    if (const char* own = protocol::channelName(model, isInput, channel))
        std::snprintf(name, size, "%s", own);
    else
        std::snprintf(name, size, isInput ? "IN %d" : "OUT %d", channel + 1);
}

} // namespace halvern::driver
