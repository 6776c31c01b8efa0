// The simulated device on POSIX: a seqpacket socket <runtime>/bus/HalvernAudioBusN served by
// one thread for every connection, memfd sample areas and the signal times in a file.
#include "simulator_impl.h"

#include "halvern/platform/runtime_dir.h"
#include "halvern/platform/trace.h"

#include <cerrno>
#include <cstring>

namespace halvern::sim {

using namespace detail;
using io::UniqueFd;
using platform::posix::ReceiveResult;

bool Simulator::Impl::openTransport() {
    runtime = config.runtimeDir.empty() ? platform::runtimeDir() : config.runtimeDir;
    const std::string busDir = runtime + "/bus";
    if (!io::makePrivateDirectory(runtime) || !io::makePrivateDirectory(busDir)) {
        error = "cannot create " + busDir;
        return false;
    }
    socketPath = busDir + "/HalvernAudioBus" + std::to_string(config.index);
    timingPath = signalTimesPath(runtime, config.index);
    listener = platform::posix::listenBusSocket(socketPath);
    if (!listener) {
        int err = errno;
        error = err == EADDRINUSE
                    ? "another simulator already serves " + socketPath
                    : "cannot serve " + socketPath + ": " + std::string(std::strerror(err));
        return false;
    }
    // The sample areas live as long as the simulator: a host keeps its mapping across
    // reopened handles and replugs.
    if (!inArea)
        inArea = SharedArea::create("halvern-input", kSharedAreaBytes);
    if (!outArea)
        outArea = SharedArea::create("halvern-output", kSharedAreaBytes);
    if (!inArea || !outArea) {
        listener.reset();
        io::removePath(socketPath);
        error = "cannot create the shared sample areas";
        return false;
    }
    timing = MappedFile::open(timingPath, sizeof(SignalTimes), true);
    if (!timing)
        trace("cannot create " + timingPath + "; signal times are not published");
    return true;
}

void Simulator::Impl::closeTransport() {
    timing.reset();
    io::removePath(timingPath);
}

void Simulator::Impl::serve() {
    std::vector<UniqueFd> conns;
    std::vector<io::PollItem> items;
    for (;;) {
        items.clear();
        items.push_back({wake.fd(), false});
        const bool listening = bool(listener);
        if (listening)
            items.push_back({listener.get(), false});
        const std::size_t firstConn = items.size();
        for (const auto& c : conns)
            items.push_back({c.get(), false});
        // Bounded, although the wake descriptor already ends the wait on every change.
        io::pollReadable(items, 1000);

        if (items[0].ready) {
            wake.drain();
            std::unique_lock<std::mutex> lock(mutex);
            if (stopRequested)
                break;
            if (unplugPending) {
                unplugPending = false;
                conns.clear();
                items.resize(firstConn);
                closeListener();
                plugged = false;
            }
            if (replugPending) {
                replugPending = false;
                if (!listener) {
                    listener = platform::posix::listenBusSocket(socketPath);
                    plugged = bool(listener);
                    if (!plugged)
                        error = "cannot serve " + socketPath +
                                " again: " + std::string(std::strerror(errno));
                }
            }
            connections.store(uint32_t(conns.size()));
            opDone = opRequested;
            cv.notify_all();
            continue; // the set of descriptors may have changed
        }

        if (listening && items[1].ready) {
            while (UniqueFd c = platform::posix::acceptBusConnection(listener.get())) {
                const uint32_t verdict = takeOpenVerdict();
                if (io::limitSendTime(c.get(), kReplySendTimeoutMs) &&
                    platform::posix::sendOpenVerdict(c.get(), verdict) && verdict == 0)
                    conns.push_back(std::move(c));
            }
        }
        std::vector<std::size_t> closed;
        for (std::size_t i = firstConn; i < items.size(); ++i) {
            if (!items[i].ready)
                continue;
            std::size_t ci = i - firstConn;
            BusRequest request;
            BusReply reply;
            ReceiveResult r = platform::posix::receiveBusRequest(conns[ci].get(), request);
            if (r == ReceiveResult::Request) {
                if (process(request, reply) &&
                    !platform::posix::sendBusReply(conns[ci].get(), reply)) {
                    trace("a reply could not be delivered, connection closed");
                    closed.push_back(ci);
                }
            } else {
                if (r == ReceiveResult::Malformed)
                    trace("malformed request, connection closed");
                closed.push_back(ci);
            }
        }
        for (auto it = closed.rbegin(); it != closed.rend(); ++it)
            conns.erase(conns.begin() + std::ptrdiff_t(*it));
        connections.store(uint32_t(conns.size()));
    }
    conns.clear();
    connections.store(0);
    std::lock_guard<std::mutex> lock(mutex);
    closeListener();
    opDone = opRequested;
    cv.notify_all();
}

void Simulator::Impl::closeListener() {
    if (!listener)
        return;
    listener.reset();
    io::removePath(socketPath);
}

} // namespace halvern::sim
