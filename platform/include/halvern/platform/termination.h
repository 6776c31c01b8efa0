// A request from the system to end the process (SIGTERM, SIGINT, SIGHUP: a logout, Ctrl+C, a
// service manager), seen as a readable descriptor so that an event loop can end cleanly.
#pragma once

namespace halvern::platform {

// POSIX: installs the handlers once and returns a descriptor that turns readable when one of
// the signals arrives (read it to clear). Windows ends GUI processes by messages instead: -1.
int terminationRequestFd();

} // namespace halvern::platform
