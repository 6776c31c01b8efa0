#include "app/desktop.h"

#include "halvern/platform/shell.h"

#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>

namespace halvern::panel {

namespace {

bool openSystemSoundSettings(QString& hint) {
    hint.clear();
#ifdef _WIN32
    // Anything above 32 is success for the shell.
    return platform::shellExecuteOpen("control.exe", "mmsys.cpl") > 32;
#else
    for (const auto& tool : linuxSoundSettingsTools()) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(tool.program));
        if (!path.isEmpty() && QProcess::startDetached(path, tool.arguments))
            return true;
    }
    hint = QString::fromUtf8("请安装 pavucontrol 或 gnome-control-center。");
    return false;
#endif
}

Desktop systemDesktop() {
    Desktop d;
    d.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    d.openSoundSettings = openSystemSoundSettings;
#ifdef _WIN32
    d.refreshProgram = "cmd.exe";
    d.refreshArguments = {"/c", "taskkill /f /im explorer.exe && start explorer.exe"};
#else
    // PipeWire first (Debian 12's desktop default), then PulseAudio.
    d.refreshProgram = "sh";
    d.refreshArguments = {
        "-c", "systemctl --user restart pipewire.service pipewire-pulse.service wireplumber.service"
              " || systemctl --user restart pulseaudio.service"};
#endif
    d.warning = [](const QString& title, const QString& text) {
        QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
    };
    d.confirm = [](const QString& title, const QString& text) {
        return QMessageBox::question(nullptr, title, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    return d;
}

} // namespace

const std::vector<SoundSettingsTool>& linuxSoundSettingsTools() {
    static const std::vector<SoundSettingsTool> tools = {
        {"gnome-control-center", {"sound"}},    {"pavucontrol", {}}, {"pavucontrol-qt", {}},
        {"systemsettings", {"kcm_pulseaudio"}}, {"xfce4-mixer", {}},
    };
    return tools;
}

Desktop& desktop() {
    static Desktop d = systemDesktop();
    return d;
}

void resetDesktop() {
    desktop() = systemDesktop();
}

} // namespace halvern::panel
