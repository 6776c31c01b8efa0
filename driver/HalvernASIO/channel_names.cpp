#include "channel_names.h"

#include "halvern/protocol/bus_protocol.h"

#include <cstdio>
#include <cstring>

namespace halvern::driver {

namespace {

constexpr const char* kInputs[] = {"MIC1", "MIC2", "OTG3", "OTG4", "IN5",  "IN6",
                                   "IN7",  "IN8",  "IN9",  "IN10", "IN11", "IN12"};
constexpr const char* kOutputs[] = {"OUT1", "OUT2", "OUT3",  "OUT4",  "OUT5",  "OUT6",  "OUT7",
                                    "OUT8", "OUT9", "OUT10", "OUT11", "OUT12", "OUT13", "OUT14"};

constexpr ModelChannelNames kModels[] = {
    {protocol::kModelTern, kInputs, 12, kOutputs, 12},
    {protocol::kModelWren, kInputs, 12, kOutputs, 14},
};

} // namespace

const ModelChannelNames* channelNamesForModel(uint32_t model) {
    for (const auto& m : kModels) {
        if (m.model == model)
            return &m;
    }
    return nullptr;
}

void channelName(uint32_t model, bool isInput, int channel, char* name, std::size_t size) {
    std::memset(name, 0, size);
    const ModelChannelNames* table = channelNamesForModel(model);
    const char* const* names = nullptr;
    int count = 0;
    if (table != nullptr) {
        names = isInput ? table->inputs : table->outputs;
        count = isInput ? table->inputCount : table->outputCount;
    }
    if (channel >= 0 && channel < count)
        std::snprintf(name, size, "%s", names[channel]);
    else
        std::snprintf(name, size, isInput ? "IN %d" : "OUT %d", channel + 1);
}

} // namespace halvern::driver
