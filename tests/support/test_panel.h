// The panel's end of \\.\pipe\HalvernASIOToPannel for the driver's tests, on Linux and under
// Wine alike: it collects the status messages a driver sends, one read per connection, as the
// panel's listener does. Platform layer only, so that both builds can use it.
#pragma once

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace halvern::test {

class TestPanel {
public:
    TestPanel() {
        platform::PipeServerOptions o;
        o.mode = platform::PipeMode::Message;
        o.bufferSize = 65536;
        o.defaultTimeoutMs = 300;
        o.overlapped = true;
        server_ = platform::createPipeServer(protocol::kAsioToPanelPipeW, o);
        EXPECT_TRUE(platform::isValid(server_)) << platform::lastError();
        thread_ = std::thread([this] { serve(); });
    }
    ~TestPanel() {
        run_ = false;
        platform::cancelPipeWait(server_);
        thread_.join();
        platform::closePipeServer(server_);
    }
    TestPanel(const TestPanel&) = delete;
    TestPanel& operator=(const TestPanel&) = delete;

    std::vector<std::vector<uint8_t>> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // True once `n` messages have come, false after `timeoutMs` without them.
    bool waitFor(std::size_t n, int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (messages().size() < n) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            platform::sleepMs(2);
        }
        return true;
    }

private:
    void serve() {
        while (run_) {
            const auto w = platform::waitForPipeClient(server_, 100);
            // A client that wrote and closed before the wait began reports "no data"
            // (232) on Windows; its message is still there to read.
            if (w == platform::PipeWait::TimedOut || w == platform::PipeWait::Cancelled)
                continue;
            uint8_t buffer[1024];
            uint32_t n = 0;
            if (platform::readPipe(server_, buffer, sizeof buffer, &n)) {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.emplace_back(buffer, buffer + n);
            }
            platform::disconnectPipeClient(server_);
        }
    }

    platform::Handle server_ = nullptr;
    std::atomic<bool> run_{true};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> messages_;
};

} // namespace halvern::test
