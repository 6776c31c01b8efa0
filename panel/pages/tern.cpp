#include "tern.h"

#include "page_engine.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

using namespace halvern::pages;

tern::tern() : QWidget(nullptr) {
    device = new AudioBusDevice;
    if (!openPageDevice(*device, kTernModel))
        return; // an empty page: no file, no timer, no handlers
    settings = openStateFile(this, kTernModel);

    QHBoxLayout* row = addPageRow(this);
    MicColumn input = addMicColumn(row, this, kTernModel, QT_TR_NOOP("INPUT"),
                                   {{QT_TR_NOOP("MIC"), true, "#00ff7f"},
                                    {"20dB", false, "#ff7f00"},
                                    {"48V", false, "#ff1111"},
                                    {QT_TR_NOOP("DIRECT"), true, "#00FFFF"}});
    addSeparator(row, this);
    OutputColumn headphone = addOutputColumn(row, this, kTernModel, kTernHeadphone);

    micKnob = input.knob;
    micInstrButton = input.buttons[0];
    micPadButton = input.buttons[1];
    micPhantomButton = input.buttons[2];
    micLevelLabel = input.level;
    headphoneKnob = headphone.volume;
    headphoneMuteButton = headphone.mute;
    headphoneDimButton = headphone.dim;
    phoneToHeadphoneKnob = headphone.phone;
    phoneLevelLabel = headphone.phoneLevel;
    micMeter = input.meter;
    phoneMeter = headphone.phoneMeter;
    setKnobDefaults(*this, kTernKeys);
    micDirectButton = input.buttons[3];

    connect(micKnob, &Knob::valueChangedSig, this, [this](int v) { onMicVolumeChanged(1, v); });
    connect(micInstrButton, &Button::pressed, this, [this](bool s) { onMicInstrClicked(1, s); });
    connect(micPadButton, &Button::pressed, this, [this](bool s) { onMic20dBClicked(1, s); });
    connect(micPhantomButton, &Button::pressed, this, [this](bool s) { onMic48VClicked(1, s); });
    connect(micDirectButton, &Button::pressed, this, [this](bool s) { onMonitorMic(1, s); });
    connect(headphoneKnob, &Knob::valueChangedSig, this, &tern::onHeadphoneVolumeChanged);
    connect(headphoneMuteButton, &Button::pressed, this, &tern::onHeadphoneMute);
    connect(headphoneDimButton, &Button::pressed, this, &tern::onHeadphoneDim);
    connect(phoneToHeadphoneKnob, &Knob::valueChangedSig, this, &tern::onPhoneToHeadphone);

    setInitialMatrix(matrix, kTernModel);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &tern::updateMeters);
    timer->start(500);

    loadStates();
}

tern::~tern() {
    delete device;
    delete settings;
}

void tern::onMicVolumeChanged(int channel, int value) {
    setMicGain(*device, channel, value);
    storeState(*this, *settings, kTernKeys, micKnob);
    saveStates();
}

// The button names the input's mode, and changes only once the device has switched.
void tern::onMicInstrClicked(int channel, bool status) {
    qDebug() << "Mic Instr Button Clicked" << int(status);
    if (device->switchMicInstrument(uint8_t(channel), status)) {
        qDebug() << "Mic instruction switched for channel 1.";
        micInstrButton->setText(status ? tr("INST") : tr("MIC"));
    } else {
        qDebug() << "Failed to switch mic instruction.";
    }
    storeState(*this, *settings, kTernKeys, micInstrButton);
    saveStates();
}

void tern::onMic20dBClicked(int channel, bool status) {
    switchMicPad(*device, channel, status);
    storeState(*this, *settings, kTernKeys, micPadButton);
    saveStates();
}

void tern::onMic48VClicked(int channel, bool status) {
    switchMicPhantom(*device, channel, status);
    storeState(*this, *settings, kTernKeys, micPhantomButton);
    saveStates();
}

void tern::onMonitorMic(int channel, bool status) {
    setDirect(*device, matrix, kTernModel, channel, status);
    storeState(*this, *settings, kTernKeys, micDirectButton);
    saveStates();
}

void tern::onHeadphoneVolumeChanged(int value) {
    setOutputVolume(*device, matrix, kTernHeadphone, value, headphoneMuted, headphoneDimmed);
    storeState(*this, *settings, kTernKeys, headphoneKnob);
    saveStates();
}

void tern::onHeadphoneMute(bool status) {
    muteOutput(kTernHeadphone, headphoneMuted, status, *headphoneKnob,
               [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kTernKeys, headphoneMuteButton);
    saveStates();
}

void tern::onHeadphoneDim(bool status) {
    dimOutput(kTernHeadphone, headphoneDimmed, status, *headphoneKnob,
              [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kTernKeys, headphoneDimButton);
    saveStates();
}

void tern::onPhoneToHeadphone(int value) {
    setPhoneMix(*device, matrix, kTernHeadphone, value);
    storeState(*this, *settings, kTernKeys, phoneToHeadphoneKnob);
    saveStates();
}

void tern::updateMeters() {
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    micLevelLabel->setText(levelText(meters.level(0)));
    phoneLevelLabel->setText(levelText(meanLevel(meters.level(2), meters.level(3))));
    micMeter->setLevel(AudioBusDevice::sampleToDb(meters.level(0)));
    phoneMeter->setLevel(AudioBusDevice::sampleToDb(meanLevel(meters.level(2), meters.level(3))));
}

void tern::loadStates() {
    loadStateKeys(*this, *settings, kTernKeys);
}

void tern::saveStates() {
    syncStates(*settings, kTernModel);
}
