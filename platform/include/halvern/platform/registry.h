// The registry (Reg*A). POSIX: a .reg-format text file, $HALVERN_REGISTRY or
// $XDG_CONFIG_HOME/halvern/registry.reg (~/.config when unset), read and rewritten atomically
// on every change. A file that does not parse is never overwritten: changes then fail.
#pragma once

#include <cstdint>

namespace halvern::platform {

using RegKey = void*;
RegKey regClassesRoot();  // HKEY_CLASSES_ROOT
RegKey regLocalMachine(); // HKEY_LOCAL_MACHINE
RegKey regCurrentUser();  // HKEY_CURRENT_USER

// Each returns a Windows error code: 0 on success, 2 when the key or value does not exist.
long regOpenKey(RegKey parent, const char* subKey, RegKey* result);   // RegOpenKeyA
long regCreateKey(RegKey parent, const char* subKey, RegKey* result); // RegCreateKeyA
long regCloseKey(RegKey key);
long regDeleteKey(RegKey parent, const char* subKey); // a key without subkeys (RegDeleteKeyA)
long regEnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize); // 259 at the end
// REG_SZ; valueName null or "" is the default value. `size` excludes the terminating zero
// as the registration writes it; the stored text is always terminated.
long regSetString(RegKey key, const char* valueName, const char* data, uint32_t size);
// Reads a REG_SZ into `data`; *size is in/out in bytes, terminating zero included. 234 when
// it does not fit.
long regQueryString(RegKey key, const char* valueName, char* data, uint32_t* size);

constexpr long kRegNoMoreItems = 259;

} // namespace halvern::platform
