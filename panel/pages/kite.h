// The mixer page of the Kite: one microphone input with direct monitoring, and a headphone
// output with volume, mute and dim; the phone input always reaches the headphones.
#pragma once

#include "halvern/protocol/bus_protocol.h"

#include <QWidget>

class AudioBusDevice;
class Button;
class Knob;
class LevelMeter;
class QLabel;
class QSettings;

class kite : public QWidget {
    Q_OBJECT

public:
    kite();
    ~kite() override;

    Knob* micKnob = nullptr;
    QLabel* micLevelLabel = nullptr;
    Knob* headphoneKnob = nullptr;
    Button* headphoneMuteButton = nullptr;
    Button* headphoneDimButton = nullptr;
    Button* micDirectButton = nullptr;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
    halvern::protocol::MixerMatrix matrix;
    halvern::protocol::MeterBlock meters;
    QSettings* settings = nullptr;
    AudioBusDevice* device = nullptr;
    LevelMeter* micMeter = nullptr; // the level bar beside the read-out

private:
    void onMicVolumeChanged(int channel, int value);
    void onMonitorMic(int channel, bool status);
    void onHeadphoneVolumeChanged(int value);
    void onHeadphoneMute(bool status);
    void onHeadphoneDim(bool status);
    void updateMeters();
    void loadStates();
    void saveStates();
};
