#include "com/registration.h"

#include "halvern/platform/module.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace halvern::com {

using platform::RegKey;

namespace {

constexpr const char* kClsidRoot = "CLSID";
constexpr const char* kAsioRoot = "SOFTWARE\\ASIO";
// Registry trees here are two levels deep; the bound only guards against a corrupt registry.
constexpr int kMaxTreeDepth = 32;

constexpr long kNotFound = 2;

// 0 when the key exists, 2 when it does not, any other code when the registry cannot tell.
long probeKey(RegKey root, const std::string& path) {
    RegKey key = nullptr;
    const long rc = platform::regOpenKey(root, path.c_str(), &key);
    if (rc == 0)
        platform::regCloseKey(key);
    return rc;
}

bool keyExists(RegKey root, const std::string& path) {
    return probeKey(root, path) == 0;
}

// Creates root\parentPath\child unless it exists. 0, or -1 on failure.
long createKey(RegKey root, const std::string& parentPath, const char* child) {
    if (keyExists(root, parentPath + "\\" + child))
        return 0;
    RegKey parent = nullptr;
    // RegCreateKeyA opens the parent when it exists; a fresh file registry lacks even CLSID.
    if (platform::regCreateKey(root, parentPath.c_str(), &parent) != 0)
        return -1;
    RegKey created = nullptr;
    long rc = platform::regCreateKey(parent, child, &created);
    if (rc == 0)
        platform::regCloseKey(created);
    platform::regCloseKey(parent);
    return rc == 0 ? 0 : -1;
}

bool setString(RegKey root, const std::string& path, const char* valueName, const char* value) {
    RegKey key = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &key) != 0)
        return false;
    const long rc =
        platform::regSetString(key, valueName, value, static_cast<uint32_t>(std::strlen(value)));
    platform::regCloseKey(key);
    return rc == 0;
}

// Deletes every subkey of `key`, deepest first; false when one of them stays.
bool deleteSubkeys(RegKey key, int depth) {
    if (depth > kMaxTreeDepth)
        return false;
    std::vector<std::string> names;
    char name[kModulePathSize];
    for (uint32_t i = 0; platform::regEnumKey(key, i, name, sizeof name) == 0; ++i)
        names.emplace_back(name);
    bool ok = true;
    for (const std::string& n : names) {
        RegKey sub = nullptr;
        if (platform::regOpenKey(key, n.c_str(), &sub) == 0) {
            ok = deleteSubkeys(sub, depth + 1) && ok;
            platform::regCloseKey(sub);
        }
        const long rc = platform::regDeleteKey(key, n.c_str());
        ok = ok && (rc == 0 || rc == kNotFound);
    }
    return ok;
}

// StringFromCLSID, then to ANSI in at most 100 bytes.
long clsidText(const CLSID& clsid, char* out, std::size_t size) {
#if defined(_WIN32)
    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(clsid, &wide)) || wide == nullptr)
        return kNoClsidText;
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(size < 100 ? size : 100),
                                nullptr, nullptr);
    CoTaskMemFree(wide);
    return n > 0 ? kRegistrationOk : kNoAnsiClsidText;
#else
    platform::formatGuid(clsid, out, size);
    return kRegistrationOk;
#endif
}

// Steps shared by both routines: the module's lower-cased path and the CLSID text.
long findModule(const ServerRegistration& reg, char* path, char* clsid, std::size_t clsidSize) {
    void* module =
        platform::moduleHandle(reg.moduleName, reinterpret_cast<const void*>(&findModule));
    if (module == nullptr)
        return kNoModuleHandle;
    if (platform::moduleFileName(module, path, kModulePathSize) == 0 || path[0] == '\0')
        return kNoModuleFileName;
#if defined(_WIN32)
    lowerCasePath(path);
#endif
    return clsidText(*reg.clsid, clsid, clsidSize);
}

} // namespace

void lowerCasePath(char* text) {
#if defined(_WIN32)
    CharLowerA(text);
#else
    // ASCII only: other bytes belong to multi-byte characters of the path.
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p - 'A' + 'a');
    }
#endif
}

long deleteKeyTree(RegKey root, const char* parentPath, const char* child) {
    RegKey parent = nullptr;
    if (platform::regOpenKey(root, parentPath, &parent) != 0)
        return -1;
    bool ok = true;
    RegKey key = nullptr;
    if (platform::regOpenKey(parent, child, &key) == 0) {
        ok = deleteSubkeys(key, 0);
        platform::regCloseKey(key);
        const long rc = platform::regDeleteKey(parent, child);
        ok = ok && (rc == 0 || rc == kNotFound);
    }
    platform::regCloseKey(parent);
    return ok ? 0 : -1;
}

long writeRegistration(const ServerRegistration& reg, const char* clsid, const char* modulePath) {
    RegKey hkcr = platform::regClassesRoot();
    RegKey hklm = platform::regLocalMachine();
    // Windows paths are stored lower-cased; POSIX paths keep their case, or the host could not
    // load the library again. Either way the comparison ignores case.
    std::string lowered = modulePath;
    lowerCasePath(lowered.data());

    const std::string classKey = std::string(kClsidRoot) + "\\" + clsid;
    const std::string serverKey = classKey + "\\InprocServer32";
    bool writeClass = true;
    if (keyExists(hkcr, classKey)) {
        char current[kModulePathSize] = {};
        uint32_t size = sizeof current;
        RegKey key = nullptr;
        if (platform::regOpenKey(hkcr, serverKey.c_str(), &key) == 0) {
            if (platform::regQueryString(key, nullptr, current, &size) != 0)
                current[0] = '\0';
            platform::regCloseKey(key);
        }
        lowerCasePath(current);
        // The same server registered again keeps its class entries as they are.
        if (lowered == current)
            writeClass = false;
        else if (deleteKeyTree(hkcr, kClsidRoot, clsid) != 0)
            return kRegistryNotWritten;
    }
    // A registry that refuses a write (no administrator rights, an unwritable file) must not
    // end in a success: the host would find no driver.
    if (writeClass && !(createKey(hkcr, kClsidRoot, clsid) == 0 &&
                        setString(hkcr, classKey, nullptr, reg.description) &&
                        createKey(hkcr, classKey, "InprocServer32") == 0 &&
                        setString(hkcr, serverKey, nullptr, modulePath) &&
                        setString(hkcr, serverKey, "ThreadingModel", reg.threadingModel)))
        return kRegistryNotWritten;

    const std::string driverKey = std::string(kAsioRoot) + "\\" + reg.driverName;
    if (keyExists(hklm, kAsioRoot)) {
        if (keyExists(hklm, driverKey) && deleteKeyTree(hklm, kAsioRoot, reg.driverName) != 0)
            return kRegistryNotWritten;
    } else if (createKey(hklm, "SOFTWARE", "ASIO") != 0) {
        return kRegistryNotWritten;
    }
    if (createKey(hklm, kAsioRoot, reg.driverName) != 0 ||
        !setString(hklm, driverKey, "CLSID", clsid) ||
        !setString(hklm, driverKey, "Description", reg.description))
        return kRegistryNotWritten;
    return kRegistrationOk;
}

long removeRegistration(const ServerRegistration& reg, const char* clsid) {
    RegKey hkcr = platform::regClassesRoot();
    RegKey hklm = platform::regLocalMachine();
    // Gone means gone: a key that cannot even be looked up may still be there.
    const long classKey = probeKey(hkcr, std::string(kClsidRoot) + "\\" + clsid);
    if (classKey != kNotFound && (classKey != 0 || deleteKeyTree(hkcr, kClsidRoot, clsid) != 0))
        return kRegistryNotWritten;
    const long driverKey = probeKey(hklm, std::string(kAsioRoot) + "\\" + reg.driverName);
    if (driverKey != kNotFound &&
        (driverKey != 0 || deleteKeyTree(hklm, kAsioRoot, reg.driverName) != 0))
        return kRegistryNotWritten;
    return kRegistrationOk;
}

long registerDriver(const ServerRegistration& reg) {
    char path[kModulePathSize] = {};
    char clsid[100] = {};
    long rc = findModule(reg, path, clsid, sizeof clsid);
    if (rc != kRegistrationOk)
        return rc;
    return writeRegistration(reg, clsid, path);
}

long unregisterDriver(const ServerRegistration& reg) {
    char path[kModulePathSize] = {};
    char clsid[100] = {};
    long rc = findModule(reg, path, clsid, sizeof clsid);
    if (rc != kRegistrationOk)
        return rc;
    return removeRegistration(reg, clsid);
}

} // namespace halvern::com
