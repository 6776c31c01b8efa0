// The serving loop of a stand-in device on a bus socket, for tests that need a device the
// simulator will not be (hand-made replies, garbled ones, a device that drops everyone). The
// owner decides what an open and a request get; returning false from either hangs up that
// connection.
#pragma once

#include "halvern/platform/posix/bus_server.h"

#include <atomic>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <utility>
#include <vector>

namespace halvern::test {

class BusDeviceLoop {
public:
    using OnOpen = std::function<bool(int fd)>;
    using OnRequest = std::function<bool(int fd, platform::posix::BusRequest& request)>;

    BusDeviceLoop(const std::string& path, OnOpen onOpen, OnRequest onRequest)
        : onOpen_(std::move(onOpen)), onRequest_(std::move(onRequest)),
          listen_(platform::posix::listenBusSocket(path)), stop_(eventfd(0, EFD_CLOEXEC)) {
        if (listen_)
            thread_ = std::thread([this] { run(); });
    }
    ~BusDeviceLoop() {
        if (thread_.joinable()) {
            platform::posix::signalEventFd(stop_.get());
            thread_.join();
        }
    }
    BusDeviceLoop(const BusDeviceLoop&) = delete;
    BusDeviceLoop& operator=(const BusDeviceLoop&) = delete;

    bool listening() const { return bool(listen_); }
    int liveConnections() const { return liveCount_.load(); }
    int malformed() const { return malformedCount_.load(); }
    // Closes every accepted connection (the device goes away, the listener stays).
    void dropConnections() { dropRequested_.store(true); }

private:
    void run() {
        using namespace platform::posix;
        std::vector<UniqueFd> conns;
        for (;;) {
            if (dropRequested_.exchange(false)) {
                conns.clear();
                liveCount_.store(0);
            }
            std::vector<pollfd> fds{{stop_.get(), POLLIN, 0}, {listen_.get(), POLLIN, 0}};
            for (auto& c : conns)
                fds.push_back({c.get(), POLLIN, 0});
            // Short, so that a drop asked for between requests is seen soon.
            if (poll(fds.data(), fds.size(), 20) < 0)
                continue;
            if (fds[0].revents)
                return;
            std::vector<int> closed;
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                BusRequest request;
                const ReceiveResult r = receiveBusRequest(fds[i].fd, request);
                if (r == ReceiveResult::Request && onRequest_(fds[i].fd, request))
                    continue;
                if (r == ReceiveResult::Malformed)
                    ++malformedCount_;
                closed.push_back(fds[i].fd);
            }
            for (int fd : closed)
                for (auto it = conns.begin(); it != conns.end(); ++it)
                    if (it->get() == fd) {
                        conns.erase(it);
                        break;
                    }
            if (fds[1].revents & POLLIN) {
                if (UniqueFd c = acceptBusConnection(listen_.get()); c && onOpen_(c.get()))
                    conns.push_back(std::move(c));
            }
            liveCount_.store(int(conns.size()));
        }
    }

    OnOpen onOpen_;
    OnRequest onRequest_;
    platform::posix::UniqueFd listen_;
    platform::posix::UniqueFd stop_;
    std::thread thread_;
    std::atomic<int> liveCount_{0};
    std::atomic<int> malformedCount_{0};
    std::atomic<bool> dropRequested_{false};
};

} // namespace halvern::test
