#include "halvern/platform/termination.h"

#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/socket.h>
#include <unistd.h>

namespace halvern::platform {

namespace {
int pair[2] = {-1, -1};

void onSignal(int signal) {
    // Only what is safe in a signal handler: one byte into the socket.
    const char byte = char(signal);
    const ssize_t ignored = ::write(pair[1], &byte, 1);
    (void)ignored;
}
} // namespace

int terminationRequestFd() {
    static const int fd = [] {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
            return -1;
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int s : {SIGTERM, SIGINT, SIGHUP})
            sigaction(s, &action, nullptr);
        return pair[0];
    }();
    return fd;
}

} // namespace halvern::platform
