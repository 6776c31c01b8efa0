#include "signal_times.h"

#if defined(_WIN32)
#include "halvern/platform/win32/bus_pipe.h"

#include <windows.h>
#else
#include "halvern/platform/runtime_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace halvern::host {

SignalTimesReader::~SignalTimesReader() {
    close();
}

#if defined(_WIN32)

bool SignalTimesReader::openForDriverDevice(std::string& why) {
    // The simulated devices publish their record as a named mapping; the driver takes the
    // first device that answers, so the first record present is that device's.
    for (int index = 0; index < platform::win32::kSimulatedBusCount; ++index) {
        const std::wstring name = platform::win32::simulatedBusMappingName(index, L"timing");
        if (open(std::string(name.begin(), name.end()), why))
            return true;
    }
    why = "no simulated device publishes signal times";
    return false;
}

bool SignalTimesReader::open(const std::string& path, std::string& why) {
    close();
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, path.c_str());
    if (section == nullptr) {
        why = path + ": error " + std::to_string(GetLastError());
        return false;
    }
    void* p = MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(protocol::SignalTimes));
    CloseHandle(section);
    if (p == nullptr) {
        why = path + ": error " + std::to_string(GetLastError());
        return false;
    }
    times_ = static_cast<const protocol::SignalTimes*>(p);
    path_ = path;
    return true;
}

void SignalTimesReader::close() {
    if (times_ != nullptr)
        UnmapViewOfFile(const_cast<protocol::SignalTimes*>(times_));
    times_ = nullptr;
    path_.clear();
}

#else

namespace {
constexpr const char* kDevicePrefix = "HalvernAudioBus";
} // namespace

bool SignalTimesReader::openForDriverDevice(std::string& why) {
    namespace fs = std::filesystem;
    const std::string dir = platform::busDirectory();
    std::vector<std::string> sockets;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, std::strlen(kDevicePrefix), kDevicePrefix) == 0 &&
            it->symlink_status(ec).type() == fs::file_type::socket)
            sockets.push_back(it->path().string());
    }
    if (sockets.empty()) {
        why = "no device in " + dir;
        return false;
    }
    std::sort(sockets.begin(), sockets.end());
    return open(sockets.front() + ".timing", why);
}

bool SignalTimesReader::open(const std::string& path, std::string& why) {
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(protocol::SignalTimes))) {
        why = path + " is too short for a signal-times record";
        ::close(fd);
        return false;
    }
    void* p = mmap(nullptr, sizeof(protocol::SignalTimes), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    times_ = static_cast<const protocol::SignalTimes*>(p);
    path_ = path;
    return true;
}

void SignalTimesReader::close() {
    if (times_ != nullptr)
        munmap(const_cast<protocol::SignalTimes*>(times_), sizeof(protocol::SignalTimes));
    times_ = nullptr;
    path_.clear();
}

#endif

namespace {
uint64_t loadAcquire(const uint64_t* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
} // namespace

bool SignalTimesReader::latestFor(uint32_t half, uint64_t& number, uint64_t& timeNs) const {
    if (times_ == nullptr)
        return false;
    const uint64_t count = loadAcquire(&times_->count);
    if (count == 0)
        return false;
    uint64_t n = count - 1;
    if ((n & 1) != (half & 1)) {
        if (n == 0)
            return false;
        --n;
    }
    // The clock writes a slot as sequence 0, time, sequence n + 1: a time read between two
    // equal sequence numbers n + 1 is whole.
    const protocol::SignalTimes::Slot& slot = times_->entries[n % protocol::SignalTimes::kSlots];
    if (loadAcquire(&slot.sequence) != n + 1)
        return false;
    const uint64_t t = loadAcquire(&slot.timeNs);
    if (loadAcquire(&slot.sequence) != n + 1)
        return false;
    number = n;
    timeNs = t;
    return true;
}

} // namespace halvern::host
