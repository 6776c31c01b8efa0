// What the fuzz targets share: a private runtime folder, quiet output, a check that stops the
// run with a message, and a device on the bus socket that answers whatever the input says.
#pragma once

#include "bus_device_loop.h"

#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A broken promise of the code under test: libFuzzer records the input that led here.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace halvern::fuzz {

// Devices, pipes and the registry of this process live in a folder of its own, so that a run
// never meets a panel, a simulator or another target.
class PrivateRuntime {
public:
    PrivateRuntime() {
        // Memory-backed when there is such a folder: the settings files are synced at every
        // change, and a disk makes that the cost of a run.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "halvern-fuzz-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
        setenv("HALVERN_RUNTIME_DIR", path_.c_str(), 1);
        setenv("HALVERN_REGISTRY", (path_ + "/registry.reg").c_str(), 1);
        setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
        setenv("XDG_DATA_HOME", path_.c_str(), 1);
    }
    ~PrivateRuntime() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline const PrivateRuntime& runtime() {
    static PrivateRuntime r;
    return r;
}

// The driver and the bus discovery print their progress to standard output; libFuzzer reports
// on standard error.
inline void silenceStdout() {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

// Fails once the process holds `slack` descriptors more than at its first call: a run that
// leaves one behind is caught long before the process runs out, where it would show as some
// other fault. Looked at every 64th call, as listing them costs as much as a fast run.
inline void checkNoDescriptorLeak(std::size_t slack = 32) {
    static unsigned calls = 0;
    static std::size_t baseline = 0;
    if (calls++ % 64 != 0)
        return;
    std::error_code ec;
    std::size_t open = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec))
        ++open;
    if (calls == 1)
        baseline = open;
    FUZZ_CHECK(open < baseline + slack);
}

// One seqpacket message with `fds` attached (SCM_RIGHTS); false when it did not go whole.
inline bool sendMessage(int fd, const std::vector<uint8_t>& bytes, const std::vector<int>& fds) {
    const iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    return platform::posix::sendSocketMessage(fd, &iov, 1, fds.data(), fds.size()) ==
           ssize_t(bytes.size());
}

// The next message within `timeoutMs` (a check fails past it), at most `capacity` bytes of it,
// empty when the peer hung up. Descriptors that come along are closed.
inline std::vector<uint8_t> receiveMessage(int fd, std::size_t capacity, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do { // libFuzzer's alarm for its time-out check interrupts the wait
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    FUZZ_CHECK(ready == 1); // a peer that neither answers nor hangs up
    std::vector<uint8_t> b(capacity);
    std::vector<platform::posix::UniqueFd> fds;
    int flags = 0;
    const ssize_t n = platform::posix::receiveSocketMessage(fd, b.data(), b.size(), fds, flags);
    b.resize(n > 0 ? std::min(std::size_t(n), capacity) : 0);
    return b;
}

// A device on <runtime>/bus/<name>: answers each open with `verdict` and each request with
// what `answer` returns: raw reply bytes (sent as one message, well-formed or not) and the
// descriptors to pass along. Answering nothing (empty bytes) hangs up.
class ScriptedDevice {
public:
    struct Answer {
        std::vector<uint8_t> bytes;
        std::vector<int> fds;
    };
    using Verdict = std::function<std::vector<uint8_t>()>;
    using Responder = std::function<Answer(const platform::posix::BusRequest&)>;

    ScriptedDevice(const std::string& name, Verdict verdict, Responder answer)
        : loop_((runtime(), platform::busDirectory()) + "/" + name,
                [v = std::move(verdict)](int fd) {
                    const std::vector<uint8_t> bytes = v();
                    return !bytes.empty() && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0;
                },
                [a = std::move(answer)](int fd, platform::posix::BusRequest& request) {
                    const Answer answer = a(request);
                    return !answer.bytes.empty() && sendMessage(fd, answer.bytes, answer.fds);
                }) {
        if (!loop_.listening())
            std::abort();
    }

private:
    test::BusDeviceLoop loop_;
};

// A well-formed reply of the bus socket: magic, success, error, length, output.
inline std::vector<uint8_t> replyBytes(bool success, uint32_t error,
                                       const std::vector<uint8_t>& output) {
    std::vector<uint8_t> b(16 + output.size());
    const uint32_t head[4] = {platform::posix::kReplyMagic, success ? 1u : 0u, error,
                              uint32_t(output.size())};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            b[4 * i + k] = uint8_t(head[i] >> (8 * k));
    std::copy(output.begin(), output.end(), b.begin() + 16);
    return b;
}

} // namespace halvern::fuzz
