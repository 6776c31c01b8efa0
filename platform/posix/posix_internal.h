// Shared by the POSIX implementation files only: handle values, heap records and socket paths.
#pragma once

#include "halvern/platform/handle.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace halvern::platform::posix {

inline int handleToFd(Handle h) {
    auto v = reinterpret_cast<intptr_t>(h);
    return (v >= 0 && v <= 0x7fffffff) ? int(v) : -1;
}
inline Handle fdToHandle(int fd) {
    return reinterpret_cast<Handle>(static_cast<intptr_t>(fd));
}

// The runtime folder when neither HALVERN_RUNTIME_DIR nor XDG_RUNTIME_DIR is set:
// <tmpDir>/halvern-<uid> when it is a private folder of this user, else one in `home`.
std::string fallbackRuntimeDir(const std::string& tmpDir, const char* home);

// A new descriptor is moved above 2 so that no handle value is 0 (the null handle) and stdio
// never aliases a device or an event. Returns the fd to keep (possibly a new one).
int keepAboveStdio(int fd);

// A handle backed by a heap record (threads, pipe servers). Live records are listed so that
// closeHandle() can tell them from file descriptors and a stale value is refused, not followed.
class Record {
public:
    enum class Kind { Thread, PipeServer };
    explicit Record(Kind kind) : kind_(kind) {}
    virtual ~Record() = default;
    Kind kind() const { return kind_; }
    // The kind's own close (closeThread, closePipeServer); deletes the record.
    virtual bool close() = 0;

private:
    Kind kind_;
};

void registerRecord(Record* r);
void unregisterRecord(Record* r);
// The live record behind `h` of that kind, or null.
Record* findRecord(Handle h, Record::Kind kind);
Record* findAnyRecord(Handle h);
// Runs `use` on the live record behind `h` while no other thread can release it; false when
// there is none of that kind.
template <typename Use> bool withRecord(Handle h, Record::Kind kind, Use use);
void lockRecords();
void unlockRecords();
Record* findRecordLocked(Handle h, Record::Kind kind);

template <typename Use> bool withRecord(Handle h, Record::Kind kind, Use use) {
    lockRecords();
    Record* r = findRecordLocked(h, kind);
    if (r)
        use(r);
    unlockRecords();
    return r != nullptr;
}

// Forgets the manual-reset mark of an event fd that is being closed.
void forgetEventFd(int fd);

// An AF_UNIX address for `path`. Paths too long for sun_path are reached through an O_PATH
// descriptor of their folder (/proc/self/fd/N/name); `dirFd` then holds it until the caller is
// done with the address (close it after bind/connect).
struct UnixAddress {
    sockaddr_un addr{};
    socklen_t length = 0;
    int dirFd = -1;
    ~UnixAddress();
};
bool makeUnixAddress(const std::string& path, UnixAddress& out);

// Whether the process at the other end of a connected Unix socket runs as our user (SO_PEERCRED:
// the user it had when it connected or began to listen). Both ends of the bus and pipe sockets
// ask, so that a socket planted by or reached from another user is never talked to.
inline bool peerIsOurUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer &&
           peer.uid == geteuid();
}

// Maps errno to the Windows error number the product expects.
uint32_t errorFromErrno(int err);

} // namespace halvern::platform::posix
