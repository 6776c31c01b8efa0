// Loading an ASIO driver as a host does: through the registry (Windows: CoCreateInstance;
// elsewhere the file registry, the library and its class factory) or straight from a library.
#pragma once

#include <halvern/asio/iasio.h>

#include <string>
#include <vector>

namespace halvern::host {

struct RegisteredDriver {
    std::string name;        // subkey of HKLM\SOFTWARE\ASIO
    std::string clsid;       // its CLSID value
    std::string description; // its Description value
    std::string path;        // HKCR\CLSID\{clsid}\InprocServer32, empty when missing
};

// The drivers under HKLM\SOFTWARE\ASIO, in registry order.
std::vector<RegisteredDriver> listRegisteredDrivers();

// The Halvern driver's class, used when a library is loaded by path.
constexpr const char* kHalvernClsidText = "{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}";
constexpr const char* kHalvernDriverName = "Halvern Audio";

// A created driver object and the library that holds it; releases both when destroyed.
class LoadedDriver {
public:
    LoadedDriver() = default;
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // By registered name. An empty name takes "Halvern Audio", or the only driver registered.
    bool loadRegistered(const std::string& name, std::string& error);
    // From a library file, asking its class factory for `clsidText`.
    bool loadLibrary(const std::string& path, const std::string& clsidText, std::string& error);

    IASIO* driver() const { return asio_; }
    const std::string& source() const { return source_; }
    void release();

private:
    bool createFromLibrary(const std::string& path, const std::string& clsidText,
                           std::string& error);

    IASIO* asio_ = nullptr;
    void* library_ = nullptr;
    bool comInitialised_ = false;
    std::string source_;
};

// Calls the library's DllRegisterServer or DllUnregisterServer, as regsvr32 does. Returns the
// entry point's result in `result`; false with `error` when the library or entry is missing.
bool callRegistration(const std::string& path, bool doRegister, long& result, std::string& error);

} // namespace halvern::host
