// The panel's listener on \\.\pipe\HalvernASIOToPannel: reads the ASIO driver's status
// messages and asks the settings dialog to show itself when a message says so.
#pragma once

#include <QThread>

#include <atomic>

class PipeServer;

class ThreadSettingsPip : public QThread {
    Q_OBJECT

public:
    explicit ThreadSettingsPip(QObject* parent = nullptr);
    // Ends the wait for a client and joins the thread before the pipe is released.
    ~ThreadSettingsPip() override;

signals:
    // Emitted with 1: show the settings window.
    void progressUpdated(int value);

protected:
    void run() override;

private:
    PipeServer* pipe;
    std::atomic<bool> stopping_{false};
};
