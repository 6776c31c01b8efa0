#include "tiny_bus_server.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace halvern::test {

using namespace platform::posix;

TinyBusServer::TinyBusServer(const std::string& path, Handler handler)
    : handler_(std::move(handler)), listen_(listenBusSocket(path)), stop_(eventfd(0, EFD_CLOEXEC)) {
    if (listen_)
        thread_ = std::thread([this] { run(); });
}

TinyBusServer::~TinyBusServer() {
    if (thread_.joinable()) {
        signalEventFd(stop_.get());
        thread_.join();
    }
}

void TinyBusServer::run() {
    std::vector<UniqueFd> conns;
    for (;;) {
        if (dropRequested_.exchange(false)) {
            conns.clear();
            liveCount_.store(0);
        }
        std::vector<pollfd> fds{{stop_.get(), POLLIN, 0}, {listen_.get(), POLLIN, 0}};
        for (auto& c : conns)
            fds.push_back({c.get(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), 20) < 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            if (UniqueFd c = acceptBusConnection(listen_.get())) {
                sendOpenVerdict(c.get(), 0);
                conns.push_back(std::move(c));
            }
        }
        std::vector<int> closed;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            BusRequest request;
            ReceiveResult r = receiveBusRequest(fds[i].fd, request);
            if (r == ReceiveResult::Request) {
                BusReply reply = handler_(request);
                sendBusReply(fds[i].fd, reply);
                continue;
            }
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
        liveCount_.store(int(conns.size()));
    }
}

} // namespace halvern::test
