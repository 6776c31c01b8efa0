// Shared by the panel's Qt tests: the debug lines the panel writes, and a simulated interface
// with its own runtime and data folders, so a test never meets a running panel or another test.
#pragma once

#include "test_support.h"

#include "halvern/sim/simulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QtGlobal>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

namespace halvern::test {

// Collects the Qt debug and warning lines while alive (GUI thread and worker threads alike).
class QtLogCapture {
public:
    QtLogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        current() = this;
        previous_ = qInstallMessageHandler(&QtLogCapture::handler);
    }
    ~QtLogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    QtLogCapture(const QtLogCapture&) = delete;
    QtLogCapture& operator=(const QtLogCapture&) = delete;

    QStringList lines() const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines_;
    }
    int count(const QString& line) const { return lines().count(line); }
    bool contains(const QString& line) const { return lines().contains(line); }
    // Lines that begin with `prefix`.
    QStringList startingWith(const QString& prefix) const {
        QStringList out;
        for (const QString& l : lines())
            if (l.startsWith(prefix))
                out << l;
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        lines_.clear();
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static QtLogCapture*& current() {
        static QtLogCapture* c = nullptr;
        return c;
    }
    static void handler(QtMsgType, const QMessageLogContext&, const QString& text) {
        std::lock_guard<std::mutex> lock(mutex());
        if (current())
            current()->lines_ << text;
    }
    QtMessageHandler previous_ = nullptr;
    QStringList lines_;
};

// A private runtime directory, a private application data folder and a simulated interface of
// `model` serving \\.\HalvernAudioBus0 in it. The data folder is XDG_DATA_HOME on Linux; Windows
// takes it from the user's profile, so there the test-mode folder is emptied before and after.
class SimulatedInterface {
public:
    explicit SimulatedInterface(uint32_t model = protocol::kModelWren, sim::SimConfig config = {}) {
#ifdef _WIN32
        QStandardPaths::setTestModeEnabled(true);
        dataHome_ = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString();
        QDir(QString::fromStdString(dataHome_)).removeRecursively();
#else
        dataHome_ = runtime_.path() + "/data";
        std::filesystem::create_directories(dataHome_);
        if (const char* v = std::getenv("XDG_DATA_HOME"))
            oldDataHome_ = v, hadDataHome_ = true;
        setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
#endif
        config.model = model;
        sim_ = std::make_unique<sim::Simulator>(config);
        started_ = sim_->start();
    }
    ~SimulatedInterface() {
        sim_.reset();
#ifdef _WIN32
        QDir(QString::fromStdString(dataHome_)).removeRecursively();
#else
        if (hadDataHome_)
            setenv("XDG_DATA_HOME", oldDataHome_.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
#endif
    }
    SimulatedInterface(const SimulatedInterface&) = delete;
    SimulatedInterface& operator=(const SimulatedInterface&) = delete;

    bool started() const {
        return started_;
    }
    sim::Simulator& sim() {
        return *sim_;
    }
    sim::Simulator* operator->() {
        return sim_.get();
    }
    const std::string& runtimeDir() const {
        return runtime_.path();
    }
    // Where QStandardPaths::AppDataLocation points for this process while the object lives.
    const std::string& dataHome() const {
        return dataHome_;
    }

private:
    TempRuntimeDir runtime_;
    std::string dataHome_;
    std::string oldDataHome_;
    bool hadDataHome_ = false;
    std::unique_ptr<sim::Simulator> sim_;
    bool started_ = false;
};

// The translation in `qmFile` installed while alive.
class ScopedTranslation {
public:
    explicit ScopedTranslation(const QString& qmFile)
        : loaded_(translator_.load(qmFile) && QCoreApplication::installTranslator(&translator_)) {}
    ~ScopedTranslation() { QCoreApplication::removeTranslator(&translator_); }
    ScopedTranslation(const ScopedTranslation&) = delete;
    ScopedTranslation& operator=(const ScopedTranslation&) = delete;
    bool loaded() const { return loaded_; }

private:
    QTranslator translator_;
    bool loaded_ = false;
};

// Runs the event loop until `done()` holds or `timeoutMs` passed; returns `done()`.
template <typename Done> bool processEventsUntil(Done done, int timeoutMs = 3000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

} // namespace halvern::test
