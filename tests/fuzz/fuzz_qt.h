// The Qt side of the panel's fuzz targets: an offscreen application, silent debug output, and a
// settings file replaced by the input between runs.
#pragma once

#include "fuzz_support.h"

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>

namespace halvern::fuzz {

inline void quietQt(QtMsgType, const QMessageLogContext&, const QString&) {}

inline QApplication& qtApp() {
    static QApplication* app = [] {
        runtime();
        silenceStdout();
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        qInstallMessageHandler(quietQt);
        static int argc = 1;
        static char name[] = "halvern-fuzz";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        QCoreApplication::setOrganizationName("Halvern");
        QCoreApplication::setApplicationName("HalvernMixer");
        return a;
    }();
    return *app;
}

// Writes `bytes` as the file at `path` with a modification time of its own, so that every
// QSettings (which keeps files by name and time) reads it anew.
inline void replaceIniFile(const QString& path, const std::vector<uint8_t>& bytes) {
    static int64_t stamp = 1000000000;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    f.close();
    const timespec times[2] = {{++stamp, 0}, {stamp, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
    QSettings(path, QSettings::IniFormat).sync();
}

} // namespace halvern::fuzz
