// The settings dialog against a simulated interface: each handler's requests in order with
// their pauses, what reaches "setting.ini", and what a failing step leaves behind.
#include "settings_support.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace halvern;
using namespace halvern::test;
using protocol::IOCTL_AUDIO_RESTART;
using protocol::IOCTL_AUDIO_SET_BUFFER_SIZE;
using protocol::IOCTL_AUDIO_SET_SAMPLE_RATE;
using protocol::IOCTL_AUDIO_SET_USB_LATENCY;
using protocol::IOCTL_AUDIO_SET_WDM_CHANNELS;
using protocol::IOCTL_AUDIO_STOP;

namespace {

// Every key of the file as "key=value", sorted.
QStringList fileEntries() {
    QSettings file(SettingsRig::iniPath(), QSettings::IniFormat);
    QStringList out;
    for (const QString& key : file.allKeys())
        out << key + "=" + file.value(key).toString();
    out.sort();
    return out;
}

void writeFile(const QStringList& entries) {
    QSettings file(SettingsRig::iniPath(), QSettings::IniFormat);
    for (const QString& e : entries)
        file.setValue(e.section('=', 0, 0), e.section('=', 1));
    file.sync();
}

// The GUI thread's lines from `first` on: the listener thread may log in between.
QStringList linesFrom(const QtLogCapture& log, const QString& first) {
    QStringList all = log.lines().filter(QRegularExpression("^(?!ThreadSettingsPip )"));
    const auto at = all.indexOf(first);
    return at < 0 ? QStringList() : all.mid(at);
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void buildsTheWindowWithoutTouchingTheDevice();
    void handlerSequences_data();
    void handlerSequences();
    void bufferSizeLinesAreVerbatim();
    void sampleRateChangePausesThenCyclesTheOtgChip();
    void failuresLeaveTheDevicePlayingAndTheFileTruthful_data();
    void failuresLeaveTheDevicePlayingAndTheFileTruthful();
    void firstApplyWithoutAFile();
    void storedRateIsAppliedOnceNotOnReconnect();
    void brokenStoredValuesAreIgnoredAndKept();
    void unwritableFileIsNotReportedSaved_data();
    void unwritableFileIsNotReportedSaved();
    void usbErrorLine();
    void okWithoutDriverHidesAndLogs();
};

void SettingsDialogTest::buildsTheWindowWithoutTouchingTheDevice() {
    QtLogCapture log;
    SettingsRig rig(false);
    QCOMPARE(rig.dialog->windowTitle(), QString("Settings"));
    const struct {
        const char* name;
        QStringList items;
        QString selected;
    } combos[] = {
        {"bufferSizeCombo", {"48", "64", "96", "128", "192", "256", "512", "1024"}, "48"},
        {"latencyCombo", {"8", "16", "24", "32"}, "8"},
        {"sampleRateCombo", {"44100", "48000"}, "44100"},
        {"safeModeCombo", {"Disabled", "Enabled"}, "Disabled"},
    };
    for (const auto& c : combos) {
        QComboBox* combo = rig.combo(c.name);
        QVERIFY2(combo, c.name);
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, c.items);
        QCOMPARE(combo->currentText(), c.selected);
    }
    QVERIFY(rig.dialog->findChild<QLabel*>("usbErrorLabel")->isHidden());
    QCOMPARE(log.lines().mid(0, 3),
             QStringList({"Settings dialog created.", "Pipe created successfully.",
                          "ThreadSettingsPip initialized."}));
    QVERIFY(rig.dialog->connectDevice());
    QVERIFY(rig.takeSteps().isEmpty());

    rig.device->unplug();
    QVERIFY(!rig.dialog->connectDevice());
    QVERIFY(log.contains("Failed to create device in tern."));
}

void SettingsDialogTest::handlerSequences_data() {
    QTest::addColumn<uint>("deviceLatency");
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("file");

    QTest::newRow("buffer size equal to the device's: one read, nothing stored")
        << 8u << "bufferSizeCombo"
        << "256" << QStringList{"AUDIO_GET_BUFFER_SIZE"} << QStringList{};
    QTest::newRow("1024 with latency 8 keeps 8")
        << 8u << "bufferSizeCombo"
        << "1024"
        << QStringList{"AUDIO_GET_BUFFER_SIZE", "AUDIO_GET_USB_LATENCY", "AUDIO_STOP",
                       "AUDIO_SET_BUFFER_SIZE=1024", "AUDIO_RESTART"}
        << QStringList{"Audio/BufferSize=1024"};
    QTest::newRow("64 with latency 24 lowers it to 8 first")
        << 24u << "bufferSizeCombo"
        << "64"
        << QStringList{"AUDIO_GET_BUFFER_SIZE",
                       "AUDIO_GET_USB_LATENCY",
                       "AUDIO_GET_USB_LATENCY",
                       "AUDIO_STOP",
                       "AUDIO_SET_USB_LATENCY=8",
                       "AUDIO_RESTART",
                       "AUDIO_STOP",
                       "AUDIO_SET_BUFFER_SIZE=64",
                       "AUDIO_RESTART"}
        << QStringList{"Audio/BufferSize=64", "USB/LatencySize=8"};
    QTest::newRow("latency") << 8u << "latencyCombo"
                             << "16"
                             << QStringList{"AUDIO_GET_USB_LATENCY", "AUDIO_STOP",
                                            "AUDIO_SET_USB_LATENCY=16", "AUDIO_RESTART"}
                             << QStringList{"USB/LatencySize=16"};
    QTest::newRow("safe mode") << 8u << "safeModeCombo"
                               << "Enabled"
                               << QStringList{"AUDIO_STOP", "AUDIO_ENABLE_SLOW_MODE",
                                              "AUDIO_RESTART"}
                               << QStringList{"USB/SlowMode=Enabled"};
}

void SettingsDialogTest::handlerSequences() {
    QFETCH(uint, deviceLatency);
    QFETCH(QString, combo);
    QFETCH(QString, choice);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, file);

    SettingsRig rig;
    rig.device->setUsbLatency(deviceLatency);
    {
        const QSignalBlocker quiet(rig.combo("latencyCombo"));
        rig.combo("latencyCombo")->setCurrentText(QString::number(deviceLatency));
    }
    rig.combo(combo.toLatin1())->setCurrentText(choice);
    QCOMPARE(rig.takeSteps(), steps);
    QCOMPARE(fileEntries(), file);
    const sim::Status s = rig.device->status();
    QCOMPARE(s.engine, sim::EngineState::Running);
    if (combo == "bufferSizeCombo") {
        QCOMPARE(s.bufferSize, choice.toUInt());
        QCOMPARE(rig.combo("latencyCombo")->currentText(),
                 QString::number(std::min(deviceLatency, choice == "64" ? 8u : 32u)));
    }
    QCOMPARE(s.slowMode, choice == "Enabled");
    QVERIFY(rig.dialog->findChild<QLabel*>("applyErrorLabel")->isHidden());
}

void SettingsDialogTest::bufferSizeLinesAreVerbatim() {
    SettingsRig rig;
    QtLogCapture log;
    rig.combo("bufferSizeCombo")->setCurrentText("1024");
    QCOMPARE(linesFrom(log, "设置音频缓冲区大小为： 1024 samples"),
             QStringList({"设置音频缓冲区大小为： 1024 samples", "Buffer size: 256",
                          "当前音频缓冲区大小： 256", "设置USB延迟大小为： 32 Frame",
                          "当前USB延迟大小： 8", "音频缓冲区大小设置成功： 1024 samples",
                          "音频缓冲区大小设置已保存： \"1024\""}));
}

void SettingsDialogTest::sampleRateChangePausesThenCyclesTheOtgChip() {
    SettingsRig rig;
    rig.device->setSampleRate(44100);
    {
        const QSignalBlocker quiet(rig.combo("sampleRateCombo"));
        rig.combo("sampleRateCombo")->setCurrentText("48000");
    }
    QtLogCapture log;
    rig.combo("sampleRateCombo")->setCurrentText("44100");
    // Stored at once, without waiting for the OTG cycle.
    QCOMPARE(fileEntries(), QStringList{"Audio/SampleRate=44100"});
    QVERIFY(log.contains("设置音频采样率为： 44100 Hz"));
    QVERIFY(log.contains("音频采样率设置已保存： \"44100\""));
    QVERIFY(!log.contains("设置采样频率完成"));
    QVERIFY(processEventsUntil([&] { return log.contains("设置采样频率完成"); }));

    const auto j = rig.takeJournal();
    QStringList steps;
    for (const auto& e : j)
        steps << stepName(e);
    QCOMPARE(steps, QStringList({"AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=44100",
                                 "AUDIO_SET_WDM_CHANNELS=4", "AUDIO_INIT", "OTG_OFF", "OTG_ON"}));
    QVERIFY2(msBetween(j[0], j[1]) >= 99, "pause after the stop");
    QVERIFY2(msBetween(j[2], j[3]) >= 99, "pause before the init");
    QVERIFY2(msBetween(j[3], j[4]) >= 195, "first OTG step");
    QVERIFY2(msBetween(j[4], j[5]) >= 195, "second OTG step");
    for (const auto& e : j)
        QVERIFY2(!e.changedWhileRunning, qPrintable(stepName(e)));
    QCOMPARE(rig.device->status().sampleRate, 44100u);
    QVERIFY(rig.device->status().otgOn);
}

void SettingsDialogTest::failuresLeaveTheDevicePlayingAndTheFileTruthful_data() {
    using sim::EngineState;
    QTest::addColumn<uint>("failing");
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("engine");
    QTest::addColumn<QString>("line"); // empty: none shown
    const QString inUse = "The change did not go through in full; the device now uses %1.";

    QTest::newRow("stop fails: nothing changes, the choice stays shown")
        << uint(IOCTL_AUDIO_STOP) << "bufferSizeCombo"
        << "1024"
        << QStringList{"AUDIO_GET_BUFFER_SIZE", "AUDIO_GET_USB_LATENCY", "AUDIO_STOP failed"}
        << "1024" << int(EngineState::Running) << "";
    QTest::newRow("buffer size refused")
        << uint(IOCTL_AUDIO_SET_BUFFER_SIZE) << "bufferSizeCombo"
        << "1024" << QStringList{"AUDIO_GET_BUFFER_SIZE",
                                 "AUDIO_GET_USB_LATENCY",
                                 "AUDIO_STOP",
                                 "AUDIO_SET_BUFFER_SIZE=1024 failed",
                                 "AUDIO_RESTART",
                                 "AUDIO_GET_BUFFER_SIZE"}
        << "256" << int(EngineState::Running) << inUse.arg(256);
    // The restart is not tried again: the engine stays stopped, and the window says what the
    // device holds.
    QTest::newRow("restart fails after the latency was set")
        << uint(IOCTL_AUDIO_RESTART) << "latencyCombo"
        << "16"
        << QStringList{"AUDIO_GET_USB_LATENCY", "AUDIO_STOP", "AUDIO_SET_USB_LATENCY=16",
                       "AUDIO_RESTART failed", "AUDIO_GET_USB_LATENCY"}
        << "16" << int(EngineState::Stopped) << inUse.arg(16);
    // The rate sequence ends with an init, and so does its recovery.
    QTest::newRow("rate refused") << uint(IOCTL_AUDIO_SET_SAMPLE_RATE) << "sampleRateCombo"
                                  << "44100"
                                  << QStringList{"AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=44100 failed",
                                                 "AUDIO_INIT", "AUDIO_GET_SAMPLE_RATE"}
                                  << "48000" << int(EngineState::Initialised) << inUse.arg(48000);
    QTest::newRow("WDM refused after the rate was set")
        << uint(IOCTL_AUDIO_SET_WDM_CHANNELS) << "sampleRateCombo"
        << "44100"
        << QStringList{"AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=44100",
                       "AUDIO_SET_WDM_CHANNELS=4 failed", "AUDIO_INIT", "AUDIO_GET_SAMPLE_RATE"}
        << "44100" << int(EngineState::Initialised) << inUse.arg(44100);
    QTest::newRow("init fails after the rate was set")
        << uint(protocol::IOCTL_AUDIO_INIT) << "sampleRateCombo"
        << "44100"
        << QStringList{"AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=44100", "AUDIO_SET_WDM_CHANNELS=4",
                       "AUDIO_INIT failed", "AUDIO_GET_SAMPLE_RATE"}
        << "44100" << int(EngineState::Stopped) << inUse.arg(44100);
}

void SettingsDialogTest::failuresLeaveTheDevicePlayingAndTheFileTruthful() {
    QFETCH(uint, failing);
    QFETCH(QString, combo);
    QFETCH(QString, choice);
    QFETCH(QStringList, steps);
    QFETCH(QString, shown);
    QFETCH(int, engine);
    QFETCH(QString, line);

    SettingsRig rig;
    {
        // The rate combo starts on the device's rate, so that the choice is a change.
        const QSignalBlocker quiet(rig.combo("sampleRateCombo"));
        rig.combo("sampleRateCombo")->setCurrentText("48000");
    }
    QtLogCapture log;
    rig.device->failRequests(failing, 31, 1);
    rig.combo(combo.toLatin1())->setCurrentText(choice);
    QCOMPARE(rig.takeSteps(), steps);
    QCOMPARE(rig.combo(combo.toLatin1())->currentText(), shown);
    QCOMPARE(fileEntries(), QStringList{});
    QCOMPARE(int(rig.device->status().engine), engine);
    auto* label = rig.dialog->findChild<QLabel*>("applyErrorLabel");
    QCOMPARE(label->isHidden() ? QString() : label->text(), line);
    QCOMPARE(log.startingWith("音频").size() + log.startingWith("USB延迟大小设置已保存").size(), 0);
    // No OTG cycle follows a failed rate change.
    processEventsUntil([] { return false; }, 450);
    QVERIFY(!log.contains("设置采样频率完成"));
}

void SettingsDialogTest::firstApplyWithoutAFile() {
    SettingsRig rig;
    QtLogCapture log;
    rig.dialog->applyStoredSettings();
    QCOMPARE(rig.combo("bufferSizeCombo")->currentText(), QString("192"));
    QCOMPARE(rig.combo("latencyCombo")->currentText(), QString("8"));
    QCOMPARE(rig.combo("sampleRateCombo")->currentText(), QString("44100"));
    QCOMPARE(rig.combo("safeModeCombo")->currentText(), QString("Disabled"));
    QVERIFY(log.contains("已从配置文件加载控件状态"));
    QVERIFY(log.contains("加载控件状态完成"));
    QVERIFY(log.contains("当前音频采样率为： 48000"));
    QVERIFY(log.contains("停止音频成功，开始加载控件状态"));
    QVERIFY(processEventsUntil([&] { return log.contains("设置初始化完成"); }));

    const auto j = rig.takeJournal();
    QStringList steps;
    for (const auto& e : j)
        steps << stepName(e);
    QCOMPARE(steps,
             QStringList({"AUDIO_GET_BUFFER_SIZE", "AUDIO_GET_USB_LATENCY", "AUDIO_STOP",
                          "AUDIO_SET_BUFFER_SIZE=192", "AUDIO_RESTART", "AUDIO_GET_SAMPLE_RATE",
                          "AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=44100", "AUDIO_SET_WDM_CHANNELS=4",
                          "OTG_OFF", "OTG_ON", "AUDIO_INIT"}));
    QVERIFY(msBetween(j[6], j[7]) >= 99);
    QVERIFY(msBetween(j[8], j[9]) >= 195);
    QVERIFY(msBetween(j[9], j[10]) >= 195);
    QCOMPARE(fileEntries(), QStringList{"Audio/BufferSize=192"});
    const sim::Status s = rig.device->status();
    QCOMPARE(s.sampleRate, 44100u);
    QCOMPARE(s.bufferSize, 192u);
    QCOMPARE(s.wdmChannels, 4u);
    QCOMPARE(s.engine, sim::EngineState::Initialised);
}

void SettingsDialogTest::storedRateIsAppliedOnceNotOnReconnect() {
    SettingsRig rig;
    writeFile({"Audio/SampleRate=48000", "Audio/BufferSize=256"});
    QtLogCapture log;
    rig.dialog->applyStoredSettings();
    QVERIFY(processEventsUntil([&] { return log.contains("设置采样频率完成"); }));
    QCOMPARE(rig.takeSteps(),
             QStringList({"AUDIO_GET_BUFFER_SIZE", "AUDIO_STOP", "AUDIO_SET_SAMPLE_RATE=48000",
                          "AUDIO_SET_WDM_CHANNELS=4", "AUDIO_INIT", "AUDIO_GET_SAMPLE_RATE",
                          "OTG_OFF", "OTG_ON"}));

    QVERIFY(rig.dialog->connectDevice());
    rig.dialog->applyStoredSettings();
    processEventsUntil([] { return false; }, 450);
    QCOMPARE(rig.takeSteps(), QStringList{"AUDIO_GET_SAMPLE_RATE"});
    QCOMPARE(fileEntries(), QStringList({"Audio/BufferSize=256", "Audio/SampleRate=48000"}));
}

void SettingsDialogTest::brokenStoredValuesAreIgnoredAndKept() {
    SettingsRig rig;
    writeFile({"Audio/BufferSize=lots", "USB/SlowMode=enabled", "Audio/SampleRate=48000"});
    QtLogCapture log;
    rig.dialog->loadSettings();
    QCOMPARE(rig.combo("bufferSizeCombo")->currentText(), QString("48"));
    QCOMPARE(rig.combo("safeModeCombo")->currentText(), QString("Disabled"));
    QCOMPARE(rig.combo("sampleRateCombo")->currentText(), QString("48000"));
    QCOMPARE(log.startingWith("Ignoring the stored value of").size(), 2);
    QCOMPARE(fileEntries(), QStringList({"Audio/BufferSize=lots", "Audio/SampleRate=48000",
                                         "USB/SlowMode=enabled"}));
}

void SettingsDialogTest::unwritableFileIsNotReportedSaved_data() {
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("saved");
    QTest::addColumn<QString>("key");
    QTest::newRow("buffer size") << "bufferSizeCombo"
                                 << "1024"
                                 << "512" << QString::fromUtf8("音频缓冲区大小设置已保存：")
                                 << "Audio/BufferSize";
    QTest::newRow("latency") << "latencyCombo"
                             << "16"
                             << "24" << QString::fromUtf8("USB延迟大小设置已保存：")
                             << "USB/LatencySize";
    QTest::newRow("rate") << "sampleRateCombo"
                          << "48000"
                          << "44100" << QString::fromUtf8("音频采样率设置已保存：")
                          << "Audio/SampleRate";
    QTest::newRow("safe mode") << "safeModeCombo"
                               << "Enabled"
                               << "Disabled" << QString::fromUtf8("USB慢速模式设置已保存：")
                               << "USB/SlowMode";
}

void SettingsDialogTest::unwritableFileIsNotReportedSaved() {
    QFETCH(QString, combo);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, saved);
    QFETCH(QString, key);
    SettingsRig rig;
    QVERIFY(QDir().mkpath(SettingsRig::iniPath())); // a folder where the file should be
    QtLogCapture log;
    rig.combo(combo.toLatin1())->setCurrentText(first);
    QCOMPARE(log.startingWith(saved).size(), 0);
    QCOMPARE(log.startingWith("Failed to write the settings file:").size(), 1);

    // Once the file can be written again, saves say so again.
    QVERIFY(QDir().rmdir(SettingsRig::iniPath()));
    rig.combo(combo.toLatin1())->setCurrentText(second);
    QCOMPARE(log.startingWith(saved), QStringList{saved + " \"" + second + "\""});
    QCOMPARE(SettingsRig::stored(key).toString(), second);
}

void SettingsDialogTest::usbErrorLine() {
    SettingsRig rig;
    auto* label = rig.dialog->findChild<QLabel*>("usbErrorLabel");
    for (uint32_t count : {3u, 0u, 7u}) {
        rig.device->setUsbErrorCount(count);
        rig.dialog->refreshUsbErrors();
        QCOMPARE(label->isHidden(), count == 0);
        if (count)
            QCOMPARE(label->text(), QString("USB Error Count: %1").arg(count));
    }
    // The timer does the same once a second.
    rig.device->setUsbErrorCount(0);
    QVERIFY(processEventsUntil([&] { return label->isHidden(); }, 2500));

    QtLogCapture log;
    rig.device->unplug();
    rig.dialog->refreshUsbErrors();
    QVERIFY(log.contains("Failed to read meter data from driver."));
    QVERIFY(label->isHidden());
}

void SettingsDialogTest::okWithoutDriverHidesAndLogs() {
    SettingsRig rig;
    rig.dialog->show();
    QtLogCapture log;
    rig.dialog->findChild<QPushButton*>("okButton")->click();
    QVERIFY(!rig.dialog->isVisible());
    QVERIFY(log.contains("Error: Could not open pipe. Error code: 2"));
    QVERIFY(!log.contains("设置通知ASIO逻辑"));
    QVERIFY(rig.takeSteps().isEmpty());
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
