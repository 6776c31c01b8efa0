// The panel's listener on \\.\pipe\HalvernASIOToPannel: which messages bring the dialog to the
// front, what malformed ones do, and that the dialog's end also ends the thread promptly.
#include "settings_support.h"

#include "app/pipe_server.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <QElapsedTimer>
#include <QtTest>

#include <vector>

using namespace halvern;
using namespace halvern::test;

namespace {

const char kShown[] = "Received signal from pipe thread to show settings window.";

// One client connection as the driver makes it: open, write, close. The listener creates its
// pipe at once, but a client may come while it is between two passes; on Windows its one
// instance is busy until then, and the client tries again, as the driver does.
bool sendToPanel(const std::vector<uint8_t>& bytes) {
    platform::Handle client = platform::openPipeClient(protocol::kAsioToPanelPipe, true);
    for (int tries = 0; !platform::isValid(client) &&
                        platform::lastError() == platform::kErrorPipeBusy && tries < 100;
         ++tries) {
        platform::sleepMs(10);
        client = platform::openPipeClient(protocol::kAsioToPanelPipe, true);
    }
    if (!platform::isValid(client))
        return false;
    uint32_t written = 0;
    const bool ok = bytes.empty() ||
                    platform::writePipe(client, bytes.data(), uint32_t(bytes.size()), &written);
    platform::closePipeClient(client);
    return ok;
}

std::vector<uint8_t> status(uint32_t buffer, uint32_t running, uint32_t openWindow) {
    protocol::StatusMessage m;
    m.bufferSize = buffer;
    m.running = running;
    m.openWindow = openWindow;
    std::vector<uint8_t> out(protocol::StatusMessage::kSize);
    m.toWire(out.data());
    return out;
}

} // namespace

class SettingsListenerTest : public QObject {
    Q_OBJECT

private slots:
    void onlyTheOpenWindowWordShowsTheDialog();
    void eachRequestIsOneSignal();
    void malformedMessagesNeverShowIt();
    void servesUpTo255Instances();
    void destructionEndsAWaitingListener_data();
    void destructionEndsAWaitingListener();
};

void SettingsListenerTest::onlyTheOpenWindowWordShowsTheDialog() {
    SettingsRig rig(false);
    QtLogCapture log;
    QVERIFY(sendToPanel(status(256, 1, 0)));
    QVERIFY(processEventsUntil(
        [&] { return log.contains("Received data from pipe: 256 1024 44100 1 0"); }));
    processEventsUntil([] { return false; }, 150);
    QVERIFY(!rig.dialog->isVisible());
    QVERIFY(!log.contains(kShown));

    rig.dialog->showMinimized();
    QVERIFY(sendToPanel(status(64, 1, 1)));
    QVERIFY(processEventsUntil([&] { return log.contains(kShown); }));
    QVERIFY(log.contains("Received data from pipe: 64 1024 44100 1 1"));
    QVERIFY(log.contains("Open Window Signal from ASIO."));
    QVERIFY(rig.dialog->isVisible());
    QVERIFY(!rig.dialog->isMinimized());
    QVERIFY(rig.dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

void SettingsListenerTest::eachRequestIsOneSignal() {
    SettingsRig rig(false);
    QtLogCapture log;
    QVERIFY(sendToPanel(status(128, 1, 1)));
    QVERIFY(sendToPanel(status(128, 1, 1)));
    QVERIFY(processEventsUntil([&] { return log.count(kShown) == 2; }));
    processEventsUntil([] { return false; }, 150);
    QCOMPARE(log.count(kShown), 2);
    QCOMPARE(log.count("Open Window Signal from ASIO."), 2);
}

void SettingsListenerTest::malformedMessagesNeverShowIt() {
    SettingsRig rig(false);
    QtLogCapture log;
    std::vector<uint8_t> longMessage(2000, 0xFF);
    std::vector<uint8_t> shortMessage = status(64, 1, 1);
    shortMessage.resize(16); // the open-window word is missing, so it reads as 0
    for (int round = 0; round < 5; ++round) {
        QVERIFY(sendToPanel(longMessage));
        QVERIFY(sendToPanel(shortMessage));
        QVERIFY(sendToPanel({}));
    }
    QVERIFY(sendToPanel(status(32, 1, 0))); // served after all of them
    QVERIFY(processEventsUntil(
        [&] { return log.contains("Received data from pipe: 32 1024 44100 1 0"); }, 10000));
    QCOMPARE(log.count("Received data from pipe: 64 1024 44100 1 0"), 5);
    QVERIFY(log.count("Error reading from pipe. Error code: 234") == 5);
    QVERIFY(log.count("No data received from pipe.") >= 10);
    QVERIFY(!log.contains(kShown));
    QVERIFY(!rig.dialog->isVisible());
}

void SettingsListenerTest::servesUpTo255Instances() {
    SettingsRig rig(false);
    std::vector<PipeServer*> more;
    for (int i = 1; i < 255; ++i) {
        more.push_back(new PipeServer(QString::fromWCharArray(protocol::kAsioToPanelPipeW)));
        QVERIFY2(more.back()->create(), qPrintable(QString::number(i)));
    }
    PipeServer extra(QString::fromWCharArray(protocol::kAsioToPanelPipeW));
    QtLogCapture log;
#ifdef _WIN32
    // There 255 is the system's "unlimited".
    QVERIFY(extra.create());
#else
    QVERIFY(!extra.create());
    QVERIFY(log.contains("Error: Could not create pipe. Error code: 231"));
#endif
    qDeleteAll(more);
}

void SettingsListenerTest::destructionEndsAWaitingListener_data() {
    QTest::addColumn<bool>("clientHoldsPipe");
    QTest::newRow("waiting for a client") << false;
    QTest::newRow("a client connected and silent") << true;
}

void SettingsListenerTest::destructionEndsAWaitingListener() {
    QFETCH(bool, clientHoldsPipe);
    QtLogCapture log;
    auto rig = std::make_unique<SettingsRig>(false);
    QVERIFY(processEventsUntil(
        [&] { return log.contains("ThreadSettingsPip is running waiting Asio Info..."); }));
    platform::Handle client = platform::invalidHandle();
    if (clientHoldsPipe) {
        client = platform::openPipeClient(protocol::kAsioToPanelPipe, true);
        QVERIFY(platform::isValid(client));
        QTest::qWait(50); // the listener takes it and waits for its bytes
    }
    QElapsedTimer t;
    t.start();
    rig->dialog.reset();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(log.contains("Pipe closed."));
    QVERIFY(log.contains("Settings dialog closed and resources cleaned up."));
    if (clientHoldsPipe)
        platform::closePipeClient(client);
    // The pipe's name is free again for the next panel.
    Settings next;
    QCOMPARE(log.count("Pipe created successfully."), 2);
}

QTEST_MAIN(SettingsListenerTest)
#include "settings_listener_test.moc"
