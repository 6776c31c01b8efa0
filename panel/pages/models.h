// What tells the three mixer pages apart, as data: texts, channels, matrix cells, log lines and
// the keys of each page's state file. The values live side by side in models.cpp.
#pragma once

#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <vector>

class Button;
class Knob;
class kite;
class tern;
class wren;

namespace halvern::pages {

// Matrix m, row r (destination output), column c (source input) of the mixer matrix.
struct Cell {
    uint8_t m, r, c;
};

// What an output's volume handler reports.
enum class VolumeReport {
    ChangeAndLevel, // the knob's value, then the effective level in dB
    Gain,           // the linear gain sent
    FailureOnly,    // nothing on success
};

struct OutputModel {
    const char* title;
    bool titleTranslated;
    uint8_t gains[2]; // output gains (left, right)
    VolumeReport report;
    const char* changedText; // ChangeAndLevel only
    const char* setText;     // ChangeAndLevel and Gain
    const char* failText;
    // Mute: whether the volume handler is run with -80 while muting (else with the knob's
    // value), and the lines logged after it (null: none).
    bool muteRunsMinimum;
    const char* muteOnText;
    const char* muteOffText;
    const char* dimOnText;
    const char* dimOffText;
    // The phone (OTG) input mixed into this output; null caption: no phone knob.
    const char* phoneCaption;
    Cell phoneCells[2];
    const char* phoneSetText;
    const char* phoneFailText;
};

struct PageModel {
    const char* context;     // the class name: translation context of the page's texts
    const char* openFailure; // logged when the device does not open
    std::vector<uint8_t> fullVolumeOutputs; // setOutVolume(channel, 100) at construction
    const char* fileName;                   // appended to the application data folder
    int micMaximum;
    int micDisplayOffset;
    const char* captionStyle; // "Gain" and "Volume"
    bool micColumnStretch;
    bool logSaves;
    // Direct monitoring: the cells each microphone channel (1, 2, ...) switches.
    std::vector<std::vector<Cell>> directCells;
    // Set to 1.0 at construction, besides all 96 output gains.
    std::vector<Cell> initialCells;
};

extern const PageModel kWrenModel;
extern const PageModel kTernModel;
extern const PageModel kKiteModel;

extern const OutputModel kWrenSpeaker;
extern const OutputModel kWrenHeadphone;
extern const OutputModel kTernHeadphone;
extern const OutputModel kKiteHeadphone;

// One key of a page's state file: the control it restores, and its value when absent.
template <class Page> struct StateKey {
    const char* key;
    int fallback;                    // bool keys: 0 or 1
    Knob* Page::*knob = nullptr;     // an int key
    Button* Page::*button = nullptr; // a bool key
};

// In the order in which the start-up load reads them.
extern const std::vector<StateKey<wren>> kWrenKeys;
extern const std::vector<StateKey<tern>> kTernKeys;
extern const std::vector<StateKey<kite>> kKiteKeys;

} // namespace halvern::pages
