// Both pipes between the dialog and the ASIO driver, in one process: a host's controlPanel()
// brings the dialog to the front, and "OK" reaches the host as one reset request.
#include "settings_support.h"

#include "AsioHalvern.h"

#include <QPushButton>
#include <QtTest>

#include <atomic>

using namespace halvern;
using namespace halvern::test;
using driver::AsioHalvern;

namespace {

std::atomic<int> gResetRequests{0};

void onBufferSwitch(int32_t, ASIOBool) {}
void onRateChange(ASIOSampleRate) {}
int32_t onMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest)
        ++gResetRequests;
    return 0;
}
ASIOTime* onBufferSwitchTimeInfo(ASIOTime* time, int32_t, ASIOBool) {
    return time;
}

} // namespace

class SettingsDriverTest : public QObject {
    Q_OBJECT

private slots:
    void controlPanelShowsTheDialogAndOkResetsTheHost();
};

void SettingsDriverTest::controlPanelShowsTheDialogAndOkResetsTheHost() {
    SettingsRig rig;
    QtLogCapture log;
    auto* d = new AsioHalvern(nullptr);
    d->NonDelegatingAddRef();
    ASIOCallbacks callbacks{&onBufferSwitch, &onRateChange, &onMessage, &onBufferSwitchTimeInfo};
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {nullptr, nullptr}},
                               {ASIOFalse, 0, {nullptr, nullptr}}};
    QCOMPARE(d->createBuffers(infos, 2, 256, &callbacks), ASE_OK);

    TraceCapture traces;
    QCOMPARE(d->controlPanel(), ASE_OK);
    QVERIFY(processEventsUntil(
        [&] { return log.contains("Received signal from pipe thread to show settings window."); }));
    QVERIFY(log.contains("Received data from pipe: 256 1024 44100 1 1"));
    QVERIFY(rig.dialog->isVisible());

    // The driver listens once its thread has made the pipe.
    QVERIFY(processEventsUntil([&] { return traces.contains("Pipe Created"); }));
    rig.dialog->findChild<QPushButton*>("okButton")->click();
    QVERIFY(!rig.dialog->isVisible());
    QVERIFY(log.contains("Pipe opened successfully."));
    QVERIFY(log.contains("ASIO reset signal sent successfully."));
    QVERIFY(log.contains("设置通知ASIO逻辑"));
    QVERIFY(processEventsUntil([] { return gResetRequests.load() >= 1; }));
    processEventsUntil([] { return false; }, 100);
    QCOMPARE(gResetRequests.load(), 1);

    QCOMPARE(d->disposeBuffers(), ASE_OK);
    d->NonDelegatingRelease();
    QVERIFY(processEventsUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
    // The driver's farewell reaches the listener and changes nothing.
    QVERIFY(processEventsUntil(
        [&] { return log.contains("Received data from pipe: 256 1024 44100 0 0"); }));
}

QTEST_MAIN(SettingsDriverTest)
#include "settings_driver_test.moc"
