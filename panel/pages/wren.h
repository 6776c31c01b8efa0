// The mixer page of the Wren: two microphone channels, a speaker and a headphone output, each
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

class wren : public QWidget {
    Q_OBJECT

public:
    wren();
    ~wren() override;

    Knob* mic1Knob = nullptr;
    Button* mic1PadButton = nullptr;
    Button* mic1PhantomButton = nullptr;
    Button* mic1DirectButton = nullptr;
    QLabel* mic1LevelLabel = nullptr;
    Knob* mic2Knob = nullptr;
    Button* mic2PadButton = nullptr;
    Button* mic2PhantomButton = nullptr;
    Button* mic2DirectButton = nullptr;
    QLabel* mic2LevelLabel = nullptr;
    Knob* headphoneKnob = nullptr;
    Button* headphoneMuteButton = nullptr;
    Button* headphoneDimButton = nullptr;
    Knob* speakerKnob = nullptr;
    Button* speakerMuteButton = nullptr;
    Button* speakerDimButton = nullptr;
    bool speakerMuted = false;
    bool speakerDimmed = false;
    bool headphoneMuted = false;
    bool headphoneDimmed = false;
    halvern::protocol::MixerMatrix matrix;
    halvern::protocol::MeterBlock meters;
    Knob* phoneToHeadphoneKnob = nullptr;
    QLabel* phoneToHeadphoneLevelLabel = nullptr;
    Knob* phoneToSpeakerKnob = nullptr;
    QLabel* phoneToSpeakerLevelLabel = nullptr;
    QSettings* settings = nullptr;
    AudioBusDevice* device = nullptr;
    // Level bars beside the read-outs.
    LevelMeter* mic1Meter = nullptr;
    LevelMeter* mic2Meter = nullptr;
    LevelMeter* phoneToHeadphoneMeter = nullptr;
    LevelMeter* phoneToSpeakerMeter = nullptr;

private:
    void onMicVolumeChanged(int channel, int value);
    void onMic20dBClicked(int channel, bool status);
    void onMic48VClicked(int channel, bool status);
    void onMonitorMic(int channel, bool status);
    void onSpeakerVolumeChanged(int value);
    void onSpeakerMute(bool status);
    void onSpeakerDim(bool status);
    void onHeadphoneVolumeChanged(int value);
    void onHeadphoneMute(bool status);
    void onHeadphoneDim(bool status);
    void onPhoneToSpeaker(int value);
    void onPhoneToHeadphone(int value);
    void updateMeters();
    void loadStates();
    void saveStates();
};
