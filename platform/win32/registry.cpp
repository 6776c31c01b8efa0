// The registry through the Reg*A functions.
#include "halvern/platform/registry.h"

#include <windows.h>

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
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    // The caller's size leaves out the terminating zero; the stored text always carries one.
    std::string text(data != nullptr ? data : "", size);
    return RegSetValueExA(hkey(key), valueName, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

long regQueryString(RegKey key, const char* valueName, char* data, uint32_t* size) {
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    DWORD bytes = *size;
    const LONG status = RegQueryValueExA(hkey(key), valueName, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data), &bytes);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return status;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATATYPE;
    // A value written without its terminating zero is handed out terminated.
    const bool terminated =
        bytes > 0 && data != nullptr && status == ERROR_SUCCESS && data[bytes - 1] == '\0';
    if (status == ERROR_SUCCESS && data != nullptr && !terminated) {
        if (bytes >= *size) {
            *size = bytes + 1;
            return ERROR_MORE_DATA;
        }
        data[bytes] = '\0';
        ++bytes;
    }
    *size = bytes;
    return status;
}

} // namespace halvern::platform
