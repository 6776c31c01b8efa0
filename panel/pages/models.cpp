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
    /*context=*/"wren",
    /*openFailure=*/"Failed to create device in wren.",
    /*fullVolumeOutputs=*/{1, 2, 5, 6},
    /*fileName=*/"/wren.ini",
    /*micMaximum=*/56,
    /*micDisplayOffset=*/9,
    /*captionStyle=*/kCaption,
    /*micColumnStretch=*/true,
    /*logSaves=*/true,
    /*directCells=*/
    {{{2, 0, 0}, {2, 1, 0}, {2, 4, 0}, {2, 5, 0}}, {{2, 0, 1}, {2, 1, 1}, {2, 4, 1}, {2, 5, 1}}},
    /*initialCells=*/
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
    /*context=*/"tern",
    /*openFailure=*/"Failed to create device in tern.",
    /*fullVolumeOutputs=*/{1, 2},
    /*fileName=*/"/tern.ini",
    /*micMaximum=*/42,
    /*micDisplayOffset=*/0,
    /*captionStyle=*/kCaption,
    /*micColumnStretch=*/false,
    /*logSaves=*/false,
    /*directCells=*/{{{2, 0, 0}, {2, 1, 1}}},
    /*initialCells=*/
    with(commonInitialCells(), {{3, 0, 0}, {3, 1, 1}, {4, 0, 0}, {4, 1, 1}, {4, 2, 0}, {4, 3, 1}}),
};

const PageModel kKiteModel = {
    /*context=*/"kite",
    /*openFailure=*/"Failed to create device in kite.",
    /*fullVolumeOutputs=*/{1, 2},
    /*fileName=*/"/kite.ini",
    /*micMaximum=*/42,
    /*micDisplayOffset=*/0,
    /*captionStyle=*/kKiteCaption,
    /*micColumnStretch=*/false,
    /*logSaves=*/false,
    /*directCells=*/{{{2, 0, 0}, {2, 1, 1}}},
    // The phone input reaches the headphones at unity: the Kite has no knob for it.
    /*initialCells=*/
    with(commonInitialCells(),
         {{3, 0, 0}, {3, 1, 1}, {4, 0, 0}, {4, 1, 1}, {4, 2, 0}, {4, 3, 1}, {2, 0, 2}, {2, 1, 3}}),
};

const OutputModel kWrenSpeaker = {
    /*title=*/QT_TRANSLATE_NOOP("wren", "SPEAKER"),
    /*titleTranslated=*/true,
    /*gains=*/{0, 1},
    /*report=*/VolumeReport::ChangeAndLevel,
    /*changedText=*/"Speaker Knob value changed:",
    /*setText=*/"Speaker volume set to:",
    /*failText=*/"Failed to set speaker volume.",
    /*muteRunsMinimum=*/true,
    /*muteOnText=*/"Speaker Mute Button Clicked: Mute ON",
    /*muteOffText=*/"Speaker Mute Button Clicked: Mute OFF",
    /*dimOnText=*/nullptr,
    /*dimOffText=*/nullptr,
    /*phoneCaption=*/QT_TRANSLATE_NOOP("wren", "Phone To SP Volume"),
    /*phoneCells=*/{{2, 0, 2}, {2, 1, 3}},
    /*phoneSetText=*/"OTG to SP volume set to:",
    /*phoneFailText=*/"Failed to set OTG to SP volume.",
};

const OutputModel kWrenHeadphone = {
    /*title=*/QT_TRANSLATE_NOOP("wren", "HEADPHONE"),
    /*titleTranslated=*/true,
    /*gains=*/{4, 5},
    /*report=*/VolumeReport::ChangeAndLevel,
    /*changedText=*/"Headphone Knob value changed:",
    /*setText=*/"Headphone volume set to:",
    /*failText=*/"Failed to set headphone volume.",
    /*muteRunsMinimum=*/false,
    /*muteOnText=*/nullptr,
    /*muteOffText=*/nullptr,
    /*dimOnText=*/nullptr,
    /*dimOffText=*/nullptr,
    /*phoneCaption=*/QT_TRANSLATE_NOOP("wren", "Phone To HP Volume"),
    /*phoneCells=*/{{2, 4, 2}, {2, 5, 3}},
    /*phoneSetText=*/"OTG to HP volume set to:",
    /*phoneFailText=*/"Failed to set OTG to HP volume.",
};

const OutputModel kTernHeadphone = {
    /*title=*/QT_TRANSLATE_NOOP("tern", "HEADPHONE"),
    /*titleTranslated=*/true,
    /*gains=*/{0, 1},
    /*report=*/VolumeReport::Gain,
    /*changedText=*/nullptr,
    /*setText=*/"Headphone volume set to:",
    /*failText=*/"Failed to set headphone volume.",
    /*muteRunsMinimum=*/true,
    /*muteOnText=*/"Headphone Mute Button Clicked: Mute ON",
    /*muteOffText=*/"Headphone Mute Button Clicked: Mute OFF",
    /*dimOnText=*/"Headphone Dim Button Clicked: Dim ON",
    /*dimOffText=*/"Headphone Dim Button Clicked: Dim OFF",
    /*phoneCaption=*/QT_TRANSLATE_NOOP("tern", "Phone To HP Volume"),
    /*phoneCells=*/{{2, 0, 2}, {2, 1, 3}},
    /*phoneSetText=*/"OTG to HP volume set to:",
    /*phoneFailText=*/"Failed to set OTG to HP volume.",
};

const OutputModel kKiteHeadphone = {
    /*title=*/"HEADPHONE",
    /*titleTranslated=*/false,
    /*gains=*/{0, 1},
    /*report=*/VolumeReport::FailureOnly,
    /*changedText=*/nullptr,
    /*setText=*/nullptr,
    /*failText=*/"Failed to set headphone volume.",
    /*muteRunsMinimum=*/true,
    /*muteOnText=*/"Headphone Mute Button Clicked: Mute ON",
    /*muteOffText=*/"Headphone Mute Button Clicked: Mute OFF",
    /*dimOnText=*/"Headphone Dim Button Clicked: Dim ON",
    /*dimOffText=*/"Headphone Dim Button Clicked: Dim OFF",
    /*phoneCaption=*/nullptr,
    /*phoneCells=*/{},
    /*phoneSetText=*/nullptr,
    /*phoneFailText=*/nullptr,
};

// The state files, in the order the start-up load reads them. Each row: key, fallback, then the
// knob of an int key, or null and the button of a bool key.
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
