// Registration of an in-process server: the class entries under HKEY_CLASSES_ROOT\CLSID and the
// driver entry under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO.
#pragma once

#include "halvern/platform/com_types.h"
#include "halvern/platform/registry.h"

#include <cstdint>

namespace halvern::com {

struct ServerRegistration {
    const CLSID* clsid;
    const char* moduleName; // the library's file name, to find its own path
    const char* driverName; // the subkey under SOFTWARE\ASIO
    const char* description;
    const char* threadingModel; // only for registering
};

enum RegistrationError : long {
    kRegistrationOk = 0,
    kNoModuleHandle = -101,
    kNoModuleFileName = -102,
    kNoClsidText = -103,
    kNoAnsiClsidText = -104,
    kRegistryNotWritten = -105, // an entry could not be written or removed
};

// Longest module path the routines handle, terminating zero included.
constexpr uint32_t kModulePathSize = 360;

// Finds this library's path and writes (or removes) its entries. 0, a code of finding the module
// and its CLSID text, or kRegistryNotWritten when the registry refused a change.
long registerDriver(const ServerRegistration& reg);
long unregisterDriver(const ServerRegistration& reg);

// The registry half of registerDriver, for a module path already found (lower-cased on
// Windows by registerDriver).
long writeRegistration(const ServerRegistration& reg, const char* clsidText,
                       const char* modulePath);
long removeRegistration(const ServerRegistration& reg, const char* clsidText);

// Deletes `child` under root\parentPath with all its subkeys. 0, or -1 when the parent cannot
// be opened or a key of the tree stays.
long deleteKeyTree(platform::RegKey root, const char* parentPath, const char* child);

// Lower-cases a path in place (CharLowerA; ASCII letters off Windows).
void lowerCasePath(char* text);

} // namespace halvern::com
