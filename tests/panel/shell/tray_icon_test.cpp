// The tray icon: its menu, the clicks, the boxes, the firmware upgrade and the shell commands,
// observed through the desktop seam.

#include "app/desktop.h"
#include "app/main_window.h"
#include "app/tray_icon.h"
#include "settings/settings.h"

#include "panel_support.h"

#include <QAction>
#include <QMenu>
#include <QTest>

using halvern::panel::desktop;
using halvern::test::QtLogCapture;
using halvern::test::ScopedTranslation;
using halvern::test::SimulatedInterface;

namespace {

struct Boxes {
    Boxes() {
        desktop().warning = [this](const QString& title, const QString& text) {
            shown << title + ": " + text;
        };
        desktop().confirm = [this](const QString& title, const QString& text) {
            shown << title + "? " + text;
            ++asked;
            return answer;
        };
    }
    QStringList shown;
    int asked = 0;
    bool answer = true;
};

QAction* entry(TrayIcon& tray, const QString& text) {
    for (QAction* a : tray.menu()->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

} // namespace

class TrayIconTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { halvern::panel::resetDesktop(); }
    void menuInItsOrder();
    void clickReasons_data();
    void clickReasons();
    void warnsWithoutWindowOrDialog();
    void firmwareUpgradeAsksAndTells();
    void shellCommands_data();
    void shellCommands();
};

void TrayIconTest::menuInItsOrder() {
    TrayIcon tray;
    QStringList texts;
    for (QAction* a : tray.menu()->actions())
        texts << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(texts,
             (QStringList{"V20251009", "Quit", "-", "Setup", "Main Window", "Upgrade Firmware",
                          "Refresh Audio Device", "Win Sound Pannel", "-", "-"}));
    QVERIFY(!entry(tray, "V20251009")->isEnabled());
    QVERIFY(!QGuiApplication::quitOnLastWindowClosed());
}

void TrayIconTest::clickReasons_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shows");
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("right click") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
}

void TrayIconTest::clickReasons() {
    QFETCH(int, reason);
    QFETCH(bool, shows);
    SimulatedInterface iface;
    MainWindow window;
    TrayIcon tray;
    tray.setMainWindow(&window);
    tray.setMainWindow(nullptr); // ignored
    emit tray.activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(window.isVisible(), shows);
}

// The boxes are not translated: they read the same under the English translation.
const QString kEnglish = HALVERN_QM_DIR "/HalvernDriver_en_US.qm";

void TrayIconTest::warnsWithoutWindowOrDialog() {
    ScopedTranslation english(kEnglish);
    QVERIFY(english.loaded());
    Boxes boxes;
    TrayIcon tray;
    entry(tray, "Setup")->trigger();
    entry(tray, "Main Window")->trigger();
    tray.clickCallback(QSystemTrayIcon::Trigger);
    QCOMPARE(boxes.shown,
             (QStringList{QString::fromUtf8("警告: 设置窗口未设置，请先设置设置窗口。"),
                          QString::fromUtf8("警告: 主窗口未设置，请先设置主窗口。"),
                          QString::fromUtf8("警告: 主窗口未设置，请先设置主窗口。")}));
}

void TrayIconTest::firmwareUpgradeAsksAndTells() {
    ScopedTranslation english(kEnglish);
    QtLogCapture log;
    Boxes boxes;
    SimulatedInterface iface;
    TrayIcon tray;
    QAction* upgrade = entry(tray, "Upgrade Firmware");

    boxes.answer = false;
    upgrade->trigger();
    QCOMPARE(boxes.shown, QStringList{QString::fromUtf8(
                              "警告? 升级固件期间请勿断开声卡或关闭程序。确定要开始升级吗？")});
    QVERIFY(!iface->status().firmwareUpgradeRequested);

    boxes.answer = true;
    upgrade->trigger();
    QVERIFY(iface->status().firmwareUpgradeRequested);

    iface->unplug();
    upgrade->trigger();
    QCOMPARE(log.count("Failed to create device in tern."), 1);
    QCOMPARE(boxes.asked, 3);
}

// The platform's shell runs the refresh: cmd.exe, which ends its lines with CR LF, or sh.
#ifdef _WIN32
const QStringList kShell{"cmd.exe", "/c"};
const char* const kFailingScript = "echo out& echo err>&2& exit 3";
const char* const kEol = "\\r\\n";
#else
const QStringList kShell{"sh", "-c"};
const char* const kFailingScript = "echo out; echo err >&2; exit 3";
const char* const kEol = "\\n";
#endif

void TrayIconTest::shellCommands_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("done") << "exit 0" << QStringList{QString::fromUtf8("资源管理器已成功重启")};
    QTest::newRow("failed") << kFailingScript
                            << QStringList{QString::fromUtf8("命令执行失败，退出代码: 3"),
                                           QString::fromUtf8("输出: \"out%1\"").arg(kEol),
                                           QString::fromUtf8("错误输出: \"err%1\"").arg(kEol)};
}

void TrayIconTest::shellCommands() {
    QFETCH(QString, script);
    QFETCH(QStringList, lines);
    ScopedTranslation english(kEnglish);
    QtLogCapture log;
    Boxes boxes;
    desktop().refreshProgram = kShell[0];
    desktop().refreshArguments = {kShell[1], script};
    bool soundOpens = true;
    desktop().openSoundSettings = [&](QString& hint) {
        hint = soundOpens ? QString() : QString("install one");
        return soundOpens;
    };
    TrayIcon tray;
    tray.refreshDeviceList();
    QCOMPARE(log.lines(), lines);

    tray.openSoundPannel();
    soundOpens = false;
    tray.openSoundPannel();
    QVERIFY(log.contains(QString::fromUtf8("声音设置面板已打开。")));
    QCOMPARE(boxes.shown,
             QStringList{QString::fromUtf8("错误: 无法打开声音设置面板，请检查系统设置。\n"
                                           "install one")});
}

QTEST_MAIN(TrayIconTest)
#include "tray_icon_test.moc"
