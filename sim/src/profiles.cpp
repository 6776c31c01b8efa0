// The models the simulator can be: their codes and channel counts.
#include "halvern/sim/control.h"
#include "halvern/sim/simulator.h"

#include <cctype>
#include <cstring>

namespace halvern::sim {

ModelProfile profileForCode(uint32_t code) {
    switch (code) {
    case protocol::kModelTern:
        return ModelProfile{code, "Tern", 12, 12};
    case protocol::kModelWren:
        return ModelProfile{code, "Wren", 12, 14};
    case protocol::kModelKite:
        return ModelProfile{code, "Kite", 4, 4};
    default:
        return ModelProfile{code, "Generic", 8, 8};
    }
}

bool parseModel(const std::string& text, ModelProfile& out) {
    std::string lower;
    for (char ch : text)
        lower.push_back(char(std::tolower(static_cast<unsigned char>(ch))));
    if (lower == "tern") {
        out = profileForCode(protocol::kModelTern);
        return true;
    }
    if (lower == "wren") {
        out = profileForCode(protocol::kModelWren);
        return true;
    }
    if (lower == "kite") {
        out = profileForCode(protocol::kModelKite);
        return true;
    }
    uint32_t code = 0;
    if (!parseUnsigned(text, code))
        return false;
    out = profileForCode(code);
    return true;
}

bool firmwareFromText(const std::string& text, uint8_t out[protocol::kFirmwareVersionBytes]) {
    if (text.size() > protocol::kFirmwareVersionBytes)
        return false;
    std::memset(out, ' ', protocol::kFirmwareVersionBytes);
    std::memcpy(out, text.data(), text.size());
    return true;
}

} // namespace halvern::sim
