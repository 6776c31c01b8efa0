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

namespace {

// The server thread's side of the socket: the connections and what the last wait found.
class SocketServer {
public:
    explicit SocketServer(Simulator::Impl& s) : s_(s) {}

    // Serves until the simulator stops.
    void run() {
        while (serveNext()) {
        }
        conns_.clear();
        s_.connections.store(0);
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.closeListener();
        s_.opDone = s_.opRequested;
        s_.cv.notify_all();
    }

private:
    // Waits for the next events and answers them; false once a stop is asked.
    bool serveNext() {
        items_.clear();
        items_.push_back({s_.wake.fd(), false});
        const bool listening = bool(s_.listener);
        if (listening)
            items_.push_back({s_.listener.get(), false});
        const std::size_t firstConn = items_.size();
        for (const auto& c : conns_)
            items_.push_back({c.get(), false});
        // Bounded, although the wake descriptor already ends the wait on every change.
        io::pollReadable(items_, 1000);

        if (items_[0].ready)
            return takeOps(firstConn); // the set of descriptors may have changed
        if (listening && items_[1].ready)
            acceptClients();
        serveRequests(firstConn);
        return true;
    }

    // The operations other threads asked for (unplug, replug); false for a stop.
    bool takeOps(std::size_t firstConn) {
        s_.wake.drain();
        std::unique_lock<std::mutex> lock(s_.mutex);
        if (s_.stopRequested)
            return false;
        if (s_.unplugPending) {
            s_.unplugPending = false;
            conns_.clear();
            items_.resize(firstConn);
            s_.closeListener();
            s_.plugged = false;
        }
        if (s_.replugPending) {
            s_.replugPending = false;
            if (!s_.listener) {
                s_.listener = platform::posix::listenBusSocket(s_.socketPath);
                s_.plugged = bool(s_.listener);
                if (!s_.plugged)
                    s_.error = "cannot serve " + s_.socketPath +
                               " again: " + std::string(std::strerror(errno));
            }
        }
        s_.connections.store(uint32_t(conns_.size()));
        s_.opDone = s_.opRequested;
        s_.cv.notify_all();
        return true;
    }

    // Every client waiting: each gets its verdict, and its connection is kept if taken.
    void acceptClients() {
        while (UniqueFd c = platform::posix::acceptBusConnection(s_.listener.get())) {
            const uint32_t verdict = s_.takeOpenVerdict();
            if (io::limitSendTime(c.get(), kReplySendTimeoutMs) &&
                platform::posix::sendOpenVerdict(c.get(), verdict) && verdict == 0)
                conns_.push_back(std::move(c));
        }
    }

    // The requests of the connections found readable; a connection that fails is closed.
    void serveRequests(std::size_t firstConn) {
        std::vector<std::size_t> closed;
        for (std::size_t i = firstConn; i < items_.size(); ++i) {
            const std::size_t ci = i - firstConn;
            if (items_[i].ready && !answer(conns_[ci].get()))
                closed.push_back(ci);
        }
        for (auto it = closed.rbegin(); it != closed.rend(); ++it)
            conns_.erase(conns_.begin() + std::ptrdiff_t(*it));
        s_.connections.store(uint32_t(conns_.size()));
    }

    // False when the connection is to be closed.
    bool answer(int fd) {
        BusRequest request;
        BusReply reply;
        ReceiveResult r = platform::posix::receiveBusRequest(fd, request);
        if (r != ReceiveResult::Request) {
            if (r == ReceiveResult::Malformed)
                trace("malformed request, connection closed");
            return false;
        }
        if (s_.process(request, reply) && !platform::posix::sendBusReply(fd, reply)) {
            trace("a reply could not be delivered, connection closed");
            return false;
        }
        return true;
    }

    Simulator::Impl& s_;
    std::vector<UniqueFd> conns_;
    std::vector<io::PollItem> items_;
};

} // namespace

void Simulator::Impl::serve() {
    SocketServer(*this).run();
}

void Simulator::Impl::closeListener() {
    if (!listener)
        return;
    listener.reset();
    io::removePath(socketPath);
}

} // namespace halvern::sim
