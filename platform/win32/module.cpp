// The module the code runs in, the executable's folder and the libraries the code loads.
#include "halvern/platform/module.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace halvern::platform {

void* moduleHandle(const char* name, const void* /*addressInside*/) {
    return GetModuleHandleA(name);
}

uint32_t moduleFileName(void* module, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
    if (length == 0) {
        buffer[0] = '\0';
        return 0;
    }
    // Older systems leave a truncated path without its terminating zero.
    buffer[size - 1] = '\0';
    return static_cast<uint32_t>(std::strlen(buffer));
}

bool executableDirectory(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    if (length == 0 || length >= size) {
        // A cut path would name the wrong folder.
        buffer[0] = '\0';
        if (length != 0)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    char* slash = std::strrchr(buffer, '\\');
    if (char* forward = std::strrchr(buffer, '/'); forward != nullptr && forward > slash)
        slash = forward;
    if (slash == nullptr) {
        buffer[0] = '\0';
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *slash = '\0';
    return true;
}

void* openLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}

void* libraryEntry(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

bool comInitialize() {
    return SUCCEEDED(CoInitialize(nullptr));
}

void comUninitialize() {
    CoUninitialize();
}

HRESULT comCreateInstance(REFCLSID clsid, REFIID iid, void** object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

} // namespace halvern::platform
