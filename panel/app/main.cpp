// HalvernMixer: one instance per session, translated from the system locale, living in the
// notification area until "Quit".
#include "app/desktop.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "app/tray_icon.h"
#include "settings/settings.h"

#include "halvern/platform/termination.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QLocale>
#include <QPixmap>
#include <QSharedMemory>
#include <QSocketNotifier>
#include <QSystemSemaphore>
#include <QTranslator>

#include <memory>

using namespace halvern::panel;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);

    QSystemSemaphore semaphore("HalvernQtDriverSemaphore", 1, QSystemSemaphore::Open);
    QSharedMemory segment("HalvernQtDriverSharedMemory");
    QTranslator translator;
    switch (checkSingleInstance(semaphore, segment)) {
    case InstanceCheck::AlreadyRunning:
        qDebug() << "Halvern Mixer 已经在运行中。";
        QCoreApplication::quit();
        return 0;
    case InstanceCheck::Failed:
        qDebug() << "无法创建共享内存，程序退出。";
        return -1;
    case InstanceCheck::First:
        break;
    }

    installTranslation(app, translator, QLocale::system().name(),
                       QCoreApplication::applicationDirPath());

    QPixmap icon(":/icon/icon.ico");
    if (!icon.isNull())
        QApplication::setWindowIcon(QIcon(icon));

    Settings settings;
    MainWindow window;
    window.setSettingsDialog(&settings);
    TrayIcon tray;
    tray.setMainWindow(&window);
    tray.setSettingsDialog(&settings);
    tray.setVisible(true);

    if (!desktop().trayAvailable()) {
        // Never an invisible process: without a notification area the window is the program.
        qDebug() << "No notification area: the main window is shown and closing it quits.";
        window.show();
    }
    scheduleSnapshots(&window, &settings, &tray);

    // A logout or a service manager ends the panel through the event loop, so that the objects
    // go in order and the single-instance segment goes with them.
    std::unique_ptr<QSocketNotifier> termination;
    const int terminationFd = halvern::platform::terminationRequestFd();
    if (terminationFd >= 0) {
        termination = std::make_unique<QSocketNotifier>(terminationFd, QSocketNotifier::Read);
        QObject::connect(termination.get(), &QSocketNotifier::activated, [] {
            qDebug() << "Termination requested: quitting.";
            QCoreApplication::quit();
        });
    }

    return app.exec();
}
