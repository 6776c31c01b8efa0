// The three models side by side. Everything a page does not share with the others is here;
// the behaviour itself is in page_engine.cpp.
#include "models.h"

#include "kite.h"
#include "tern.h"
#include "wren.h"

#include <QtGlobal>

namespace halvern::pages {

namespace {
constexpr const char* kCaption = "font-size: 12px; color: white;";
constexpr const char* kKiteCaption = " font-size: 12px; color: white;";

// Cells every model sets once: matrix 0 (r, r - 4) for r = 4 to 11 and matrix 5 (r, r) for
// r = 0 to 7. What they mean belongs to the kernel driver.
std::vector<Cell> commonInitialCells() {
    std::vector<Cell> cells;
    for (uint8_t r = 4; r <= 11; ++r)
        cells.push_back({0, r, uint8_t(r - 4)});
    for (uint8_t r = 0; r <= 7; ++r)
        cells.push_back({5, r, r});
    return cells;
}

std::vector<Cell> with(std::vector<Cell> cells, std::initializer_list<Cell> more) {
    cells.insert(cells.end(), more);
    return cells;
}

// The texts the shared column builders translate, listed once per context for the
// translation tools.
[[maybe_unused]] const char* const kSharedTexts[] = {
    QT_TRANSLATE_NOOP("wren", "Gain"),   QT_TRANSLATE_NOOP("wren", "Volume"),
    QT_TRANSLATE_NOOP("tern", "Gain"),   QT_TRANSLATE_NOOP("tern", "Volume"),
    QT_TRANSLATE_NOOP("kite", "Gain"),   QT_TRANSLATE_NOOP("kite", "Volume"),
    QT_TRANSLATE_NOOP("wren", "DIRECT"), QT_TRANSLATE_NOOP("tern", "DIRECT"),
    QT_TRANSLATE_NOOP("kite", "DIRECT"), QT_TRANSLATE_NOOP("wren", "MIC1"),
    QT_TRANSLATE_NOOP("wren", "MIC2"),   QT_TRANSLATE_NOOP("tern", "INPUT"),
    QT_TRANSLATE_NOOP("kite", "MIC"),    QT_TRANSLATE_NOOP("tern", "MIC"),
    QT_TRANSLATE_NOOP("tern", "INST"),
};
} // namespace

const PageModel kWrenModel = {
    "wren",
    "Failed to create device in wren.",
    {1, 2, 5, 6},
    "/wren.ini",
    56,
    9,
    kCaption,
    true,
    true,
    {{{2, 0, 0}, {2, 1, 0}, {2, 4, 0}, {2, 5, 0}}, {{2, 0, 1}, {2, 1, 1}, {2, 4, 1}, {2, 5, 1}}},
    with(commonInitialCells(), {{3, 0, 0},
                                {3, 1, 1},
                                {3, 4, 0},
                                {3, 5, 1},
                                {4, 0, 0},
                                {4, 1, 1},
                                {4, 2, 0},
                                {4, 3, 1},
                                {4, 4, 0},
                                {4, 5, 1}}),
};

const PageModel kTernModel = {
    "tern",
    "Failed to create device in tern.",
    {1, 2},
    "/tern.ini",
    42,
    0,
    kCaption,
    false,
    false,
    {{{2, 0, 0}, {2, 1, 1}}},
    with(commonInitialCells(), {{3, 0, 0}, {3, 1, 1}, {4, 0, 0}, {4, 1, 1}, {4, 2, 0}, {4, 3, 1}}),
};

const PageModel kKiteModel = {
    "kite",
    "Failed to create device in kite.",
    {1, 2},
    "/kite.ini",
    42,
    0,
    kKiteCaption,
    false,
    false,
    {{{2, 0, 0}, {2, 1, 1}}},
    // The phone input reaches the headphones at unity: the Kite has no knob for it.
    with(commonInitialCells(),
         {{3, 0, 0}, {3, 1, 1}, {4, 0, 0}, {4, 1, 1}, {4, 2, 0}, {4, 3, 1}, {2, 0, 2}, {2, 1, 3}}),
};

const OutputModel kWrenSpeaker = {
    QT_TRANSLATE_NOOP("wren", "SPEAKER"),
    true,
    {0, 1},
    VolumeReport::ChangeAndLevel,
    "Speaker Knob value changed:",
    "Speaker volume set to:",
    "Failed to set speaker volume.",
    true,
    "Speaker Mute Button Clicked: Mute ON",
    "Speaker Mute Button Clicked: Mute OFF",
    nullptr,
    nullptr,
    QT_TRANSLATE_NOOP("wren", "Phone To SP Volume"),
    {{2, 0, 2}, {2, 1, 3}},
    "OTG to SP volume set to:",
    "Failed to set OTG to SP volume.",
};

const OutputModel kWrenHeadphone = {
    QT_TRANSLATE_NOOP("wren", "HEADPHONE"),
    true,
    {4, 5},
    VolumeReport::ChangeAndLevel,
    "Headphone Knob value changed:",
    "Headphone volume set to:",
    "Failed to set headphone volume.",
    false,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    QT_TRANSLATE_NOOP("wren", "Phone To HP Volume"),
    {{2, 4, 2}, {2, 5, 3}},
    "OTG to HP volume set to:",
    "Failed to set OTG to HP volume.",
};

const OutputModel kTernHeadphone = {
    QT_TRANSLATE_NOOP("tern", "HEADPHONE"),
    true,
    {0, 1},
    VolumeReport::Gain,
    nullptr,
    "Headphone volume set to:",
    "Failed to set headphone volume.",
    true,
    "Headphone Mute Button Clicked: Mute ON",
    "Headphone Mute Button Clicked: Mute OFF",
    "Headphone Dim Button Clicked: Dim ON",
    "Headphone Dim Button Clicked: Dim OFF",
    QT_TRANSLATE_NOOP("tern", "Phone To HP Volume"),
    {{2, 0, 2}, {2, 1, 3}},
    "OTG to HP volume set to:",
    "Failed to set OTG to HP volume.",
};

const OutputModel kKiteHeadphone = {
    "HEADPHONE",
    false,
    {0, 1},
    VolumeReport::FailureOnly,
    nullptr,
    nullptr,
    "Failed to set headphone volume.",
    true,
    "Headphone Mute Button Clicked: Mute ON",
    "Headphone Mute Button Clicked: Mute OFF",
    "Headphone Dim Button Clicked: Dim ON",
    "Headphone Dim Button Clicked: Dim OFF",
    nullptr,
    {},
    nullptr,
    nullptr,
};

// The state files, in the order the start-up load reads them.
const std::vector<StateKey<wren>> kWrenKeys = {
    {"Button/Mic120dBIsChecked", 0, nullptr, &wren::mic1PadButton},
    {"Button/Mic148VIsChecked", 0, nullptr, &wren::mic1PhantomButton},
    {"Button/MonitorMic1IsChecked", 0, nullptr, &wren::mic1DirectButton},
    {"Dial/Mic1Value", 0, &wren::mic1Knob},
    {"Dial/Mic2Value", 0, &wren::mic2Knob},
    {"Button/Mic220dBIsChecked", 0, nullptr, &wren::mic2PadButton},
    {"Button/Mic248VIsChecked", 0, nullptr, &wren::mic2PhantomButton},
    {"Button/MonitorMic2IsChecked", 0, nullptr, &wren::mic2DirectButton},
    {"Dial/SpeakerValue", -80, &wren::speakerKnob},
    {"Button/SpeakerMuteIsChecked", 0, nullptr, &wren::speakerMuteButton},
    {"Button/SpeakerDimIsChecked", 0, nullptr, &wren::speakerDimButton},
    {"Dial/HeadphoneValue", -80, &wren::headphoneKnob},
    {"Button/HeadphoneMuteIsChecked", 0, nullptr, &wren::headphoneMuteButton},
    {"Button/HeadphoneDimIsChecked", 0, nullptr, &wren::headphoneDimButton},
    {"Dial/OtgToHpValue", 0, &wren::phoneToHeadphoneKnob},
    {"Dial/OtgToSPValue", 0, &wren::phoneToSpeakerKnob},
};

const std::vector<StateKey<tern>> kTernKeys = {
    {"Button/MicInstrIsChecked", 0, nullptr, &tern::micInstrButton},
    {"Button/Mic20dBIsChecked", 0, nullptr, &tern::micPadButton},
    {"Button/Mic48VIsChecked", 0, nullptr, &tern::micPhantomButton},
    {"Button/MonitorMicIsChecked", 0, nullptr, &tern::micDirectButton},
    {"Dial/MicValue", 0, &tern::micKnob},
    {"Dial/HeadphoneValue", -80, &tern::headphoneKnob},
    {"Button/HeadphoneMuteIsChecked", 0, nullptr, &tern::headphoneMuteButton},
    {"Button/HeadphoneDimIsChecked", 0, nullptr, &tern::headphoneDimButton},
    {"Dial/OtgToHpValue", 0, &tern::phoneToHeadphoneKnob},
};

const std::vector<StateKey<kite>> kKiteKeys = {
    {"Button/MonitorMicIsChecked", 0, nullptr, &kite::micDirectButton},
    {"Dial/MicValue", 0, &kite::micKnob},
    {"Dial/HeadphoneValue", -80, &kite::headphoneKnob},
    {"Button/HeadphoneMuteIsChecked", 0, nullptr, &kite::headphoneMuteButton},
    {"Button/HeadphoneDimIsChecked", 0, nullptr, &kite::headphoneDimButton},
};

} // namespace halvern::pages
