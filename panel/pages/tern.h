// The mixer page of the Tern: one microphone input with an instrument switch, and a headphone
// output with volume, mute, dim and a phone-input mix.
#pragma once

#include "halvern/protocol/bus_protocol.h"

#include <QWidget>

class AudioBusDevice;
class Button;
class Knob;
class LevelMeter;
class QLabel;
class QSettings;

class tern : public QWidget {
    Q_OBJECT

public:
    tern();
    ~tern() override;

    Knob* micKnob = nullptr;
    Button* micInstrButton = nullptr;
    Button* micPadButton = nullptr;
    Button* micPhantomButton = nullptr;
    QLabel* micLevelLabel = nullptr;
    Knob* headphoneKnob = nullptr;
    Button* headphoneMuteButton = nullptr;
    Button* headphoneDimButton = nullptr;
    Knob* phoneToHeadphoneKnob = nullptr;
    QLabel* phoneLevelLabel = nullptr;
    Button* micDirectButton = nullptr;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
    halvern::protocol::MixerMatrix matrix;
    halvern::protocol::MeterBlock meters;
    QSettings* settings = nullptr;
    AudioBusDevice* device = nullptr;
    // Level bars beside the read-outs.
    LevelMeter* micMeter = nullptr;
    LevelMeter* phoneMeter = nullptr;

private:
    void onMicVolumeChanged(int channel, int value);
    void onMicInstrClicked(int channel, bool status);
    void onMic20dBClicked(int channel, bool status);
    void onMic48VClicked(int channel, bool status);
    void onMonitorMic(int channel, bool status);
    void onHeadphoneVolumeChanged(int value);
    void onHeadphoneMute(bool status);
    void onHeadphoneDim(bool status);
    void onPhoneToHeadphone(int value);
    void updateMeters();
    void loadStates();
    void saveStates();
};
