// Helpers for the test programs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace halvern::test {

// A private runtime directory (and registry file) for one test: set in the environment on
// construction, removed with its contents on destruction.
class TempRuntimeDir {
public:
    TempRuntimeDir();
    ~TempRuntimeDir();
    const std::string& path() const { return path_; }
    std::string registryFile() const { return path_ + "/registry.reg"; }

private:
    std::string path_;
    std::string oldRuntime_;
    std::string oldRegistry_;
    bool hadRuntime_ = false;
    bool hadRegistry_ = false;
};

// Collects every debug trace while alive.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::string> lines() const;
    std::string text() const;
    bool contains(const std::string& needle) const;
    void clear();

private:
    static void hook(const char* text, void* self);
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Captures what the process writes to its standard output (file descriptor 1) while alive.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish(); // restores stdout and returns what was written

private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
    std::string text_;
};

} // namespace halvern::test
