// What the settings suites share: the dialog on a simulated interface, its INI file, and the
// journal as short step names ("AUDIO_SET_BUFFER_SIZE=64", "OTG_OFF", "AUDIO_STOP failed").
#pragma once

#include "panel_support.h"
#include "settings/settings.h"

#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"

#include <QComboBox>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace halvern::test {

inline QString stepName(const sim::JournalEntry& e) {
    using namespace protocol;
    QString name = QString::fromLatin1(requestName(e.code)).remove("IOCTL_");
    if (e.code == IOCTL_DEVICE_SEND_COMMAND && e.input.size() > 1)
        name = e.input[1] == kOpOtgOff  ? "OTG_OFF"
               : e.input[1] == kOpOtgOn ? "OTG_ON"
                                        : QString("COMMAND_%1").arg(e.input[1], 2, 16);
    else if (e.inputLength == 4 && e.input.size() >= 4)
        name += "=" + QString::number(getLe32(e.input.data()));
    if (!e.success)
        name += " failed";
    return name;
}

// A dialog whose device is a fresh simulated Wren (48000 Hz, 256 samples, 8 frames).
struct SettingsRig {
    SimulatedInterface device;
    std::unique_ptr<Settings> dialog;

    explicit SettingsRig(bool connect = true) {
        dialog = std::make_unique<Settings>();
        if (connect)
            dialog->connectDevice();
    }
    ~SettingsRig() { dialog.reset(); }

    QComboBox* combo(const char* name) const { return dialog->findChild<QComboBox*>(name); }
    static QString iniPath() {
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/setting.ini";
    }
    static QVariant stored(const QString& key) {
        return QSettings(iniPath(), QSettings::IniFormat).value(key);
    }
    // The requests since the last call, without the dialog's once-a-second status reads.
    std::vector<sim::JournalEntry> takeJournal() {
        std::vector<sim::JournalEntry> out;
        for (const auto& e : device->journal())
            if (e.code != protocol::IOCTL_DEVICE_GET_USB_STATUS)
                out.push_back(e);
        device->clearJournal();
        return out;
    }
    QStringList takeSteps() {
        QStringList steps;
        for (const auto& e : takeJournal())
            steps << stepName(e);
        return steps;
    }
};

// Milliseconds between two journal entries.
inline double msBetween(const sim::JournalEntry& a, const sim::JournalEntry& b) {
    return (double(b.timeNs) - double(a.timeNs)) / 1e6;
}

} // namespace halvern::test
