// Channel names per model. Tern and Wren have fixed names; any other model, and any channel
// beyond a model's table, gets the generic "IN n" / "OUT n".
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvern::driver {

struct ModelChannelNames {
    uint32_t model;
    const char* const* inputs;
    int inputCount;
    const char* const* outputs;
    int outputCount;
};

// The table of a model, or null when the model has only generic names.
const ModelChannelNames* channelNamesForModel(uint32_t model);

// Zeroes `name` (`size` bytes) and writes the name of `channel` (0-based) into it.
void channelName(uint32_t model, bool isInput, int channel, char* name, std::size_t size);

} // namespace halvern::driver
