// Plays the user of the panel's windows in a process of its own, for the loop under Wine:
//
//   wine-panel-user.exe dialog COMBO FROM TO   waits until a host brings the settings dialog
//                                              up, sets COMBO from FROM to TO, presses "OK"
//   wine-panel-user.exe knob VALUE             turns the Wren page's first gain knob to VALUE
//
// Each step is said on standard output, for the script that drives the processes.
#include "pages/wren.h"
#include "settings/settings.h"
#include "widgets/knob.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

int runDialog(const QString& comboName, const QString& from, const QString& to) {
    Settings dialog;
    if (!dialog.connectDevice()) {
        say("dialog: no device");
        return 2;
    }
    auto* combo = dialog.findChild<QComboBox*>(comboName);
    auto* ok = dialog.findChild<QPushButton*>("okButton");
    if (combo == nullptr || ok == nullptr) {
        say("dialog: no such control");
        return 2;
    }
    {
        // What the device runs at, shown without applying it.
        const QSignalBlocker quiet(combo);
        combo->setCurrentText(from);
    }
    say("dialog ready");
    if (!waitUntil([&] { return dialog.isVisible(); }, 30000)) {
        say("dialog: never shown");
        return 3;
    }
    say(dialog.windowFlags() & Qt::WindowStaysOnTopHint ? "dialog shown on top" : "dialog shown");
    pause(500);
    combo->setCurrentText(to);
    say("dialog changed");
    // The device stopped for the change: the host resets and comes back at the new setting.
    pause(2000);
    ok->click();
    say("dialog ok");
    pause(500);
    return 0;
}

int turnKnob(int value) {
    wren page;
    if (page.mic1Knob == nullptr) {
        say("knob: no page");
        return 2;
    }
    page.mic1Knob->setValue(value);
    pause(200);
    say("knob turned");
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() == 5 && args[1] == "dialog")
        return runDialog(args[2], args[3], args[4]);
    if (args.size() == 3 && args[1] == "knob")
        return turnKnob(args[2].toInt());
    say("usage: wine-panel-user.exe dialog COMBO FROM TO | knob VALUE");
    return 1;
}
