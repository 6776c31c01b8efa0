// The audio settings window: buffer size, USB latency, sample rate and safe mode, each applied
// to the device at once and stored in "setting.ini"; "OK" tells the ASIO driver to reset.
#pragma once

#include "halvern/protocol/bus_protocol.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class AudioBusDevice;
class QComboBox;
class QLabel;
class QSettings;
class QTimer;
class QVBoxLayout;

class Settings : public QDialog {
    Q_OBJECT

public:
    Settings();
    ~Settings() override;

    // Replaces the device with a newly opened one; false when no device opened.
    bool connectDevice();
    // Loads the stored choices (their handlers apply what differs) and re-applies the rate.
    void applyStoredSettings();
    void loadSettings();

public slots:
    void showOnAsioRequest();
    void onBufferSizeChanged(int index);
    void onUsbLatencyChanged(int index);
    void onSampleRateChanged(int index);
    void onSafeModeChanged(int index);
    void notifyAsio();
    void refreshUsbErrors();

private:
    void otgCycleA();
    void otgCycleB();
    // How a sequence that failed after its stop brings the engine back: with the request its
    // own path ends with, and never again when that request was the one that failed.
    enum class Revive { Restart, Init, None };
    // After a failed step that followed a successful stop: the engine is brought back once,
    // then the combo shows what the device holds (without running its handler) and the window
    // says so.
    void recoverFromFailure(QComboBox* combo, Revive revive,
                            const std::function<QString()>& inForce);
    void applySucceeded();
    // What the device holds, as the combo's text; empty when it cannot be read.
    QString inForceRate();
    QString inForceBufferSize();
    QString inForceLatency();

    QVBoxLayout* layout = nullptr;
    QComboBox* latencyCombo = nullptr;
    QComboBox* bufferSizeCombo = nullptr;
    QComboBox* sampleRateCombo = nullptr;
    QComboBox* safeModeCombo = nullptr;
    QSettings* settings = nullptr;
    std::unique_ptr<AudioBusDevice> device;
    std::unique_ptr<halvern::protocol::UsbStatus> usbStatus;
    int currentSampleRate = 44100;
    QLabel* usbErrorLabel = nullptr;
    QTimer* usbErrorTimer = nullptr;
    QLabel* applyErrorLabel = nullptr; // shown while the last change could not be applied
};
