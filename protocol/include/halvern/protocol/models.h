// The models of the interface: code, name, channel counts and channel names. The simulator, the
// ASIO driver and the panel all read this one table; what each does with a code the table does
// not know (a generic profile, generic names, an unknown device) stays with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace halvern::protocol {

// Model codes, the reply of IOCTL_DEVICE_GET_PID.
enum ModelCode : uint32_t {
    kModelTern = 1,
    kModelWren = 2,
    kModelKite = 15,
};

// The device's own channel names, in channel order; a model names its first `inputs` and
// `outputs` channels from these.
inline constexpr const char* kInputNames[] = {"MIC1", "MIC2", "OTG3", "OTG4", "IN5",  "IN6",
                                              "IN7",  "IN8",  "IN9",  "IN10", "IN11", "IN12"};
inline constexpr const char* kOutputNames[] = {"OUT1",  "OUT2",  "OUT3",  "OUT4", "OUT5",
                                               "OUT6",  "OUT7",  "OUT8",  "OUT9", "OUT10",
                                               "OUT11", "OUT12", "OUT13", "OUT14"};

struct Model {
    ModelCode code;
    const char* name; // as the window title shows it
    uint32_t inputs;  // channel counts
    uint32_t outputs;
    // Null: the model has no names of its own, its channels get generic ones.
    const char* const* inputNames;
    const char* const* outputNames;
};

inline constexpr Model kModels[] = {
    // code      name    in  out  input names  output names
    {kModelTern, "Tern", 12, 12, kInputNames, kOutputNames},
    {kModelWren, "Wren", 12, 14, kInputNames, kOutputNames},
    {kModelKite, "Kite", 4, 4, nullptr, nullptr},
};

// The model of `code`, or null when the table does not know it.
constexpr const Model* findModel(uint32_t code) {
    for (const Model& m : kModels)
        if (m.code == code)
            return &m;
    return nullptr;
}

// The name of channel `channel` (0-based) of `code`, or null when the model has none for it.
constexpr const char* channelName(uint32_t code, bool isInput, int channel) {
    const Model* m = findModel(code);
    if (m == nullptr)
        return nullptr;
    const char* const* names = isInput ? m->inputNames : m->outputNames;
    const uint32_t count = isInput ? m->inputs : m->outputs;
    if (names == nullptr || channel < 0 || uint32_t(channel) >= count)
        return nullptr;
    return names[channel];
}

// No model has more channels than the device has names (checked on the counts alone: the
// sanitizers' builds do not take a global's address as a constant).
constexpr bool namesCoverChannels() {
    for (const Model& m : kModels)
        if (m.inputs > std::size(kInputNames) || m.outputs > std::size(kOutputNames))
            return false;
    return true;
}
static_assert(namesCoverChannels(), "a model has more channels than names");

} // namespace halvern::protocol
