// What the panel asks of the desktop it runs on: the notification area, the system's sound
// settings, the command that refreshes the audio device list and the message boxes. One seam,
// so that the shell's calls can be observed and answered by tests.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace halvern::panel {

struct Desktop {
    std::function<bool()> trayAvailable;
    // Opens the sound settings; false when nothing opened, with `hint` naming what to install
    // (empty where the system's own panel failed).
    std::function<bool(QString& hint)> openSoundSettings;
    // Ends and restarts what lists the audio devices (the Windows shell; on Linux the user's
    // sound server), run through QProcess and waited for.
    QString refreshProgram;
    QStringList refreshArguments;
    // A warning box without parent and one OK button.
    std::function<void(const QString& title, const QString& text)> warning;
    // A question with Yes and No; true for Yes.
    std::function<bool(const QString& title, const QString& text)> confirm;
};

// The desktop of this process; tests replace members and call resetDesktop() afterwards.
Desktop& desktop();
void resetDesktop();

// Sound-settings programs tried in order on Linux: the program and its arguments.
struct SoundSettingsTool {
    const char* program;
    QStringList arguments;
};
const std::vector<SoundSettingsTool>& linuxSoundSettingsTools();

} // namespace halvern::panel
