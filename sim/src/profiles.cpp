// The models the simulator can be: those of the table of models, and a generic one for any
// other code.
#include "halvern/protocol/models.h"
#include "halvern/sim/control.h"
#include "halvern/sim/simulator.h"

#include <cctype>
#include <cstring>

namespace halvern::sim {

ModelProfile profileForCode(uint32_t code) {
    if (const protocol::Model* m = protocol::findModel(code))
        return ModelProfile{code, m->name, m->inputs, m->outputs};
    return ModelProfile{code, "Generic", 8, 8};
}

namespace {
bool sameLetters(const std::string& text, const char* name) {
    if (text.size() != std::strlen(name))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}
} // namespace

bool parseModel(const std::string& text, ModelProfile& out) {
    for (const protocol::Model& m : protocol::kModels) {
        if (sameLetters(text, m.name)) {
            out = profileForCode(m.code);
            return true;
        }
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
