// What the three mixer pages share: the column builders, the device operations with their log
// lines, the volume, mute and dim logic, the level text and the state file. Each page keeps its
// own members and handlers and calls in here with its model description (models.h).
#pragma once

#include "models.h"

#include "device/audio_bus_device.h"
#include "widgets/button.h"
#include "widgets/knob.h"
#include "widgets/level_meter.h"

#include "halvern/protocol/bus_protocol.h"

#include <QSettings>
#include <QString>

#include <functional>
#include <initializer_list>
#include <vector>

class QHBoxLayout;
class QLabel;

namespace halvern::pages {

// A page text in the page's translation context.
QString translated(const PageModel& model, const char* text);

// ---------------------------------------------------------------------------------------------
// Layout

// The page's one row: centred, no margins.
QHBoxLayout* addPageRow(QWidget* page);

struct ColumnButton {
    const char* text;
    bool translated;
    const char* accent; // active text and glow
};

struct MicColumn {
    Knob* knob = nullptr;
    QLabel* level = nullptr;
    LevelMeter* meter = nullptr;  // beside the level text
    std::vector<Button*> buttons; // in the order given
};
MicColumn addMicColumn(QHBoxLayout* row, QWidget* page, const PageModel& model, const char* title,
                       std::initializer_list<ColumnButton> buttons);

void addSeparator(QHBoxLayout* row, QWidget* page);

struct OutputColumn {
    Knob* volume = nullptr;
    Button* mute = nullptr;
    Button* dim = nullptr;
    Knob* phone = nullptr; // null when the output has no phone mix
    QLabel* phoneLevel = nullptr;
    LevelMeter* phoneMeter = nullptr;
};
OutputColumn addOutputColumn(QHBoxLayout* row, QWidget* page, const PageModel& model,
                             const OutputModel& output);

// Each knob returns to the default of its stored key when double-clicked.
template <class Page> void setKnobDefaults(Page& page, const std::vector<StateKey<Page>>& keys) {
    for (const StateKey<Page>& k : keys)
        if (k.knob && page.*k.knob)
            (page.*k.knob)->defaultValue = k.fallback;
}

// ---------------------------------------------------------------------------------------------
// Device operations

// Opens the device and sets the outputs' command volume; false (logged) when the device did
// not open and the page must stay empty. A refused volume is logged only.
bool openPageDevice(AudioBusDevice& device, const PageModel& model);
void setInitialMatrix(protocol::MixerMatrix& matrix, const PageModel& model);

void setMicGain(AudioBusDevice& device, int channel, int value);
void switchMicPad(AudioBusDevice& device, int channel, bool status);
void switchMicPhantom(AudioBusDevice& device, int channel, bool status);
void setDirect(AudioBusDevice& device, protocol::MixerMatrix& matrix, const PageModel& model,
               int channel, bool status);

// The level an output plays at: mute wins over dim; dim is 20 dB down.
int effectiveLevel(int value, bool muted, bool dimmed);
void setOutputVolume(AudioBusDevice& device, protocol::MixerMatrix& matrix,
                     const OutputModel& output, int value, bool muted, bool dimmed);
// Mute and dim set their flag and run the output's volume handler again.
void muteOutput(const OutputModel& output, bool& muted, bool status, const Knob& knob,
                const std::function<void(int)>& volumeHandler);
void dimOutput(const OutputModel& output, bool& dimmed, bool status, const Knob& knob,
               const std::function<void(int)>& volumeHandler);
void setPhoneMix(AudioBusDevice& device, protocol::MixerMatrix& matrix, const OutputModel& output,
                 int value);

// ---------------------------------------------------------------------------------------------
// Level read-outs

// The mean of two meter values, without overflow, rounded toward zero.
int32_t meanLevel(int32_t a, int32_t b);
// "-12.3 dB"; minus infinity as the number formatting writes it.
QString levelText(int32_t meterValue);

// ---------------------------------------------------------------------------------------------
// State file

// The page's file in the application data folder (created when missing).
QSettings* openStateFile(QWidget* page, const PageModel& model);
// Syncs; a failed write is logged instead of the saved line.
void syncStates(QSettings& settings, const PageModel& model);
void logStatesLoaded();

// A stored switch: a bool, "true" or "1" is on, "false" or "0" off; anything else (a hand-edited
// or damaged file) is `fallback`, never on by accident: the switches include phantom power.
bool storedSwitch(const QVariant& stored, bool fallback);
// A stored knob value: a whole number, else `fallback`.
int storedNumber(const QVariant& stored, int fallback);

// Every key in table order, through the controls' setters: each restored value reaches the
// device through the control's handler.
template <class Page>
void loadStateKeys(Page& page, QSettings& settings, const std::vector<StateKey<Page>>& keys) {
    for (const StateKey<Page>& k : keys) {
        if (k.button)
            (page.*k.button)->setStatus(storedSwitch(settings.value(k.key), k.fallback != 0));
        else
            (page.*k.knob)->setValue(storedNumber(settings.value(k.key), k.fallback));
    }
    logStatesLoaded();
}

// Writes the state of `control` under its key.
template <class Page>
void storeState(Page& page, QSettings& settings, const std::vector<StateKey<Page>>& keys,
                const QObject* control) {
    for (const StateKey<Page>& k : keys) {
        if (k.button && page.*k.button == control)
            return settings.setValue(k.key, (page.*k.button)->status);
        if (k.knob && page.*k.knob == control)
            return settings.setValue(k.key, (page.*k.knob)->value);
    }
}

} // namespace halvern::pages
