// The main window finds the interface, shows its page and title, and gives it up when it goes.

#include "app/desktop.h"
#include "app/main_window.h"
#include "settings/settings.h"

#include "panel_support.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QTest>

#include <memory>

using halvern::test::processEventsUntil;
using halvern::test::QtLogCapture;
using halvern::test::SimulatedInterface;

namespace {

// What the central widget shows: the class name of each child widget in layout order, and
// the text of each label.
QStringList shown(MainWindow& w) {
    QStringList out;
    auto* layout = w.centralWidget()->layout();
    for (int i = 0; i < layout->count(); ++i) {
        QWidget* child = layout->itemAt(i)->widget();
        if (auto* label = qobject_cast<QLabel*>(child))
            out << label->text();
        else if (child)
            out << child->metaObject()->className();
    }
    return out;
}

bool shows(MainWindow& w, const QStringList& expected, int timeoutMs = 3000) {
    return processEventsUntil([&] { return shown(w) == expected; }, timeoutMs);
}

// The suite runs under the English translation: the first not-connected label is not
// translated, the one after a loss is, and the other labels are not.
const QString kNotConnected = QString::fromUtf8("声卡未连接！");
const QString kLost = "Audio interface not connected!";

struct Shell {
    explicit Shell(uint32_t model) : iface(model) {
        settings = std::make_unique<Settings>();
        window = std::make_unique<MainWindow>();
        window->setSettingsDialog(settings.get());
    }
    SimulatedInterface iface;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<MainWindow> window;
};

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(english.loaded()); }
    void cleanup() { halvern::panel::resetDesktop(); }
    void findsEachModel_data();
    void findsEachModel();
    void searchesWhileNothingAnswers();
    void firmwareFailureRebuildsEachPass();
    void waitsForTheSettingsDialogsDevice();
    void emptyPageIsBuiltAgain();
    void unplugAndReplug();
    void closeHidesOnlyWithANotificationArea();

private:
    halvern::test::ScopedTranslation english{HALVERN_QM_DIR "/HalvernDriver_en_US.qm"};
};

void MainWindowTest::findsEachModel_data() {
    QTest::addColumn<uint>("model");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QStringList>("page");
    QTest::addColumn<QString>("title");
    QTest::newRow("tern") << 1u << QByteArray("V1.2.3-abc") << QStringList{"tern"}
                          << "Halvern Tern - FW: V1.2.3-abc";
    QTest::newRow("wren, % and a zero byte")
        << 2u
        << QByteArray("2%1\0"
                      "abcdef",
                      10)
        << QStringList{"wren"} << QString("Halvern Wren - FW: 2%1") + QChar(0) + "abcdef";
    QTest::newRow("kite") << 15u << QByteArray("0000000015") << QStringList{"kite"}
                          << "Halvern Kite - FW: 0000000015";
    // What the simulated interface reports unless told otherwise: printable, as a real one.
    QTest::newRow("wren, the device's own version")
        << 2u << QByteArray() << QStringList{"wren"} << "Halvern Wren - FW: 1.0.0     ";
    QTest::newRow("unknown model")
        << 3u << QByteArray(10, '1') << QStringList{QString::fromUtf8("未知设备，请检查连接！")}
        << "Halvern Driver";
}

void MainWindowTest::findsEachModel() {
    QFETCH(uint, model);
    QFETCH(QByteArray, firmware);
    QFETCH(QStringList, page);
    QFETCH(QString, title);
    QtLogCapture log;
    Shell s(model);
    QVERIFY(s.iface.started());
    if (!firmware.isEmpty())
        s.iface->setFirmware(reinterpret_cast<const uint8_t*>(firmware.constData()));
    QCOMPARE(shown(*s.window), QStringList{kNotConnected});
    QVERIFY2(shows(*s.window, page), qPrintable(shown(*s.window).join(", ")));
    QCOMPARE(s.window->windowTitle(), title);
    QVERIFY(log.contains(QString("Device PID: %1").arg(model)));
}

void MainWindowTest::searchesWhileNothingAnswers() {
    QtLogCapture log;
    SimulatedInterface iface;
    iface->unplug();
    Settings settings;
    MainWindow window;
    window.setSettingsDialog(&settings);
    QTest::qWait(2300);
    QCOMPARE(shown(window), QStringList{kNotConnected});
    QCOMPARE(log.count("Device PID: 0"), 2);
}

void MainWindowTest::firmwareFailureRebuildsEachPass() {
    QtLogCapture log;
    Shell s(2);
    s.iface->failRequests(halvern::protocol::IOCTL_DEVICE_QUERY_COMMAND, 31);
    const QStringList expected{"wren", QString::fromUtf8("获取固件版本失败，请检查连接！")};
    QVERIFY(shows(*s.window, expected));
    QVERIFY(processEventsUntil([&] { return log.count("Adding wren widget to layout.") >= 2; }));
    QCOMPARE(shown(*s.window), expected);
    QCOMPARE(s.window->windowTitle(), QString("Halvern Driver"));
    s.iface->clearFaults();
    QVERIFY(processEventsUntil([&] { return log.contains("Device found with PID: 2"); }));
    QVERIFY(shows(*s.window, {"wren"}));
}

void MainWindowTest::waitsForTheSettingsDialogsDevice() {
    QtLogCapture log;
    Shell s(2);
    // The pass's probe opens, then every open fails: the dialog's, the window's, the next probe.
    s.iface->failOpens(1000, 31, 1);
    const QString failed = "Failed to connect to driver in settings window.";
    QVERIFY(processEventsUntil([&] { return log.count(failed) >= 2; }, 4000));
    QCOMPARE(shown(*s.window), QStringList{});
    QCOMPARE(log.count("Adding wren widget to layout."), 0);
    s.iface->clearFaults();
    QVERIFY(shows(*s.window, {"wren"}));
}

void MainWindowTest::emptyPageIsBuiltAgain() {
    QtLogCapture log;
    Shell s(2);
    // The probe and the dialog open; the page's own open is refused once.
    s.iface->failOpens(1, 31, 2);
    QVERIFY(processEventsUntil([&] { return log.contains("Device found with PID: 2"); }, 4000));
    QCOMPARE(log.count("Failed to create device in wren."), 1);
    QWidget* page = s.window->centralWidget()->layout()->itemAt(0)->widget();
    QVERIFY(page && page->layout());
}

void MainWindowTest::unplugAndReplug() {
    QtLogCapture log;
    Shell s(1);
    QVERIFY(shows(*s.window, {"tern"}));
    const QString title = s.window->windowTitle();

    QElapsedTimer lost;
    lost.start();
    s.iface->unplug();
    QVERIFY(shows(*s.window, {kLost}, 4000));
    // Three checks 400 ms apart: about 1.2 s, never after the first failure.
    QVERIFY2(lost.elapsed() >= 700, qPrintable(QString::number(lost.elapsed())));
    QCOMPARE(log.count("Meter driver handle deleted."), 1);
    QCOMPARE(s.window->windowTitle(), title);

    s.iface->clearJournal();
    s.iface->replug();
    QVERIFY(shows(*s.window, {"tern"}, 4000));
    // The new page pushed its stored state to the device again.
    QVERIFY(!s.iface->commands().empty());
    // The count of failed checks still stands from the loss until a check succeeds, so a
    // first check that fails takes the page away again; the next pass finds it once more.
    s.iface->failRequests(halvern::protocol::IOCTL_DEVICE_GET_PID, 31, 1);
    QVERIFY(processEventsUntil([&] { return log.count("Meter driver handle deleted.") == 2; }));
    QVERIFY(log.contains("Error reading device PID from driver, error count: 4"));
    QVERIFY(shows(*s.window, {"tern"}, 4000));
}

void MainWindowTest::closeHidesOnlyWithANotificationArea() {
    SimulatedInterface iface;
    Settings settings;
    for (bool tray : {true, false}) {
        halvern::panel::desktop().trayAvailable = [tray] { return tray; };
        MainWindow window;
        window.show();
        QCloseEvent close;
        QCoreApplication::sendEvent(&window, &close);
        // With a tray the close is a hide and the panel runs on; without, it ends the program.
        QCOMPARE(close.isAccepted(), !tray);
        if (tray)
            QVERIFY(window.isHidden());
    }
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
