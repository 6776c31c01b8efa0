// The module (DLL / shared object) the code runs in, and the libraries it loads.
#pragma once

#include "halvern/platform/com_types.h"

#include <cstdint>
#include <string>

namespace halvern::platform {

// GetModuleHandleA(name). POSIX: the shared object that contains `addressInside`; `name` is
// only checked to be non-empty.
void* moduleHandle(const char* name, const void* addressInside);
// GetModuleFileNameA: the full path, truncated to size - 1; returns its length (0 on failure).
uint32_t moduleFileName(void* module, char* buffer, uint32_t size);
// Directory of the running executable, without a trailing separator.
bool executableDirectory(char* buffer, uint32_t size);

// A library loaded for its entry points, as a host loads an in-process server: LoadLibraryA.
// POSIX: dlopen of the full path (the library finds its registry entry from the path it was
// loaded by), every symbol bound at once, none made global. Null on failure, with
// "cannot load <path>" and the reason in `error`.
void* openLibrary(const std::string& path, std::string& error);
// GetProcAddress / dlsym: null when the library exports no `name`.
void* libraryEntry(void* library, const char* name);
void closeLibrary(void* library);

// Whether the system creates registered in-process classes itself (Windows: COM). Elsewhere
// the file registry names the library, which a host loads and asks for the class itself.
#if defined(_WIN32)
constexpr bool kSystemCreatesClasses = true;
#else
constexpr bool kSystemCreatesClasses = false;
#endif
// CoInitialize(nullptr) on the calling thread; true when it must be undone with
// comUninitialize. POSIX: false.
bool comInitialize();
void comUninitialize();
// CoCreateInstance of `clsid` in process, asking for `iid`. POSIX: E_NOTIMPL.
HRESULT comCreateInstance(REFCLSID clsid, REFIID iid, void** object);

} // namespace halvern::platform
