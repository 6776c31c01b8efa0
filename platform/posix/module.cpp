// The shared object or program the code runs in, and the libraries the code loads.
#include "halvern/platform/module.h"

#include "halvern/platform/handle.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace halvern::platform {

namespace {

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    return std::string(buffer, std::size_t(n));
}

uint32_t copyTruncated(const std::string& text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        setLastError(kErrorInsufficientBuffer);
        return 0;
    }
    std::size_t n = text.size();
    if (n >= size) {
        n = size - 1;
        setLastError(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return uint32_t(n);
}

} // namespace

void* moduleHandle(const char* name, const void* addressInside) {
    if (name == nullptr || *name == '\0' || addressInside == nullptr) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    Dl_info info{};
    if (dladdr(addressInside, &info) == 0 || info.dli_fbase == nullptr) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    return info.dli_fbase; // the load address, as an HMODULE is
}

uint32_t moduleFileName(void* module, char* buffer, uint32_t size) {
    std::string path;
    if (module == nullptr) {
        path = executablePath();
    } else {
        Dl_info info{};
        if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) {
            setLastError(kErrorInvalidHandle);
            return 0;
        }
        // The main program's name may come as typed on the command line, or empty.
        char* full = info.dli_fname[0] ? realpath(info.dli_fname, nullptr) : nullptr;
        if (full) {
            path = full;
            std::free(full);
        } else {
            path = executablePath();
        }
    }
    if (path.empty()) {
        setLastError(kErrorFileNotFound);
        return 0;
    }
    return copyTruncated(path, buffer, size);
}

bool executableDirectory(char* buffer, uint32_t size) {
    std::string path = executablePath();
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        setLastError(kErrorFileNotFound);
        return false;
    }
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    if (buffer == nullptr || dir.size() >= size) {
        setLastError(kErrorInsufficientBuffer);
        return false;
    }
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return true;
}

void* openLibrary(const std::string& path, std::string& error) {
    char* full = realpath(path.c_str(), nullptr);
    if (full == nullptr) {
        error = "cannot load " + path + ": no such file";
        return nullptr;
    }
    void* handle = dlopen(full, RTLD_NOW | RTLD_LOCAL);
    std::free(full);
    if (handle == nullptr)
        error = "cannot load " + path + ": " + dlerror();
    return handle;
}

void* libraryEntry(void* library, const char* name) {
    return dlsym(library, name);
}

void closeLibrary(void* library) {
    dlclose(library);
}

bool comInitialize() {
    return false;
}

void comUninitialize() {}

HRESULT comCreateInstance(REFCLSID /*clsid*/, REFIID /*iid*/, void** object) {
    if (object != nullptr)
        *object = nullptr;
    return E_NOTIMPL;
}

} // namespace halvern::platform
