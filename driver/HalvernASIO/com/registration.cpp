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

bool keyExists(RegKey root, const std::string& path) {
    RegKey key = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &key) != 0)
        return false;
    platform::regCloseKey(key);
    return true;
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

void setString(RegKey root, const std::string& path, const char* valueName, const char* value) {
    RegKey key = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &key) != 0)
        return;
    platform::regSetString(key, valueName, value, static_cast<uint32_t>(std::strlen(value)));
    platform::regCloseKey(key);
}

// Deletes every subkey of `key`, deepest first.
void deleteSubkeys(RegKey key, int depth) {
    if (depth > kMaxTreeDepth)
        return;
    std::vector<std::string> names;
    char name[kModulePathSize];
    for (uint32_t i = 0; platform::regEnumKey(key, i, name, sizeof name) == 0; ++i)
        names.emplace_back(name);
    for (const std::string& n : names) {
        RegKey sub = nullptr;
        if (platform::regOpenKey(key, n.c_str(), &sub) == 0) {
            deleteSubkeys(sub, depth + 1);
            platform::regCloseKey(sub);
        }
        platform::regDeleteKey(key, n.c_str());
    }
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
    RegKey key = nullptr;
    if (platform::regOpenKey(parent, child, &key) == 0) {
        deleteSubkeys(key, 0);
        platform::regCloseKey(key);
        platform::regDeleteKey(parent, child);
    }
    platform::regCloseKey(parent);
    return 0;
}

void writeRegistration(const ServerRegistration& reg, const char* clsid, const char* modulePath) {
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
        else
            deleteKeyTree(hkcr, kClsidRoot, clsid);
    }
    if (writeClass) {
        if (createKey(hkcr, kClsidRoot, clsid) == 0)
            setString(hkcr, classKey, nullptr, reg.description);
        if (createKey(hkcr, classKey, "InprocServer32") == 0) {
            setString(hkcr, serverKey, nullptr, modulePath);
            setString(hkcr, serverKey, "ThreadingModel", reg.threadingModel);
        }
    }

    const std::string driverKey = std::string(kAsioRoot) + "\\" + reg.driverName;
    if (keyExists(hklm, kAsioRoot)) {
        if (keyExists(hklm, driverKey))
            deleteKeyTree(hklm, kAsioRoot, reg.driverName);
    } else {
        createKey(hklm, "SOFTWARE", "ASIO");
    }
    if (createKey(hklm, kAsioRoot, reg.driverName) == 0) {
        setString(hklm, driverKey, "CLSID", clsid);
        setString(hklm, driverKey, "Description", reg.description);
    }
}

void removeRegistration(const ServerRegistration& reg, const char* clsid) {
    RegKey hkcr = platform::regClassesRoot();
    RegKey hklm = platform::regLocalMachine();
    if (keyExists(hkcr, std::string(kClsidRoot) + "\\" + clsid))
        deleteKeyTree(hkcr, kClsidRoot, clsid);
    if (keyExists(hklm, kAsioRoot) &&
        keyExists(hklm, std::string(kAsioRoot) + "\\" + reg.driverName))
        deleteKeyTree(hklm, kAsioRoot, reg.driverName);
}

long registerDriver(const ServerRegistration& reg) {
    char path[kModulePathSize] = {};
    char clsid[100] = {};
    long rc = findModule(reg, path, clsid, sizeof clsid);
    if (rc != kRegistrationOk)
        return rc;
    writeRegistration(reg, clsid, path);
    return kRegistrationOk;
}

long unregisterDriver(const ServerRegistration& reg) {
    char path[kModulePathSize] = {};
    char clsid[100] = {};
    long rc = findModule(reg, path, clsid, sizeof clsid);
    if (rc != kRegistrationOk)
        return rc;
    removeRegistration(reg, clsid);
    return kRegistrationOk;
}

} // namespace halvern::com
