#include "app/tray_icon.h"

#include "app/desktop.h"
#include "app/main_window.h"
#include "device/audio_bus_device.h"
#include "settings/settings.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QProcess>

#include <memory>

using halvern::panel::desktop;

TrayIcon::TrayIcon(QObject* parent) : QSystemTrayIcon(parent) {
    setIcon(QIcon(":/icon/icon.png"));
    buildMenu();
    connect(this, &QSystemTrayIcon::activated, this, &TrayIcon::clickCallback);
}

TrayIcon::~TrayIcon() {
    setContextMenu(nullptr);
    delete menu_;
}

void TrayIcon::setMainWindow(MainWindow* window) {
    if (window)
        mainWindow = window;
}

void TrayIcon::setSettingsDialog(Settings* dialog) {
    settingsDialog = dialog;
}

void TrayIcon::buildMenu() {
    menu_ = new QMenu();
    auto* mainWindowAction = new QAction(tr("Main Window"), this);
    auto* setupAction = new QAction(tr("Setup"), this);
    auto* quitAction = new QAction(tr("Quit"), this);
    auto* firmwareAction = new QAction(tr("Upgrade Firmware"), this);
    auto* soundAction = new QAction(tr("Win Sound Pannel"), this);
    auto* refreshAction = new QAction(tr("Refresh Audio Device"), this);
    auto* versionAction = new QAction("V20251009", this);

    versionAction->setEnabled(false);
    menu_->addAction(versionAction);
    menu_->addAction(quitAction);
    menu_->addSeparator();
    menu_->addAction(setupAction);
    menu_->addAction(mainWindowAction);
    menu_->addAction(firmwareAction);
    menu_->addAction(refreshAction);
    menu_->addAction(soundAction);
    menu_->addSeparator();
    menu_->addSeparator();
    setContextMenu(menu_);

    connect(mainWindowAction, &QAction::triggered, this, [this] { showMainWindow(); });
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(setupAction, &QAction::triggered, this, &TrayIcon::showSettings);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
    connect(soundAction, &QAction::triggered, this, &TrayIcon::openSoundPannel);
    connect(refreshAction, &QAction::triggered, this, &TrayIcon::refreshDeviceList);
    connect(firmwareAction, &QAction::triggered, this, [this] { upgradeFirmware(); });
}

void TrayIcon::showMainWindow() {
    if (!mainWindow) {
        desktop().warning(QString::fromUtf8("警告"),
                          QString::fromUtf8("主窗口未设置，请先设置主窗口。"));
        return;
    }
    mainWindow->show();
    mainWindow->raise();
    mainWindow->activateWindow();
}

void TrayIcon::showSettings() {
    if (!settingsDialog) {
        desktop().warning(QString::fromUtf8("警告"),
                          QString::fromUtf8("设置窗口未设置，请先设置设置窗口。"));
        return;
    }
    settingsDialog->show();
    settingsDialog->raise();
    settingsDialog->activateWindow();
}

void TrayIcon::clickCallback(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        showMainWindow();
}

void TrayIcon::upgradeFirmware() {
    // A firmware upgrade takes the interface away for a while: never on a stray click.
    if (!desktop().confirm(
            QString::fromUtf8("警告"),
            QString::fromUtf8("升级固件期间请勿断开声卡或关闭程序。确定要开始升级吗？")))
        return;
    auto device = std::make_unique<AudioBusDevice>();
    bool accepted = false;
    if (device->open()) {
        accepted = device->upgradeFirmware();
        device->close();
    } else {
        qDebug() << "Failed to create device in tern.";
    }
    showMessage("Halvern Mixer",
                accepted ? tr("固件升级请求已发送。") : tr("固件升级请求失败，请检查连接。"),
                accepted ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning);
}

void TrayIcon::openSoundPannel() {
    QString hint;
    if (!desktop().openSoundSettings(hint)) {
        QString text = QString::fromUtf8("无法打开声音设置面板，请检查系统设置。");
        if (!hint.isEmpty())
            text += "\n" + hint;
        desktop().warning(QString::fromUtf8("错误"), text);
        return;
    }
    qDebug() << "声音设置面板已打开。";
}

void TrayIcon::refreshDeviceList() {
    QProcess process;
    process.start(desktop().refreshProgram, desktop().refreshArguments, QIODevice::ReadWrite);
    const bool finished = process.waitForFinished(5000);
    if (!finished) {
        qWarning() << "重启资源管理器超时";
        qWarning() << "错误信息:" << process.errorString();
    }
    const int code = process.exitCode();
    if (code != 0) {
        qWarning() << "命令执行失败，退出代码:" << code;
        qWarning() << "输出:" << process.readAllStandardOutput();
        qWarning() << "错误输出:" << process.readAllStandardError();
    }
    if (finished && code == 0)
        qDebug() << "资源管理器已成功重启";
}
