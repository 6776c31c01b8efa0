// The panel's presence in the notification area and its way in for the user: the main window,
// the settings dialog, the firmware upgrade, the system's sound settings, and quitting.
#pragma once

#include <QSystemTrayIcon>

class MainWindow;
class QMenu;
class Settings;

class TrayIcon : public QSystemTrayIcon {
    Q_OBJECT

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    void setMainWindow(MainWindow* window);
    void setSettingsDialog(Settings* dialog);

    // The context menu, kept for the whole run (for tests and screenshots).
    QMenu* menu() const { return menu_; }

public slots:
    void showSettings();
    void clickCallback(QSystemTrayIcon::ActivationReason reason);
    void openSoundPannel();
    void refreshDeviceList();

private:
    void buildMenu();
    void showMainWindow();
    void upgradeFirmware();

    MainWindow* mainWindow = nullptr;
    Settings* settingsDialog = nullptr;
    QMenu* menu_ = nullptr;
};
