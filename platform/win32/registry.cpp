// The registry through the Reg*A functions.
#include "halvern/platform/registry.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace halvern::platform {

namespace {
HKEY hkey(RegKey key) {
    return static_cast<HKEY>(key);
}
} // namespace

RegKey regClassesRoot() {
    return HKEY_CLASSES_ROOT;
}

RegKey regLocalMachine() {
    return HKEY_LOCAL_MACHINE;
}

RegKey regCurrentUser() {
    return HKEY_CURRENT_USER;
}

long regOpenKey(RegKey parent, const char* subKey, RegKey* result) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyA(hkey(parent), subKey, &opened);
    if (result != nullptr)
        *result = status == ERROR_SUCCESS ? opened : nullptr;
    return status;
}

long regCreateKey(RegKey parent, const char* subKey, RegKey* result) {
    HKEY created = nullptr;
    const LONG status = RegCreateKeyA(hkey(parent), subKey, &created);
    if (result != nullptr)
        *result = status == ERROR_SUCCESS ? created : nullptr;
    return status;
}

long regCloseKey(RegKey key) {
    return RegCloseKey(hkey(key));
}

long regDeleteKey(RegKey parent, const char* subKey) {
    return RegDeleteKeyA(hkey(parent), subKey);
}

long regEnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) {
    return RegEnumKeyA(hkey(key), index, name, nameSize);
}

long regSetString(RegKey key, const char* valueName, const char* data, uint32_t size) {
    // The caller's size leaves out the terminating zero (a zero counted in it ends the text);
    // the stored text always carries exactly one.
    std::string text;
    if (data != nullptr)
        text.assign(data, strnlen(data, size));
    return RegSetValueExA(hkey(key), valueName, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

long regQueryString(RegKey key, const char* valueName, char* data, uint32_t* size) {
    if (size == nullptr && data != nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    DWORD bytes = size != nullptr ? *size : 0;
    const LONG status =
        RegQueryValueExA(hkey(key), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data),
                         size != nullptr ? &bytes : nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_UNSUPPORTED_TYPE; // only text values are read here
    if (size == nullptr)
        return status;
    // A value another program wrote without its terminating zero is handed out terminated.
    if (status == ERROR_SUCCESS && data != nullptr && (bytes == 0 || data[bytes - 1] != '\0')) {
        if (bytes >= *size) {
            *size = bytes + 1;
            return ERROR_MORE_DATA;
        }
        data[bytes++] = '\0';
    }
    *size = bytes;
    return status;
}

} // namespace halvern::platform
