#include "app/startup.h"

#include "app/main_window.h"
#include "app/tray_icon.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTimer>
#include <QTranslator>

namespace halvern::panel {

InstanceCheck checkSingleInstance(QSystemSemaphore& semaphore, QSharedMemory& segment) {
    semaphore.acquire();
#ifndef _WIN32
    // The segment's system key comes from a file under the temporary folder, and attach looks
    // for the file first. A segment can outlive its file (a cleaned /tmp); with the file back,
    // such a segment is found and cleared below instead of blocking every later create.
    {
        QFile keyFile(segment.nativeKey());
        if (!keyFile.exists() && keyFile.open(QIODevice::WriteOnly))
            keyFile.close();
    }
#endif
    bool running = segment.attach(QSharedMemory::ReadWrite);
#ifndef _WIN32
    // Unlike Windows, Linux keeps a segment after its last holder died. Detaching removes it
    // when nobody else holds it, so only a live instance's segment survives the second attach.
    if (running) {
        segment.detach();
        running = segment.attach(QSharedMemory::ReadWrite);
    }
#endif
    if (running) {
        semaphore.release();
        return InstanceCheck::AlreadyRunning;
    }
    if (!segment.create(1, QSharedMemory::ReadWrite)) {
        semaphore.release();
        return InstanceCheck::Failed;
    }
    semaphore.release();
    return InstanceCheck::First;
}

QString translationCodeFor(const QString& localeName) {
    static const struct {
        const char* locale;
        const char* code;
    } table[] = {
        {"en_001", "en_US"}, {"en_US", "en_US"}, {"en_GB", "en_US"},
        {"zh_CN", "zh_CN"},  {"zh_TW", "zh_CN"},
    };
    for (const auto& row : table)
        if (localeName == QLatin1String(row.locale))
            return QString::fromLatin1(row.code);
    return "en_US";
}

bool installTranslation(QCoreApplication& app, QTranslator& translator, const QString& localeName,
                        const QString& directory) {
    qDebug() << "系统返回的语言代码：" << localeName;
    const QStringList candidates{translationCodeFor(localeName)};
    for (const QString& code : candidates) {
        const QString path = directory + QString("/HalvernDriver_%1.qm").arg(code);
        qDebug() << "拼接后的路径：" << path;
        if (translator.load(path)) {
            app.installTranslator(&translator);
            qDebug() << "成功加载翻译文件：" << path;
            return true;
        }
    }
    const QString fallback = directory + "/HalvernDriver_en_US.qm";
    if (translator.load(fallback)) {
        app.installTranslator(&translator);
        qDebug() << "加载默认翻译文件：" << fallback;
        return true;
    }
    qWarning() << "未找到任何翻译文件，使用原始文本";
    return false;
}

void scheduleSnapshots(MainWindow* window, Settings* settings, TrayIcon* tray) {
    const QString dir = qEnvironmentVariable("HALVERN_MIXER_SNAPSHOT");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    auto* timer = new QTimer(window);
    const QDeadlineTimer deadline(15000);
    QObject::connect(timer, &QTimer::timeout, window, [=] {
        // A page is in the window once the title names the model.
        if (!window->windowTitle().contains(" - FW: ") && !deadline.hasExpired())
            return;
        timer->stop();
        // Long enough for the page's level read-outs to replace their placeholders.
        QTimer::singleShot(1500, window, [=] {
            const bool ok = window->grab().save(dir + "/main-window.png") &&
                            settings->grab().save(dir + "/settings.png") &&
                            tray->menu()->grab().save(dir + "/tray-menu.png");
            qDebug() << (ok ? "Snapshots written to" : "Snapshots could not be written to") << dir;
        });
    });
    timer->start(250);
}

} // namespace halvern::panel
