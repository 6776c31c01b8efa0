// A program started for an end-to-end test, with its standard output and error on a pipe that
// the test reads. It is ended when the object goes: SIGTERM first, so that it can clean up, and
// SIGKILL if it has not exited 5 s later. POSIX only.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace halvern::test {

class DaemonProcess {
public:
    DaemonProcess(const std::string& program, const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~DaemonProcess() {
        if (pid_ > 0 && !exited_ && stop(SIGTERM, 5000) == -2) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // Reads output until `needle` shows up or the time runs out.
    bool waitFor(const std::string& needle, int timeoutMs = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (text_.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{out_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, int(left)) <= 0)
                return false;
            char buffer[1024];
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            text_.append(buffer, std::size_t(n));
        }
        return true;
    }
    // Sends `signal` (0: none) and waits, bounded, for the exit code; -1 when the program died
    // of a signal, -2 when it has not exited in time.
    int stop(int signal, int timeoutMs = 10000) {
        if (pid_ <= 0)
            return -1;
        if (signal != 0)
            kill(pid_, signal);
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -2;
    }
    int waitExit(int timeoutMs = 10000) { return stop(0, timeoutMs); }
    const std::string& text() const { return text_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string text_;
};

} // namespace halvern::test
