// Last error, handle records and the generic close.
#include "halvern/platform/handle.h"

#include "posix_internal.h"

#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <unordered_set>

namespace halvern::platform {

namespace {
thread_local uint32_t tlsLastError = 0;

std::mutex& recordMutex() {
    static std::mutex m;
    return m;
}
// Never destroyed: a background thread (a driver's pipe listener) may still look up or close
// its handles while the process exits.
std::unordered_set<posix::Record*>& records() {
    static auto* set = new std::unordered_set<posix::Record*>();
    return *set;
}
} // namespace

uint32_t lastError() {
    return tlsLastError;
}
void setLastError(uint32_t code) {
    tlsLastError = code;
}

bool closeHandle(Handle h) {
    if (!isValid(h)) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    if (posix::Record* r = posix::findAnyRecord(h))
        return r->close();
    int fd = posix::handleToFd(h);
    if (fd < 0) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    posix::forgetEventFd(fd);
    if (::close(fd) != 0 && errno == EBADF) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

namespace posix {

int keepAboveStdio(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

void registerRecord(Record* r) {
    std::lock_guard<std::mutex> lock(recordMutex());
    records().insert(r);
}
void unregisterRecord(Record* r) {
    std::lock_guard<std::mutex> lock(recordMutex());
    records().erase(r);
}
Record* findAnyRecord(Handle h) {
    std::lock_guard<std::mutex> lock(recordMutex());
    auto it = records().find(static_cast<Record*>(h));
    return it == records().end() ? nullptr : *it;
}
void lockRecords() {
    recordMutex().lock();
}
void unlockRecords() {
    recordMutex().unlock();
}
Record* findRecordLocked(Handle h, Record::Kind kind) {
    auto it = records().find(static_cast<Record*>(h));
    return (it != records().end() && (*it)->kind() == kind) ? *it : nullptr;
}
Record* findRecord(Handle h, Record::Kind kind) {
    Record* r = findAnyRecord(h);
    return (r && r->kind() == kind) ? r : nullptr;
}

UnixAddress::~UnixAddress() {
    if (dirFd >= 0)
        ::close(dirFd);
}

bool makeUnixAddress(const std::string& path, UnixAddress& out) {
    out.addr.sun_family = AF_UNIX;
    if (path.size() < sizeof(out.addr.sun_path)) {
        std::memcpy(out.addr.sun_path, path.c_str(), path.size() + 1);
        out.length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        return true;
    }
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    std::string leaf = path.substr(slash + 1);
    int dfd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return false;
    std::string viaProc = "/proc/self/fd/" + std::to_string(dfd) + "/" + leaf;
    if (viaProc.size() >= sizeof(out.addr.sun_path)) {
        ::close(dfd);
        errno = ENAMETOOLONG;
        return false;
    }
    out.dirFd = dfd;
    std::memcpy(out.addr.sun_path, viaProc.c_str(), viaProc.size() + 1);
    out.length = socklen_t(offsetof(sockaddr_un, sun_path) + viaProc.size() + 1);
    return true;
}

uint32_t errorFromErrno(int err) {
    switch (err) {
    case 0:
        return kErrorSuccess;
    case ENOENT:
    case ECONNREFUSED:
        return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
        return kErrorAccessDenied;
    case EBADF:
    case ENOTSOCK:
        return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS:
        return kErrorNotEnoughMemory;
    case EINVAL:
        return kErrorInvalidParameter;
    case EPIPE:
    case ECONNRESET:
        return kErrorBrokenPipe;
    case EEXIST:
        return kErrorAlreadyExists;
    case EADDRINUSE:
        return kErrorPipeBusy;
    case ETIMEDOUT:
        return kErrorTimeout;
    default:
        return kErrorGenFailure;
    }
}

} // namespace posix
} // namespace halvern::platform
