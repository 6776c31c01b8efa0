// Named pipes "\\.\pipe\NAME". POSIX: Unix sockets <runtime>/pipe/NAME, stream sockets for byte
// pipes and seqpacket sockets for message pipes.
#pragma once

#include "halvern/platform/handle.h"

#include <cstdint>

namespace halvern::platform {

enum class PipeMode { Byte, Message };

struct PipeServerOptions {
    PipeMode mode = PipeMode::Byte;
    uint32_t maxInstances = 255;
    uint32_t bufferSize = 1024; // output and input buffer sizes
    uint32_t defaultTimeoutMs = 1000;
    bool overlapped = false; // FILE_FLAG_OVERLAPPED: waits can time out and be cancelled
    // Overlapped only: a read or write that takes longer fails with kErrorTimeout.
    uint32_t ioTimeoutMs = 5000;
    // FILE_FLAG_FIRST_PIPE_INSTANCE: fails with kErrorAccessDenied when the name is served
    // already, so that a pipe someone else made first is noticed instead of shared.
    bool firstInstance = false;
};

// CreateNamedPipeA / CreateNamedPipeW. Returns an invalid handle with lastError() on failure.
// Windows: only this user and the system may open the pipe, and no other machine.
Handle createPipeServer(const char* name, const PipeServerOptions& options);
Handle createPipeServer(const wchar_t* name, const PipeServerOptions& options);

enum class PipeWait {
    ConnectedAtOnce,  // a client connected as the wait began (ConnectNamedPipe returned non-zero)
    Connected,        // a client connected during the wait
    AlreadyConnected, // ERROR_PIPE_CONNECTED: the client came before the wait
    TimedOut,         // no client within the time-out; the wait may be resumed
    Cancelled,        // cancelPipeWait() ended the wait; never reported as a connection
    Failed,           // lastError() tells why (232 when the previous client has gone)
};

// Waits for a client (ConnectNamedPipe). A non-overlapped server waits without time-out.
PipeWait waitForPipeClient(Handle server, uint32_t timeoutMs);
// From another thread: ends a pending wait (CancelIoEx); the waiter gets PipeWait::Cancelled.
bool cancelPipeWait(Handle server);
// While a client stays connected: waits until it hangs up (true; also when none is connected),
// or false when the time-out passes or a cancel comes (the cancel stays for the next wait).
bool waitForPipeClientGone(Handle server, uint32_t timeoutMs);
// While a client is connected: waits up to `timeoutMs` for it to send a byte and takes it. False
// when none came: time-out (kErrorTimeout), a cancel (left for the next wait), or a client that
// hung up or can only read. Bytes sent before the client closed still count.
bool takeClientByte(Handle server, uint32_t timeoutMs);
// Drops the connected client (DisconnectNamedPipe) so the server can wait for the next.
bool disconnectPipeClient(Handle server);
bool closePipeServer(Handle server);

// Client side: CreateFileA/W on the pipe name. Returns invalid with lastError() (2 when no
// server exists, 231 when every instance is busy, 5 when another user serves it). Windows: the
// server may identify the client's user, never impersonate it.
Handle openPipeClient(const char* name, bool overlapped = false);
Handle openPipeClient(const wchar_t* name, bool overlapped = false);
bool closePipeClient(Handle client);

// ReadFile / WriteFile on either end. On a message pipe a message larger than `size` fills the
// buffer and fails with kErrorMoreData (the rest is discarded on POSIX). A closed peer gives
// kErrorBrokenPipe.
bool readPipe(Handle pipe, void* buffer, uint32_t size, uint32_t* read);
bool writePipe(Handle pipe, const void* data, uint32_t size, uint32_t* written);

} // namespace halvern::platform
