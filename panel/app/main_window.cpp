#include "app/main_window.h"

#include "app/desktop.h"
#include "device/audio_bus_device.h"
#include "halvern/protocol/models.h"
#include "pages/kite.h"
#include "pages/tern.h"
#include "pages/wren.h"
#include "settings/settings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

namespace {

const char* const kStatusStyle = "font-size: 12px; color: white;";

// The page of each model of the table of models; a code without a page is an unknown device.
struct PageEntry {
    halvern::protocol::ModelCode code;
    const char* addedLine;
    QWidget* (*create)();
};

const PageEntry kPages[] = {
    {halvern::protocol::kModelTern, "Adding tern widget to layout.",
     [] { return static_cast<QWidget*>(new tern()); }},
    {halvern::protocol::kModelWren, "Adding wren widget to layout.",
     [] { return static_cast<QWidget*>(new wren()); }},
    {halvern::protocol::kModelKite, "Adding kite widget to layout.",
     [] { return static_cast<QWidget*>(new kite()); }},
};

const PageEntry* findPage(uint32_t code) {
    for (const auto& m : kPages)
        if (m.code == code)
            return &m;
    return nullptr;
}

// The title before the ten firmware characters: "Halvern <model name> - FW: ".
QString titlePrefix(uint32_t code) {
    return QString::fromLatin1("Halvern ") +
           QLatin1String(halvern::protocol::findModel(code)->name) + QLatin1String(" - FW: ");
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setCentralWidget(new QWidget(this));
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    detectTimer = new QTimer(this);
    connect(detectTimer, &QTimer::timeout, this, &MainWindow::detectDevice);
    detectTimer->setInterval(1000);
    detectTimer->start();

    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &MainWindow::checkConnection);
    pollTimer->setInterval(400);

    setWindowTitle("Halvern Driver");
    setStyleSheet("QMainWindow { background-color: #2c313c; }");
    QPixmap icon(":/icon/icon.png");
    if (!icon.isNull())
        setWindowIcon(QIcon(icon));

    baseLayout = new QVBoxLayout(centralWidget());
    baseLayout->setAlignment(Qt::AlignCenter);
    // The first label is built before any translation could matter to it.
    statusLabel = new QLabel(QString::fromUtf8("声卡未连接！"));
    statusLabel->setStyleSheet(kStatusStyle);
    baseLayout->addWidget(statusLabel);
}

MainWindow::~MainWindow() {
    releaseDevice();
}

void MainWindow::releaseDevice() {
    if (device) {
        device->close();
        delete device;
        device = nullptr;
    }
}

void MainWindow::setSettingsDialog(Settings* dialog) {
    settingsDialog = dialog;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (halvern::panel::desktop().trayAvailable()) {
        hide();
        event->ignore();
        return;
    }
    // Without a notification area this window is the program: closing it ends the run.
    event->accept();
    QCoreApplication::quit();
}

void MainWindow::clearBaseLayout() {
    while (QLayoutItem* item = baseLayout->takeAt(0)) {
        if (QWidget* w = item->widget())
            w->deleteLater();
        delete item;
    }
    statusLabel = nullptr;
}

void MainWindow::addStatusLabel(const QString& text) {
    statusLabel = new QLabel(text);
    statusLabel->setStyleSheet(kStatusStyle);
    baseLayout->addWidget(statusLabel);
}

void MainWindow::replaceDevice() {
    releaseDevice();
    device = new AudioBusDevice();
    device->open();
}

void MainWindow::detectDevice() {
    auto probe = std::make_unique<AudioBusDevice>();
    probe->open();
    probe->getDevicePid(pid); // a failed read keeps what the window last knew
    qDebug() << "Device PID:" << pid;
    if (pid == 0)
        return;

    clearBaseLayout();
    const PageEntry* model = findPage(pid);
    if (!model) {
        qDebug() << "Unknown device PID:" << pid;
        addStatusLabel(QString::fromUtf8("未知设备，请检查连接！"));
        return;
    }

    if (!settingsDialog || !settingsDialog->connectDevice()) {
        qDebug() << "Failed to connect to driver in settings window.";
        replaceDevice();
        pollTimer->start();
        return;
    }
    settingsDialog->applyStoredSettings();

    QWidget* page = model->create();
    page->setParent(centralWidget());
    baseLayout->addWidget(page);
    qDebug() << model->addedLine;
    update();
    // A page whose own device did not open is empty; while the interface answers, the next
    // pass builds it again rather than leave the window blank.
    if (!page->layout()) {
        qDebug() << "The page could not reach the device; detecting again.";
        return;
    }

    uint8_t firmware[10] = {};
    if (!probe->getFirmwareVersion(firmware, sizeof firmware)) {
        qDebug() << "Failed to get firmware version.";
        addStatusLabel(QString::fromUtf8("获取固件版本失败，请检查连接！"));
        return;
    }
    // Each byte is one character in its place; built directly, so that a byte that reads as a
    // place marker ('%') cannot take the place of a later one.
    QString title = titlePrefix(model->code);
    for (uint8_t byte : firmware)
        title += QChar(char16_t(byte));
    setWindowTitle(title);

    qDebug() << "Device found with PID:" << pid;
    detectTimer->stop();
    // errorCount is left as it stands: only a good check clears it.
    replaceDevice();
    pollTimer->start();
    probe->close();
}

void MainWindow::checkConnection() {
    if (device && device->getDevicePid(pid)) {
        errorCount = 0;
        return;
    }
    ++errorCount;
    qDebug() << "Error reading device PID from driver, error count:" << errorCount;
    if (errorCount <= 2)
        return;
    pollTimer->stop();
    releaseDevice();
    qDebug() << "Meter driver handle deleted.";
    pid = 0;
    clearBaseLayout();
    qDebug() << "Cleared all widgets from base layout.";
    detectTimer->start();
    addStatusLabel(tr("声卡未连接！"));
}
