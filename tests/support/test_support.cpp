#include "test_support.h"

#include "halvern/platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <random>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace halvern::test {

namespace {
#ifdef _WIN32
void setenv(const char* name, const char* value, int) {
    _putenv_s(name, value);
}
void unsetenv(const char* name) {
    _putenv_s(name, "");
}
#endif

// A new folder under the temporary folder, only ours.
std::string makeTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "halvern-test-XXXXXX").string();
#ifdef _WIN32
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = tmpl.substr(0, tmpl.size() - 6) + std::to_string(pick());
        std::error_code ec;
        if (std::filesystem::create_directory(path, ec))
            return path;
    }
    return tmpl;
#else
    char* made = mkdtemp(tmpl.data());
    return made ? made : tmpl;
#endif
}

// A new file under the temporary folder, opened for writing; its name in `name`.
int makeTempFile(std::string& name) {
    name = (std::filesystem::temp_directory_path() / "halvern-stdout-XXXXXX").string();
#ifdef _WIN32
    std::random_device seed;
    std::mt19937 pick(seed());
    const std::string stem = name.substr(0, name.size() - 6);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = stem + std::to_string(pick());
        const int fd =
            _open(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0)
            return fd;
    }
    return -1;
#else
    return mkstemp(name.data());
#endif
}

void setOrUnset(const char* name, bool had, const std::string& value) {
    if (had)
        setenv(name, value.c_str(), 1);
    else
        unsetenv(name);
}
} // namespace

TempRuntimeDir::TempRuntimeDir() {
    path_ = makeTempDir();
    if (const char* v = getenv("HALVERN_RUNTIME_DIR")) {
        hadRuntime_ = true;
        oldRuntime_ = v;
    }
    if (const char* v = getenv("HALVERN_REGISTRY")) {
        hadRegistry_ = true;
        oldRegistry_ = v;
    }
    setenv("HALVERN_RUNTIME_DIR", path_.c_str(), 1);
    setenv("HALVERN_REGISTRY", registryFile().c_str(), 1);
}

TempRuntimeDir::~TempRuntimeDir() {
    setOrUnset("HALVERN_RUNTIME_DIR", hadRuntime_, oldRuntime_);
    setOrUnset("HALVERN_REGISTRY", hadRegistry_, oldRegistry_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TraceCapture::TraceCapture() {
    platform::setTraceHook(&TraceCapture::hook, this);
}
TraceCapture::~TraceCapture() {
    platform::setTraceHook(nullptr, nullptr);
}
void TraceCapture::hook(const char* text, void* self) {
    auto* c = static_cast<TraceCapture*>(self);
    std::lock_guard<std::mutex> lock(c->mutex_);
    c->lines_.emplace_back(text);
}
std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}
std::string TraceCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& l : lines_)
        all += l;
    return all;
}
bool TraceCapture::contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
}
void TraceCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    int fd = makeTempFile(file_);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}
StdoutCapture::~StdoutCapture() {
    finish();
}
std::string StdoutCapture::finish() {
    if (done_)
        return text_;
    done_ = true;
    std::fflush(stdout);
    std::wcout.flush();
    dup2(saved_, 1);
    close(saved_);
    std::ifstream in(file_);
    std::stringstream ss;
    ss << in.rdbuf();
    text_ = ss.str();
    std::remove(file_.c_str());
    return text_;
}

} // namespace halvern::test
