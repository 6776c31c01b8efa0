#include "wren.h"

#include "page_engine.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

using namespace halvern::pages;

wren::wren() : QWidget(nullptr) {
    device = new AudioBusDevice;
    if (!openPageDevice(*device, kWrenModel))
        return; // an empty page: no file, no timer, no handlers
    settings = openStateFile(this, kWrenModel);

    QHBoxLayout* row = addPageRow(this);
    MicColumn mic1 = addMicColumn(row, this, kWrenModel, QT_TR_NOOP("MIC1"),
                                  {{"20dB", false, "#ff7f00"},
                                   {"48V", false, "#ff1111"},
                                   {QT_TR_NOOP("DIRECT"), true, "#00FFFF"}});
    MicColumn mic2 = addMicColumn(row, this, kWrenModel, QT_TR_NOOP("MIC2"),
                                  {{"20dB", false, "#ff7f00"},
                                   {"48V", false, "#ff1111"},
                                   {QT_TR_NOOP("DIRECT"), true, "#00FFFF"}});
    addSeparator(row, this);
    OutputColumn speaker = addOutputColumn(row, this, kWrenModel, kWrenSpeaker);
    OutputColumn headphone = addOutputColumn(row, this, kWrenModel, kWrenHeadphone);

    mic1Knob = mic1.knob;
    mic1PadButton = mic1.buttons[0];
    mic1PhantomButton = mic1.buttons[1];
    mic1DirectButton = mic1.buttons[2];
    mic1LevelLabel = mic1.level;
    mic2Knob = mic2.knob;
    mic2PadButton = mic2.buttons[0];
    mic2PhantomButton = mic2.buttons[1];
    mic2DirectButton = mic2.buttons[2];
    mic2LevelLabel = mic2.level;
    headphoneKnob = headphone.volume;
    headphoneMuteButton = headphone.mute;
    headphoneDimButton = headphone.dim;
    speakerKnob = speaker.volume;
    speakerMuteButton = speaker.mute;
    speakerDimButton = speaker.dim;
    phoneToHeadphoneKnob = headphone.phone;
    phoneToHeadphoneLevelLabel = headphone.phoneLevel;
    phoneToSpeakerKnob = speaker.phone;
    phoneToSpeakerLevelLabel = speaker.phoneLevel;
    mic1Meter = mic1.meter;
    mic2Meter = mic2.meter;
    phoneToHeadphoneMeter = headphone.phoneMeter;
    phoneToSpeakerMeter = speaker.phoneMeter;
    setKnobDefaults(*this, kWrenKeys);

    for (int channel : {1, 2}) {
        const bool first = channel == 1;
        connect(first ? mic1Knob : mic2Knob, &Knob::valueChangedSig, this,
                [this, channel](int v) { onMicVolumeChanged(channel, v); });
        connect(first ? mic1PadButton : mic2PadButton, &Button::pressed, this,
                [this, channel](bool s) { onMic20dBClicked(channel, s); });
        connect(first ? mic1PhantomButton : mic2PhantomButton, &Button::pressed, this,
                [this, channel](bool s) { onMic48VClicked(channel, s); });
        connect(first ? mic1DirectButton : mic2DirectButton, &Button::pressed, this,
                [this, channel](bool s) { onMonitorMic(channel, s); });
    }
    connect(speakerKnob, &Knob::valueChangedSig, this, &wren::onSpeakerVolumeChanged);
    connect(speakerMuteButton, &Button::pressed, this, &wren::onSpeakerMute);
    connect(speakerDimButton, &Button::pressed, this, &wren::onSpeakerDim);
    connect(headphoneKnob, &Knob::valueChangedSig, this, &wren::onHeadphoneVolumeChanged);
    connect(headphoneMuteButton, &Button::pressed, this, &wren::onHeadphoneMute);
    connect(headphoneDimButton, &Button::pressed, this, &wren::onHeadphoneDim);
    connect(phoneToSpeakerKnob, &Knob::valueChangedSig, this, &wren::onPhoneToSpeaker);
    connect(phoneToHeadphoneKnob, &Knob::valueChangedSig, this, &wren::onPhoneToHeadphone);

    setInitialMatrix(matrix, kWrenModel);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &wren::updateMeters);
    timer->start(500);

    loadStates();
}

wren::~wren() {
    delete device;
    delete settings;
}

void wren::onMicVolumeChanged(int channel, int value) {
    setMicGain(*device, channel, value);
    storeState(*this, *settings, kWrenKeys, channel == 1 ? mic1Knob : mic2Knob);
    saveStates();
}

void wren::onMic20dBClicked(int channel, bool status) {
    switchMicPad(*device, channel, status);
    storeState(*this, *settings, kWrenKeys, channel == 1 ? mic1PadButton : mic2PadButton);
    saveStates();
}

void wren::onMic48VClicked(int channel, bool status) {
    switchMicPhantom(*device, channel, status);
    storeState(*this, *settings, kWrenKeys, channel == 1 ? mic1PhantomButton : mic2PhantomButton);
    saveStates();
}

void wren::onMonitorMic(int channel, bool status) {
    setDirect(*device, matrix, kWrenModel, channel, status);
    storeState(*this, *settings, kWrenKeys, channel == 1 ? mic1DirectButton : mic2DirectButton);
    saveStates();
}

void wren::onSpeakerVolumeChanged(int value) {
    setOutputVolume(*device, matrix, kWrenSpeaker, value, speakerMuted, speakerDimmed);
    storeState(*this, *settings, kWrenKeys, speakerKnob);
    saveStates();
}

void wren::onSpeakerMute(bool status) {
    muteOutput(kWrenSpeaker, speakerMuted, status, *speakerKnob,
               [this](int v) { onSpeakerVolumeChanged(v); });
    storeState(*this, *settings, kWrenKeys, speakerMuteButton);
    saveStates();
}

void wren::onSpeakerDim(bool status) {
    dimOutput(kWrenSpeaker, speakerDimmed, status, *speakerKnob,
              [this](int v) { onSpeakerVolumeChanged(v); });
    storeState(*this, *settings, kWrenKeys, speakerDimButton);
    saveStates();
}

void wren::onHeadphoneVolumeChanged(int value) {
    setOutputVolume(*device, matrix, kWrenHeadphone, value, headphoneMuted, headphoneDimmed);
    storeState(*this, *settings, kWrenKeys, headphoneKnob);
    saveStates();
}

void wren::onHeadphoneMute(bool status) {
    muteOutput(kWrenHeadphone, headphoneMuted, status, *headphoneKnob,
               [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kWrenKeys, headphoneMuteButton);
    saveStates();
}

void wren::onHeadphoneDim(bool status) {
    dimOutput(kWrenHeadphone, headphoneDimmed, status, *headphoneKnob,
              [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kWrenKeys, headphoneDimButton);
    saveStates();
}

void wren::onPhoneToSpeaker(int value) {
    setPhoneMix(*device, matrix, kWrenSpeaker, value);
    storeState(*this, *settings, kWrenKeys, phoneToSpeakerKnob);
    saveStates();
}

void wren::onPhoneToHeadphone(int value) {
    setPhoneMix(*device, matrix, kWrenHeadphone, value);
    storeState(*this, *settings, kWrenKeys, phoneToHeadphoneKnob);
    saveStates();
}

void wren::updateMeters() {
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    const QString phone = levelText(meanLevel(meters.level(2), meters.level(3)));
    mic1LevelLabel->setText(levelText(meters.level(0)));
    mic2LevelLabel->setText(levelText(meters.level(1)));
    phoneToHeadphoneLevelLabel->setText(phone);
    phoneToSpeakerLevelLabel->setText(phone);
    const double phoneDb = AudioBusDevice::sampleToDb(meanLevel(meters.level(2), meters.level(3)));
    mic1Meter->setLevel(AudioBusDevice::sampleToDb(meters.level(0)));
    mic2Meter->setLevel(AudioBusDevice::sampleToDb(meters.level(1)));
    phoneToHeadphoneMeter->setLevel(phoneDb);
    phoneToSpeakerMeter->setLevel(phoneDb);
}

void wren::loadStates() {
    loadStateKeys(*this, *settings, kWrenKeys);
}

void wren::saveStates() {
    syncStates(*settings, kWrenModel);
}
