// Channel names per model, from the table of models. A model without names of its own, an
// unknown model and any channel beyond a model's table get the generic "IN n" / "OUT n".
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvern::driver {

// Zeroes `name` (`size` bytes) and writes the name of `channel` (0-based) into it.
void channelName(uint32_t model, bool isInput, int channel, char* name, std::size_t size);

} // namespace halvern::driver
