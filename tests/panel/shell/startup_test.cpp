// The start-up steps: the translation choice and the single-instance check.

#include "app/startup.h"

#include "panel_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QUuid>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

using halvern::panel::InstanceCheck;
using halvern::test::QtLogCapture;

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void localeTable_data();
    void localeTable();
    void translationFallbacks_data();
    void translationFallbacks();
    void shippedTranslations();
    void secondInstanceSeesTheFirst();
    void segmentOfACrashedInstanceIsCleared();
};

void StartupTest::localeTable_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("code");
    for (const char* l : {"en_001", "en_US", "en_GB"})
        QTest::newRow(l) << l << "en_US";
    for (const char* l : {"zh_CN", "zh_TW"})
        QTest::newRow(l) << l << "zh_CN";
    for (const char* l : {"de_DE", "zh_HK", "zh_cn", ""})
        QTest::newRow(l) << l << "en_US";
}

void StartupTest::localeTable() {
    QFETCH(QString, locale);
    QFETCH(QString, code);
    QCOMPARE(halvern::panel::translationCodeFor(locale), code);
}

void StartupTest::translationFallbacks_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("line"); // the outcome's line, with <dir> for the folder
    QTest::newRow("zh_TW") << QStringList{"zh_CN", "en_US"} << "zh_TW"
                           << QString::fromUtf8(
                                  "成功加载翻译文件： \"<dir>/HalvernDriver_zh_CN.qm\"");
    QTest::newRow("zh_CN missing")
        << QStringList{"en_US"} << "zh_CN"
        << QString::fromUtf8("加载默认翻译文件： \"<dir>/HalvernDriver_en_US.qm\"");
    QTest::newRow("none") << QStringList{} << "en_GB"
                          << QString::fromUtf8("未找到任何翻译文件，使用原始文本");
}

void StartupTest::translationFallbacks() {
    QFETCH(QStringList, files);
    QFETCH(QString, locale);
    QFETCH(QString, line);
    QTemporaryDir dir;
    for (const QString& code : files)
        QVERIFY(QFile::copy(QString(HALVERN_QM_DIR "/HalvernDriver_%1.qm").arg(code),
                            dir.path() + QString("/HalvernDriver_%1.qm").arg(code)));
    QtLogCapture log;
    QTranslator translator;
    const bool loaded = halvern::panel::installTranslation(*qApp, translator, locale, dir.path());
    QCOMPARE(loaded, !files.isEmpty());
    QCOMPARE(log.lines().first(), QString::fromUtf8("系统返回的语言代码： \"%1\"").arg(locale));
    QCOMPARE(log.lines().last(), QString(line).replace("<dir>", dir.path()));
    QCOMPARE(log.count(QString::fromUtf8("未找到任何翻译文件，使用原始文本")), files.isEmpty());
    QCoreApplication::removeTranslator(&translator);
}

void StartupTest::shippedTranslations() {
    const struct {
        const char* code;
        const char* context;
        const char* source;
        const char* shown;
    } cases[] = {
        {"en_US", "MainWindow", "声卡未连接！", "Audio interface not connected!"},
        {"zh_CN", "TrayIcon", "Quit", "退出"},
        {"zh_CN", "Settings", "USB Error Count: %1", "USB 错误次数：%1"},
    };
    for (const auto& c : cases) {
        QTranslator translator;
        QVERIFY(translator.load(QString(HALVERN_QM_DIR "/HalvernDriver_%1.qm").arg(c.code)));
        QCOMPARE(translator.translate(c.context, c.source), QString::fromUtf8(c.shown));
    }
}

void StartupTest::secondInstanceSeesTheFirst() {
    const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSystemSemaphore semaphore(key + "-sem", 1, QSystemSemaphore::Open);
    QSharedMemory first(key), second(key), third(key);
    QCOMPARE(halvern::panel::checkSingleInstance(semaphore, first), InstanceCheck::First);
    QCOMPARE(halvern::panel::checkSingleInstance(semaphore, second), InstanceCheck::AlreadyRunning);
    first.detach();
    second.detach();
    QCOMPARE(halvern::panel::checkSingleInstance(semaphore, third), InstanceCheck::First);
}

void StartupTest::segmentOfACrashedInstanceIsCleared() {
#ifdef _WIN32
    QSKIP("Windows removes the segment with its last holder");
#else
    const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const pid_t child = fork();
    if (child == 0) {
        // An instance that dies without detaching, as after kill -9.
        QSharedMemory segment(key);
        _exit(segment.create(1) ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(WEXITSTATUS(status), 0);
    // Without the clearing the dead instance's segment would read as a running panel.
    QSystemSemaphore semaphore(key + "-sem", 1, QSystemSemaphore::Open);
    QSharedMemory next(key);
    QCOMPARE(halvern::panel::checkSingleInstance(semaphore, next), InstanceCheck::First);
#endif
}

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
