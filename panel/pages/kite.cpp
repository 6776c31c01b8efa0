#include "kite.h"

#include "page_engine.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

using namespace halvern::pages;

kite::kite() : QWidget(nullptr) {
    device = new AudioBusDevice;
    if (!openPageDevice(*device, kKiteModel))
        return; // an empty page: no file, no timer, no handlers
    settings = openStateFile(this, kKiteModel);

    QHBoxLayout* row = addPageRow(this);
    MicColumn mic = addMicColumn(row, this, kKiteModel, QT_TR_NOOP("MIC"),
                                 {{QT_TR_NOOP("DIRECT"), true, "#00FFFF"}});
    addSeparator(row, this);
    OutputColumn headphone = addOutputColumn(row, this, kKiteModel, kKiteHeadphone);

    micKnob = mic.knob;
    micLevelLabel = mic.level;
    micMeter = mic.meter;
    headphoneKnob = headphone.volume;
    headphoneMuteButton = headphone.mute;
    headphoneDimButton = headphone.dim;
    micDirectButton = mic.buttons[0];
    setKnobDefaults(*this, kKiteKeys);

    connect(micKnob, &Knob::valueChangedSig, this, [this](int v) { onMicVolumeChanged(1, v); });
    connect(micDirectButton, &Button::pressed, this, [this](bool s) { onMonitorMic(1, s); });
    connect(headphoneKnob, &Knob::valueChangedSig, this, &kite::onHeadphoneVolumeChanged);
    connect(headphoneMuteButton, &Button::pressed, this, &kite::onHeadphoneMute);
    connect(headphoneDimButton, &Button::pressed, this, &kite::onHeadphoneDim);

    setInitialMatrix(matrix, kKiteModel);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &kite::updateMeters);
    timer->start(500);

    loadStates();
}

kite::~kite() {
    delete device;
    delete settings;
}

void kite::onMicVolumeChanged(int channel, int value) {
    setMicGain(*device, channel, value);
    storeState(*this, *settings, kKiteKeys, micKnob);
    saveStates();
}

void kite::onMonitorMic(int channel, bool status) {
    setDirect(*device, matrix, kKiteModel, channel, status);
    storeState(*this, *settings, kKiteKeys, micDirectButton);
    saveStates();
}

void kite::onHeadphoneVolumeChanged(int value) {
    setOutputVolume(*device, matrix, kKiteHeadphone, value, headphoneMuted, headphoneDimmed);
    storeState(*this, *settings, kKiteKeys, headphoneKnob);
    saveStates();
}

void kite::onHeadphoneMute(bool status) {
    muteOutput(kKiteHeadphone, headphoneMuted, status, *headphoneKnob,
               [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kKiteKeys, headphoneMuteButton);
    saveStates();
}

void kite::onHeadphoneDim(bool status) {
    dimOutput(kKiteHeadphone, headphoneDimmed, status, *headphoneKnob,
              [this](int v) { onHeadphoneVolumeChanged(v); });
    storeState(*this, *settings, kKiteKeys, headphoneDimButton);
    saveStates();
}

void kite::updateMeters() {
    if (!device->readMeters(meters)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    micLevelLabel->setText(levelText(meters.level(0)));
    micMeter->setLevel(AudioBusDevice::sampleToDb(meters.level(0)));
}

void kite::loadStates() {
    loadStateKeys(*this, *settings, kKiteKeys);
}

void kite::saveStates() {
    syncStates(*settings, kKiteModel);
}
