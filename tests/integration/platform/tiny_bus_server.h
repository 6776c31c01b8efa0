// A minimal device for the transport tests: listens on a bus socket and answers each request
// with whatever the test's handler returns.
#pragma once

#include "halvern/platform/posix/bus_server.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace halvern::test {

class TinyBusServer {
public:
    using Handler = std::function<platform::posix::BusReply(platform::posix::BusRequest&)>;

    TinyBusServer(const std::string& path, Handler handler);
    ~TinyBusServer();
    bool listening() const { return bool(listen_); }
    int liveConnections() const { return liveCount_.load(); }
    int malformed() const { return malformedCount_.load(); }
    // Closes every accepted connection (the device goes away, the listener stays).
    void dropConnections() { dropRequested_.store(true); }

private:
    void run();

    Handler handler_;
    platform::posix::UniqueFd listen_;
    platform::posix::UniqueFd stop_;
    std::thread thread_;
    std::atomic<int> liveCount_{0};
    std::atomic<int> malformedCount_{0};
    std::atomic<bool> dropRequested_{false};
};

} // namespace halvern::test
