// The server end of one named message pipe, served one message per client connection.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

class PipeServer {
public:
    static constexpr uint32_t kMessageBytes = 1024;

    explicit PipeServer(const QString& name);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    bool create();
    // Waits for a client, reads one message of at most kMessageBytes into `buffer` (which holds
    // kMessageBytes), drops the client. False when no message was read, or after cancel().
    bool readMessage(uint8_t* buffer);
    // From another thread: ends a pending or later readMessage() at once, for good.
    void cancel();
    void close();

    QString name;
    void* handle; // platform handle; invalid while not created and after close()

private:
    std::atomic<bool> cancelled_{false};
};
