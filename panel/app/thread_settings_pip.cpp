#include "app/thread_settings_pip.h"

#include "app/pipe_server.h"

#include "halvern/protocol/bus_protocol.h"
#include "halvern/protocol/pipe_messages.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QString>

namespace {
constexpr int kPauseMs = 100;
// The cancelled wait ends at once and a read of a silent client with it; this only bounds a
// thread that the system keeps in a call for longer.
constexpr int kJoinMs = 6000;
} // namespace

ThreadSettingsPip::ThreadSettingsPip(QObject* parent)
    : QThread(parent),
      pipe(new PipeServer(QString::fromWCharArray(halvern::protocol::kAsioToPanelPipeW))) {
    if (!pipe->create())
        qDebug() << "Failed to create named pipe in ThreadSettingsPip.";
    qDebug() << "ThreadSettingsPip initialized.";
}

ThreadSettingsPip::~ThreadSettingsPip() {
    stopping_.store(true);
    pipe->cancel();
    if (!wait(QDeadlineTimer(kJoinMs))) {
        // Never seen; releasing the pipe under a running thread would be worse.
        qWarning() << "ThreadSettingsPip did not end in time; terminating it.";
        terminate();
        wait(QDeadlineTimer(1000));
    }
    delete pipe;
    pipe = nullptr;
}

void ThreadSettingsPip::run() {
    using halvern::protocol::getLe32;
    while (!stopping_.load()) {
        qDebug() << "ThreadSettingsPip is running waiting Asio Info...";
        uint8_t buffer[PipeServer::kMessageBytes] = {};
        if (pipe->readMessage(buffer)) {
            const uint32_t openWindow = getLe32(buffer + 16);
            qDebug() << "Received data from pipe:" << getLe32(buffer) << getLe32(buffer + 4)
                     << getLe32(buffer + 8) << getLe32(buffer + 12) << openWindow;
            if (openWindow != 0) {
                qDebug() << "Open Window Signal from ASIO.";
                emit progressUpdated(1);
            }
        } else if (!stopping_.load()) {
            qDebug() << "No data received from pipe.";
        }
        // The pause between passes; a stop request cuts it short.
        for (int waited = 0; waited < kPauseMs && !stopping_.load(); waited += 10)
            msleep(10);
    }
}
