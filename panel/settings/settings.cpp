#include "settings/settings.h"

#include "app/thread_settings_pip.h"
#include "device/audio_bus_device.h"
#include "settings/ini_file.h"

#include "halvern/platform/pipe.h"
#include "halvern/protocol/pipe_messages.h"

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>

namespace platform = halvern::platform;

namespace {

// The keys of "setting.ini" and the values used while a key is absent; every value is the text
// of its combo.
struct SettingKey {
    const char* name;
    const char* fallback;
};
constexpr SettingKey kLatencyKey{"USB/LatencySize", "8"};
constexpr SettingKey kBufferSizeKey{"Audio/BufferSize", "192"};
constexpr SettingKey kSlowModeKey{"USB/SlowMode", "Disabled"};
constexpr SettingKey kSampleRateKey{"Audio/SampleRate", "44100"};

const QStringList kBufferSizes = {"48", "64", "96", "128", "192", "256", "512", "1024"};
const QStringList kLatencies = {"8", "16", "24", "32"};
const QStringList kSampleRates = {"44100", "48000"};
const QStringList kSafeModes = {"Disabled", "Enabled"};

// The device needs the engine stopped a moment before it takes the next request.
constexpr unsigned long kPauseMs = 100;
// Between the steps of the OTG chip's power cycle.
constexpr int kOtgStepMs = 200;

const char kLabelStyle[] = "font-size: 14px; color: #008888;";

// The latency a buffer size needs: 8 frames up to 64 samples, 16 up to 128, 24 up to 256.
uint32_t latencyFor(uint32_t samples) {
    if (samples <= 64)
        return 8;
    if (samples <= 128)
        return 16;
    if (samples <= 256)
        return 24;
    return 32;
}

// Stores a choice; false, logged, when the file did not take it.
bool store(QSettings& file, const SettingKey& key, const QString& text) {
    file.setValue(key.name, text);
    if (halvern::panel::syncSettings(file))
        return true;
    qDebug() << "Failed to write the settings file:" << file.fileName() << file.status();
    return false;
}

} // namespace

Settings::Settings() : QDialog() {
    qDebug() << "Settings dialog created.";
    setWindowTitle("Settings");
    setStyleSheet("QDialog { background-color: #2c313c; color: white; }");

    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dataDir);
    settings = new QSettings(dataDir + "/setting.ini", QSettings::IniFormat, this);

    layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignCenter);
    layout->setContentsMargins(40, 10, 40, 40);

    const QPixmap icon(":/icon/icon.png");
    if (!icon.isNull())
        setWindowIcon(icon);

    auto addLabel = [this](const QString& text, const char* style) {
        auto* label = new QLabel(text, this);
        label->setStyleSheet(style);
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
        return label;
    };
    // Items first, then the handler: filling an empty combo selects its first item, and that
    // must not reach the device.
    auto addCombo = [this](const QStringList& items, const char* name) {
        auto* combo = new QComboBox(this);
        combo->setObjectName(name);
        combo->addItems(items);
        layout->addWidget(combo);
        return combo;
    };

    addLabel(tr("Settings"), "font-size: 18px; font-weight: bold; color: #00FFFF;");
    addLabel(tr("Buffer Size"), kLabelStyle);
    bufferSizeCombo = addCombo(kBufferSizes, "bufferSizeCombo");
    connect(bufferSizeCombo, &QComboBox::currentIndexChanged, this, &Settings::onBufferSizeChanged);
    addLabel(tr("USB Latency Size"), kLabelStyle);
    latencyCombo = addCombo(kLatencies, "latencyCombo");
    latencyCombo->setCurrentIndex(0);
    connect(latencyCombo, &QComboBox::currentIndexChanged, this, &Settings::onUsbLatencyChanged);
    addLabel(tr("Samplerate"), kLabelStyle);
    sampleRateCombo = addCombo(kSampleRates, "sampleRateCombo");
    connect(sampleRateCombo, &QComboBox::currentIndexChanged, this, &Settings::onSampleRateChanged);
    addLabel(tr("Safe Mode"), kLabelStyle);
    safeModeCombo = addCombo(kSafeModes, "safeModeCombo");
    connect(safeModeCombo, &QComboBox::currentIndexChanged, this, &Settings::onSafeModeChanged);
    layout->addSpacing(20);

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("okButton");
    ok->setStyleSheet("background-color: #008888; color: white; font-size: 14px;");
    layout->addWidget(ok, 0, Qt::AlignCenter);
    connect(ok, &QPushButton::clicked, this, &Settings::notifyAsio);
    layout->addStretch(0);
    layout->setSpacing(15);

    usbErrorLabel = addLabel(tr("USB Error"), "font-size: 10px; color: #888888;");
    usbErrorLabel->setObjectName("usbErrorLabel");
    usbErrorLabel->hide();
    applyErrorLabel = addLabel(QString(), "font-size: 10px; color: #ff7f00;");
    applyErrorLabel->setObjectName("applyErrorLabel");
    applyErrorLabel->hide();

    auto* listener = new ThreadSettingsPip(this);
    connect(listener, &ThreadSettingsPip::progressUpdated, this, &Settings::showOnAsioRequest);
    listener->start(QThread::InheritPriority);

    usbStatus = std::make_unique<halvern::protocol::UsbStatus>();
    usbErrorTimer = new QTimer(this);
    connect(usbErrorTimer, &QTimer::timeout, this, &Settings::refreshUsbErrors);
    usbErrorTimer->start(1000);
}

Settings::~Settings() {
    usbErrorTimer->stop();
    delete settings;
    settings = nullptr;
    if (device) {
        device->close();
        device.reset();
    }
    usbStatus.reset();
    qDebug() << "Settings dialog closed and resources cleaned up.";
}

bool Settings::connectDevice() {
    device = std::make_unique<AudioBusDevice>();
    const bool opened = device->open();
    if (!opened)
        qDebug() << "Failed to create device in tern.";
    return opened;
}

void Settings::loadSettings() {
    auto load = [this](QComboBox* combo, const SettingKey& key) {
        const QString text = settings->value(key.name, key.fallback).toString();
        if (combo->findText(text) < 0) {
            qWarning() << "Ignoring the stored value of" << key.name << text;
            return;
        }
        combo->setCurrentText(text);
    };
    load(latencyCombo, kLatencyKey);
    load(bufferSizeCombo, kBufferSizeKey);
    load(safeModeCombo, kSlowModeKey);
    load(sampleRateCombo, kSampleRateKey);
    qDebug() << "已从配置文件加载控件状态";
}

void Settings::applyStoredSettings() {
    loadSettings();
    qDebug() << "加载控件状态完成";
    const uint32_t rate = device ? device->sampleRate() : 0;
    qDebug() << "当前音频采样率为：" << rate;

    const QString text = sampleRateCombo->currentText();
    if (text == "44100") {
        currentSampleRate = 44100;
        if (!device || !device->stopAudio()) {
            qDebug() << "停止音频失败，可能是驱动未正确加载或设备未连接。";
            return;
        }
        qDebug() << "停止音频成功，开始加载控件状态";
        QThread::msleep(kPauseMs);
        if (!device->setSampleRate(44100)) {
            qDebug() << "设置音频采样率失败，可能是驱动未正确加载或设备未连接。";
            recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
            return;
        }
        if (!device->setWdmChannels(4)) {
            qDebug() << "设置WDM通道数量失败，可能是驱动未正确加载或设备未连接。";
            recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
            return;
        }
        otgCycleB();
    } else if (text == "48000") {
        // 48000 reached the device through the rate handler if loading changed the selection.
        currentSampleRate = 48000;
    } else {
        qDebug() << "未知的音频采样率选项：" << text;
    }
}

void Settings::otgCycleA() {
    QTimer::singleShot(kOtgStepMs, this, [this] {
        if (!device || !device->setOtgOff()) {
            qDebug() << "关闭OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            return;
        }
        QTimer::singleShot(kOtgStepMs, this, [this] {
            if (!device || !device->setOtgOn())
                qDebug() << "开启OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            qDebug() << "设置采样频率完成";
        });
    });
}

void Settings::otgCycleB() {
    QTimer::singleShot(kOtgStepMs, this, [this] {
        if (!device || !device->setOtgOff()) {
            qDebug() << "关闭OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            // The engine was stopped for this cycle; it must not stay silent.
            recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
            return;
        }
        QTimer::singleShot(kOtgStepMs, this, [this] {
            if (!device || !device->setOtgOn())
                qDebug() << "开启OTG芯片失败，可能是驱动未正确加载或设备未连接。";
            if (device && device->initAudio()) {
                qDebug() << "设置初始化完成";
                applySucceeded();
            } else {
                qDebug() << "初始化音频失败，可能是驱动未正确加载或设备未连接。";
                recoverFromFailure(sampleRateCombo, Revive::None, [this] { return inForceRate(); });
            }
        });
    });
}

void Settings::onBufferSizeChanged(int) {
    const QString text = bufferSizeCombo->currentText();
    if (!kBufferSizes.contains(text)) {
        qDebug() << "未知的音频缓冲区大小选项：" << text;
        return;
    }
    const uint32_t size = text.toUInt();
    qDebug() << "设置音频缓冲区大小为：" << size << "samples";

    uint32_t current = 0;
    const bool read = device && device->getBufferSize(current);
    qDebug() << "当前音频缓冲区大小：" << current;
    if (!read) {
        qDebug() << "获取音频缓冲区大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (current == size)
        return;

    const uint32_t needed = latencyFor(size);
    qDebug() << "设置USB延迟大小为：" << needed << "Frame";
    uint32_t deviceLatency = 0;
    if (!device->getUsbLatency(deviceLatency)) {
        qDebug() << "获取USB延迟大小失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    qDebug() << "当前USB延迟大小：" << deviceLatency;
    // Only ever lowered here; the latency handler runs to its end before this one goes on. Its
    // failure stays on show even when the size is then set.
    const bool failureShown = !applyErrorLabel->isHidden();
    if (needed < deviceLatency)
        latencyCombo->setCurrentText(QString::number(needed));
    const bool latencyFailed = !failureShown && !applyErrorLabel->isHidden();

    if (!device->stopAudio()) {
        qDebug() << "停止音频失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (!device->setBufferSize(size)) {
        qDebug() << "设置音频缓冲区大小失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(bufferSizeCombo, Revive::Restart,
                           [this] { return inForceBufferSize(); });
        return;
    }
    if (!device->restartAudio()) {
        qDebug() << "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(bufferSizeCombo, Revive::None, [this] { return inForceBufferSize(); });
        return;
    }
    qDebug() << "音频缓冲区大小设置成功：" << size << "samples";
    if (store(*settings, kBufferSizeKey, text))
        qDebug() << "音频缓冲区大小设置已保存：" << text;
    if (!latencyFailed)
        applySucceeded();
}

void Settings::onUsbLatencyChanged(int) {
    const QString text = latencyCombo->currentText();
    const uint32_t latency = kLatencies.contains(text) ? text.toUInt() : 8;
    qDebug() << "设置USB延迟大小为：" << latency << "Frame";
    uint32_t current = 0;
    if (device)
        device->getUsbLatency(current);
    qDebug() << "当前USB延迟大小：" << current;
    if (current == latency)
        return;

    if (!device || !device->stopAudio()) {
        qDebug() << "停止音频失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    if (!device->setUsbLatency(latency)) {
        qDebug() << "设置USB延迟大小失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(latencyCombo, Revive::Restart, [this] { return inForceLatency(); });
        return;
    }
    if (!device->restartAudio()) {
        qDebug() << "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(latencyCombo, Revive::None, [this] { return inForceLatency(); });
        return;
    }
    if (store(*settings, kLatencyKey, text))
        qDebug() << "USB延迟大小设置已保存：" << text;
    applySucceeded();
}

void Settings::onSampleRateChanged(int) {
    if (!device || !device->stopAudio()) {
        qDebug() << "停止音频失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    QThread::msleep(kPauseMs);

    const QString text = sampleRateCombo->currentText();
    if (!kSampleRates.contains(text)) {
        qDebug() << "未知的音频采样率选项：" << text;
        recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
        return;
    }
    const int rate = text.toInt();
    currentSampleRate = rate;
    qDebug() << "设置音频采样率为：" << rate << "Hz";

    if (!device->setSampleRate(uint32_t(rate))) {
        qDebug() << "设置音频采样率失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
        return;
    }
    if (!device->setWdmChannels(4)) {
        qDebug() << "设置WDM通道数量失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(sampleRateCombo, Revive::Init, [this] { return inForceRate(); });
        return;
    }
    QThread::msleep(kPauseMs);
    if (!device->initAudio()) {
        qDebug() << "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(sampleRateCombo, Revive::None, [this] { return inForceRate(); });
        return;
    }

    otgCycleA(); // runs on later; the choice is already in force
    if (store(*settings, kSampleRateKey, text))
        qDebug() << "音频采样率设置已保存：" << text;
    applySucceeded();
}

void Settings::onSafeModeChanged(int) {
    if (!device || !device->stopAudio()) {
        qDebug() << "停止音频失败，可能是驱动未正确加载或设备未连接。";
        return;
    }
    const QString text = safeModeCombo->currentText();
    bool set = false;
    if (text == "Enabled") {
        set = device->enableSlowMode();
    } else if (text == "Disabled") {
        set = device->disableSlowMode();
    } else {
        qDebug() << "未知的USB慢速模式选项：" << text;
        recoverFromFailure(safeModeCombo, Revive::Restart, [] { return QString(); });
        return;
    }
    if (!set) {
        qDebug() << "设置USB慢速模式失败，可能是驱动未正确加载或设备未连接。";
        // The device keeps the other mode: the one shown before this change.
        const QString kept = text == "Enabled" ? "Disabled" : "Enabled";
        recoverFromFailure(safeModeCombo, Revive::Restart, [kept] { return kept; });
        return;
    }
    if (!device->restartAudio()) {
        qDebug() << "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
        recoverFromFailure(safeModeCombo, Revive::None, [text] { return text; });
        return;
    }
    if (store(*settings, kSlowModeKey, text))
        qDebug() << "USB慢速模式设置已保存：" << text;
    applySucceeded();
}

QString Settings::inForceRate() {
    const uint32_t rate = device ? device->sampleRate() : 0;
    return rate == 0 ? QString() : QString::number(rate);
}

QString Settings::inForceBufferSize() {
    uint32_t samples = 0;
    return device && device->getBufferSize(samples) ? QString::number(samples) : QString();
}

QString Settings::inForceLatency() {
    uint32_t frames = 0;
    return device && device->getUsbLatency(frames) ? QString::number(frames) : QString();
}

void Settings::recoverFromFailure(QComboBox* combo, Revive revive,
                                  const std::function<QString()>& inForce) {
    if (revive == Revive::Init)
        QThread::msleep(kPauseMs); // as before the init of the rate sequence
    const bool revived = revive == Revive::Restart ? device && device->restartAudio()
                         : revive == Revive::Init  ? device && device->initAudio()
                                                   : true;
    if (!revived)
        qDebug() << "重新启动音频失败，可能是驱动未正确加载或设备未连接。";
    // What the device holds now, whether the change reached it or not.
    const QString now = inForce();
    if (!now.isEmpty() && combo->findText(now) >= 0) {
        const QSignalBlocker quiet(combo);
        combo->setCurrentText(now);
    }
    applyErrorLabel->setText(
        now.isEmpty()
            ? tr("The change did not go through; what the device uses now could not be read.")
            : tr("The change did not go through in full; the device now uses %1.").arg(now));
    applyErrorLabel->show();
}

void Settings::applySucceeded() {
    applyErrorLabel->hide();
}

void Settings::notifyAsio() {
    hide();
    platform::Handle pipe = platform::openPipeClient(halvern::protocol::kPanelToAsioPipeW);
    if (!platform::isValid(pipe)) {
        // Taken before the debug stream, whose thread-local look-ups reset it on Windows.
        const uint32_t error = platform::lastError();
        qDebug() << "Error: Could not open pipe. Error code:" << error;
        return;
    }
    qDebug() << "Pipe opened successfully.";
    const uint8_t signal = halvern::protocol::kResetSignal;
    uint32_t written = 0;
    if (platform::writePipe(pipe, &signal, 1, &written)) {
        qDebug() << "ASIO reset signal sent successfully.";
    } else {
        const uint32_t error = platform::lastError();
        qDebug() << "Error: Failed to send ASIO reset signal. Error code:" << error;
    }
    platform::closePipeClient(pipe);
    qDebug() << "设置通知ASIO逻辑";
}

void Settings::refreshUsbErrors() {
    if (!device || !device->readUsbStatus(*usbStatus)) {
        qDebug() << "Failed to read meter data from driver.";
        return;
    }
    if (usbStatus->errorCount == 0) {
        usbErrorLabel->hide();
        return;
    }
    usbErrorLabel->setText(tr("USB Error Count: %1").arg(usbStatus->errorCount));
    usbErrorLabel->show();
}

void Settings::showOnAsioRequest() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    show();
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    qDebug() << "Received signal from pipe thread to show settings window.";
}
