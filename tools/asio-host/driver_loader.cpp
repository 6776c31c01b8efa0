#include "driver_loader.h"

#include "halvern/platform/module.h"
#include "halvern/platform/registry.h"

#include <cstdio>

namespace halvern::host {

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using EntryFn = HRESULT(STDAPICALLTYPE*)();

std::string hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value) & 0xFFFFFFFFul);
    return text;
}

std::string queryString(platform::RegKey root, const std::string& path, const char* value) {
    platform::RegKey key = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &key) != 0)
        return std::string();
    char data[1024] = {};
    uint32_t size = sizeof data;
    if (platform::regQueryString(key, value, data, &size) != 0)
        data[0] = '\0';
    platform::regCloseKey(key);
    return data;
}

} // namespace

std::vector<RegisteredDriver> listRegisteredDrivers() {
    std::vector<RegisteredDriver> drivers;
    platform::RegKey asio = nullptr;
    if (platform::regOpenKey(platform::regLocalMachine(), "SOFTWARE\\ASIO", &asio) != 0)
        return drivers;
    char name[360];
    for (uint32_t i = 0; platform::regEnumKey(asio, i, name, sizeof name) == 0; ++i) {
        RegisteredDriver d;
        d.name = name;
        const std::string key = std::string("SOFTWARE\\ASIO\\") + name;
        d.clsid = queryString(platform::regLocalMachine(), key, "CLSID");
        d.description = queryString(platform::regLocalMachine(), key, "Description");
        if (!d.clsid.empty())
            d.path = queryString(platform::regClassesRoot(),
                                 "CLSID\\" + d.clsid + "\\InprocServer32", nullptr);
        drivers.push_back(d);
    }
    platform::regCloseKey(asio);
    return drivers;
}

LoadedDriver::~LoadedDriver() {
    release();
}

void LoadedDriver::release() {
    if (asio_ != nullptr) {
        asio_->Release();
        asio_ = nullptr;
    }
    if (library_ != nullptr) {
        // As COM does: a library still holding objects stays loaded.
        auto canUnload =
            reinterpret_cast<EntryFn>(platform::libraryEntry(library_, "DllCanUnloadNow"));
        if (canUnload == nullptr || canUnload() == S_OK)
            platform::closeLibrary(library_);
        library_ = nullptr;
    }
    if (comInitialised_)
        platform::comUninitialize();
    comInitialised_ = false;
}

bool LoadedDriver::loadRegistered(const std::string& name, std::string& error) {
    const std::vector<RegisteredDriver> drivers = listRegisteredDrivers();
    const RegisteredDriver* chosen = nullptr;
    const std::string wanted = name.empty() ? kHalvernDriverName : name;
    for (const auto& d : drivers) {
        if (d.name == wanted)
            chosen = &d;
    }
    if (chosen == nullptr && name.empty() && drivers.size() == 1)
        chosen = &drivers.front();
    if (chosen == nullptr) {
        error = drivers.empty() ? "no ASIO driver is registered (HKLM\\SOFTWARE\\ASIO is empty)"
                                : "no ASIO driver named \"" + wanted + "\" is registered";
        return false;
    }
    if (chosen->clsid.empty()) {
        error = "driver \"" + chosen->name + "\" has no CLSID value";
        return false;
    }
    source_ = chosen->name;
    if (platform::kSystemCreatesClasses) {
        CLSID clsid;
        if (!platform::parseGuid(chosen->clsid.c_str(), clsid)) {
            error = "driver \"" + chosen->name + "\" has a malformed CLSID " + chosen->clsid;
            return false;
        }
        comInitialised_ = platform::comInitialize();
        // ASIO asks for the driver interface under the driver's class identifier.
        void* object = nullptr;
        const HRESULT hr = platform::comCreateInstance(clsid, clsid, &object);
        if (FAILED(hr) || object == nullptr) {
            error = "CoCreateInstance of " + chosen->clsid + " failed: " + hex(hr);
            return false;
        }
        asio_ = static_cast<IASIO*>(object);
        return true;
    }
    if (chosen->path.empty()) {
        error = "driver \"" + chosen->name + "\" has no InprocServer32 path for " + chosen->clsid;
        return false;
    }
    return createFromLibrary(chosen->path, chosen->clsid, error);
}

bool LoadedDriver::loadLibrary(const std::string& path, const std::string& clsidText,
                               std::string& error) {
    source_ = path;
    return createFromLibrary(path, clsidText, error);
}

bool LoadedDriver::createFromLibrary(const std::string& path, const std::string& clsidText,
                                     std::string& error) {
    CLSID clsid;
    if (!platform::parseGuid(clsidText.c_str(), clsid)) {
        error = "malformed CLSID " + clsidText;
        return false;
    }
    library_ = platform::openLibrary(path, error);
    if (library_ == nullptr)
        return false;
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(platform::libraryEntry(library_, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        error = path + " exports no DllGetClassObject";
        return false;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        error = "DllGetClassObject(" + clsidText + ") failed: " + hex(hr);
        return false;
    }
    void* object = nullptr;
    hr = factory->CreateInstance(nullptr, clsid, &object);
    factory->Release();
    if (FAILED(hr) || object == nullptr) {
        error = "CreateInstance(" + clsidText + ") failed: " + hex(hr);
        return false;
    }
    asio_ = static_cast<IASIO*>(object);
    return true;
}

bool callRegistration(const std::string& path, bool doRegister, long& result, std::string& error) {
    void* library = platform::openLibrary(path, error);
    if (library == nullptr)
        return false;
    const char* entryName = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    auto entry = reinterpret_cast<EntryFn>(platform::libraryEntry(library, entryName));
    if (entry == nullptr) {
        error = path + " exports no " + entryName;
        platform::closeLibrary(library);
        return false;
    }
    result = entry();
    platform::closeLibrary(library);
    return true;
}

} // namespace halvern::host
