// The registry as a .reg-format text file. Other processes (regsvr-like tools, hosts scanning
// for drivers) use the same file, so every call re-reads it and every change rewrites it whole
// (temporary file + rename) under an exclusive lock; reads take a shared lock.
#include "halvern/platform/registry.h"

#include "halvern/platform/handle.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace halvern::platform {

namespace {

constexpr long kOk = 0;
constexpr long kNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidHandle = 6;
constexpr long kInvalidParameter = 87;
constexpr long kMoreData = 234;
constexpr long kBadDatabase = 1009; // ERROR_BADDB: the file does not parse
constexpr long kKeyDeleted = 1018;  // ERROR_KEY_DELETED: the open key is gone

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

struct Root {
    uintptr_t value; // the Windows predefined handle value
    const char* name;
};
constexpr Root kRoots[] = {
    {0x80000000u, "HKEY_CLASSES_ROOT"},
    {0x80000001u, "HKEY_CURRENT_USER"},
    {0x80000002u, "HKEY_LOCAL_MACHINE"},
};

// An open key: the full path, root name first ("HKEY_CLASSES_ROOT\CLSID\...").
struct OpenKey {
    std::string path;
};
std::mutex openKeysMutex;
std::unordered_set<OpenKey*> openKeys;

struct Value {
    std::string name; // empty: the default value (@)
    bool isString = true;
    std::string data; // the text of a string; the raw right-hand side of any other type
};
struct Section {
    std::string path;
    std::vector<Value> values;
};
using Hive = std::vector<Section>;

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}
bool lessName(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return lowerAscii(x) < lowerAscii(y);
    });
}
// `path` lies below `ancestor`.
bool isBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() + 1 && path[ancestor.size()] == '\\' &&
           sameName(path.substr(0, ancestor.size()), ancestor);
}

std::string registryFile() {
    if (const char* v = std::getenv("HALVERN_REGISTRY"); v && *v)
        return v;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::string(x) + "/halvern/registry.reg";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::string(home) + "/.config/halvern/registry.reg";
}

void makeParentDirectories(const std::string& file) {
    auto slash = file.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return;
    std::string dir = file.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0)
        return;
    makeParentDirectories(dir);
    mkdir(dir.c_str(), 0700);
}

// Serialises the processes that use the file; held for one call.
class FileLock {
public:
    FileLock(const std::string& file, bool exclusive) {
        if (exclusive)
            makeParentDirectories(file);
        std::string lockPath = file + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    int fd_ = -1;
};

bool parseQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\') {
            if (pos >= line.size())
                return false;
            char e = line[pos++];
            if (e != '\\' && e != '"')
                return false;
            out.push_back(e);
        } else {
            out.push_back(c);
        }
    }
    return false;
}

std::string quote(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            q.push_back('\\');
        q.push_back(c);
    }
    q.push_back('"');
    return q;
}

bool knownRoot(const std::string& path) {
    for (const Root& r : kRoots)
        if (sameName(path, r.name) || isBelow(path, r.name))
            return true;
    return false;
}

enum class Load { Ok, Broken };

// The next line with its continuations joined: non-string values may continue over lines
// ending with a backslash. False at the end of the text.
bool readLine(std::istream& in, std::string& line, int& lineNo) {
    if (!std::getline(in, line))
        return false;
    ++lineNo;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        line.erase(0, 3);
    while (!line.empty() && line.back() == '\\' && line.find("=\"") == std::string::npos &&
           line[0] != '[') {
        std::string next;
        if (!std::getline(in, next))
            break;
        ++lineNo;
        if (!next.empty() && next.back() == '\r')
            next.pop_back();
        line.pop_back();
        line += next.substr(next.find_first_not_of(" \t") == std::string::npos
                                ? next.size()
                                : next.find_first_not_of(" \t"));
    }
    return true;
}

// A "[path]" line: the key's section, appended to `hive`.
bool parseKey(const std::string& line, Hive& hive, std::string& why) {
    auto close = line.rfind(']');
    if (close == std::string::npos || close == 1) {
        why = "a key line without its closing bracket";
        return false;
    }
    std::string path = line.substr(1, close - 1);
    if (!knownRoot(path)) {
        why = "a key outside HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE";
        return false;
    }
    hive.push_back(Section{path, {}});
    return true;
}

// A "name"=data or @=data line.
bool parseValue(const std::string& line, Value& v, std::string& why) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!parseQuoted(line, pos, v.name) || v.name.empty()) {
        why = "a value name that is not a quoted text";
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') {
        why = "a value without '='";
        return false;
    }
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        if (!parseQuoted(line, pos, v.data) || pos != line.size()) {
            why = "a text value that is not properly quoted";
            return false;
        }
    } else if (pos < line.size()) {
        v.isString = false; // dword:, hex...: kept as written
        v.data = line.substr(pos);
    } else {
        why = "a value without data";
        return false;
    }
    return true;
}

Load parse(const std::string& text, Hive& hive, std::string& why, int& lineNo) {
    std::istringstream in(text);
    std::string line;
    bool headerSeen = false;
    lineNo = 0;
    Section* current = nullptr;
    while (readLine(in, line, lineNo)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';')
            continue;
        line = line.substr(start);
        if (!headerSeen) {
            if (line != kHeader) {
                why = "the first line is not \"" + std::string(kHeader) + "\"";
                return Load::Broken;
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (!parseKey(line, hive, why))
                return Load::Broken;
            current = &hive.back();
            continue;
        }
        if (!current) {
            why = "a value before the first key";
            return Load::Broken;
        }
        Value v;
        if (!parseValue(line, v, why))
            return Load::Broken;
        current->values.push_back(v);
    }
    return Load::Ok; // nothing but blank lines and comments: an empty registry
}

// Reads the whole file; a missing or empty file is an empty registry. A file that is there but
// cannot be read is not empty: taking it for empty would write the next change over all of it.
Load load(Hive& hive) {
    std::string file = registryFile();
    std::string text;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return Load::Ok;
    bool readable = fd >= 0;
    while (readable) {
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            readable = n == 0;
            break;
        }
        text.append(buffer, std::size_t(n));
    }
    int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (!readable) {
        std::fprintf(stderr,
                     "halvern: the registry file %s cannot be read (%s); it is left as it is "
                     "and no change is written\n",
                     file.c_str(), std::strerror(err));
        return Load::Broken;
    }
    std::string why;
    int line = 0;
    if (parse(text, hive, why, line) == Load::Broken) {
        std::fprintf(stderr,
                     "halvern: the registry file %s does not parse (line %d: %s); it is left "
                     "as it is and no change is written\n",
                     file.c_str(), line, why.c_str());
        return Load::Broken;
    }
    return Load::Ok;
}

long save(const Hive& hive) {
    std::string file = registryFile();
    std::string text = std::string(kHeader) + "\n\n";
    for (const Section& s : hive) {
        text += "[" + s.path + "]\n";
        for (const Value& v : s.values) {
            text += v.name.empty() ? "@" : quote(v.name);
            text += "=" + (v.isString ? quote(v.data) : v.data) + "\n";
        }
        text += "\n";
    }
    // The rename below would replace a file its owner made read-only: refused as Windows
    // refuses a write to a key the user may only read.
    if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), W_OK) != 0)
        return kAccessDenied;
    std::string temp = file + ".tmp." + std::to_string(getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return kAccessDenied;
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        unlink(temp.c_str());
        return kAccessDenied;
    }
    return kOk;
}

Section* findSection(Hive& hive, const std::string& path) {
    for (Section& s : hive)
        if (sameName(s.path, path))
            return &s;
    return nullptr;
}

bool isRootPath(const std::string& path) {
    for (const Root& r : kRoots)
        if (sameName(path, r.name))
            return true;
    return false;
}

bool keyExists(const Hive& hive, const std::string& path) {
    if (isRootPath(path))
        return true;
    for (const Section& s : hive)
        if (sameName(s.path, path) || isBelow(s.path, path))
            return true;
    return false;
}

// The path of an open key or predefined root; false for anything else.
bool keyPath(RegKey key, std::string& path) {
    auto v = reinterpret_cast<uintptr_t>(key);
    for (const Root& r : kRoots) {
        if (v == r.value) {
            path = r.name;
            return true;
        }
    }
    std::lock_guard<std::mutex> lock(openKeysMutex);
    auto it = openKeys.find(static_cast<OpenKey*>(key));
    if (it == openKeys.end())
        return false;
    path = (*it)->path;
    return true;
}

// parent + "\" + subKey with empty parts dropped; false for names the file cannot hold.
bool joinPath(const std::string& parent, const char* subKey, std::string& out) {
    out = parent;
    if (!subKey)
        return true;
    std::string part;
    for (const char* p = subKey;; ++p) {
        if (*p == '\n' || *p == '\r' || *p == ']' || *p == '[')
            return false;
        if (*p == '\\' || *p == '\0') {
            if (!part.empty())
                out += "\\" + part;
            part.clear();
            if (*p == '\0')
                return true;
        } else {
            part.push_back(*p);
        }
    }
}

RegKey newKey(const std::string& path) {
    auto* k = new OpenKey{path};
    std::lock_guard<std::mutex> lock(openKeysMutex);
    openKeys.insert(k);
    return k;
}

RegKey rootValue(uintptr_t v) {
    return reinterpret_cast<RegKey>(v);
}

} // namespace

RegKey regClassesRoot() {
    return rootValue(kRoots[0].value);
}
RegKey regCurrentUser() {
    return rootValue(kRoots[1].value);
}
RegKey regLocalMachine() {
    return rootValue(kRoots[2].value);
}

long regOpenKey(RegKey parent, const char* subKey, RegKey* result) {
    if (result == nullptr)
        return kInvalidParameter;
    *result = nullptr;
    std::string base, path;
    if (!keyPath(parent, base))
        return kInvalidHandle;
    if (!joinPath(base, subKey, path))
        return kNotFound;
    FileLock lock(registryFile(), false);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (!keyExists(hive, path))
        return kNotFound;
    *result = newKey(path);
    return kOk;
}

long regCreateKey(RegKey parent, const char* subKey, RegKey* result) {
    if (result == nullptr)
        return kInvalidParameter;
    *result = nullptr;
    std::string base, path;
    if (!keyPath(parent, base))
        return kInvalidHandle;
    if (!joinPath(base, subKey, path))
        return kInvalidParameter;
    FileLock lock(registryFile(), true);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (!keyExists(hive, path)) {
        // Listed with every missing parent, as the key is created with them.
        std::size_t from = 0;
        for (const Root& r : kRoots)
            if (isBelow(path, r.name))
                from = std::strlen(r.name) + 1;
        for (std::size_t cut = path.find('\\', from);; cut = path.find('\\', cut + 1)) {
            std::string level = cut == std::string::npos ? path : path.substr(0, cut);
            if (!keyExists(hive, level))
                hive.push_back(Section{level, {}});
            if (cut == std::string::npos)
                break;
        }
        if (long err = save(hive))
            return err;
    }
    *result = newKey(path);
    return kOk;
}

long regCloseKey(RegKey key) {
    auto v = reinterpret_cast<uintptr_t>(key);
    for (const Root& r : kRoots)
        if (v == r.value)
            return kOk;
    std::lock_guard<std::mutex> lock(openKeysMutex);
    auto it = openKeys.find(static_cast<OpenKey*>(key));
    if (it == openKeys.end())
        return kInvalidHandle;
    delete *it;
    openKeys.erase(it);
    return kOk;
}

long regDeleteKey(RegKey parent, const char* subKey) {
    std::string base, path;
    if (!keyPath(parent, base))
        return kInvalidHandle;
    if (subKey == nullptr)
        return kInvalidParameter;
    if (!joinPath(base, subKey, path))
        return kNotFound;
    if (isRootPath(path))
        return kAccessDenied; // "" deletes the open key itself, never a root
    FileLock lock(registryFile(), true);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (!keyExists(hive, path))
        return kNotFound;
    for (const Section& s : hive)
        if (isBelow(s.path, path))
            return kAccessDenied; // subkeys first, as RegDeleteKey demands
    hive.erase(std::remove_if(hive.begin(), hive.end(),
                              [&](const Section& s) { return sameName(s.path, path); }),
               hive.end());
    return save(hive);
}

long regEnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) {
    std::string path;
    if (!keyPath(key, path))
        return kInvalidHandle;
    FileLock lock(registryFile(), false);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (!keyExists(hive, path))
        return kKeyDeleted;
    std::vector<std::string> children;
    for (const Section& s : hive) {
        if (!isBelow(s.path, path))
            continue;
        std::string rest = s.path.substr(path.size() + 1);
        std::string child = rest.substr(0, rest.find('\\'));
        bool seen = false;
        for (const auto& c : children)
            seen = seen || sameName(c, child);
        if (!seen)
            children.push_back(child);
    }
    std::sort(children.begin(), children.end(), lessName);
    if (index >= children.size())
        return kRegNoMoreItems;
    const std::string& child = children[index];
    if (name == nullptr || child.size() + 1 > nameSize)
        return kMoreData;
    std::memcpy(name, child.c_str(), child.size() + 1);
    return kOk;
}

long regSetString(RegKey key, const char* valueName, const char* data, uint32_t size) {
    std::string path;
    if (!keyPath(key, path))
        return kInvalidHandle;
    std::string text;
    if (data)
        text.assign(data, strnlen(data, size)); // stops at a terminating zero counted in size
    std::string vname = valueName ? valueName : "";
    if (text.find_first_of("\r\n") != std::string::npos ||
        vname.find_first_of("\r\n") != std::string::npos)
        return kInvalidParameter; // one line per value in the file
    FileLock lock(registryFile(), true);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (isRootPath(path))
        return kAccessDenied;
    if (!keyExists(hive, path))
        return kKeyDeleted;
    Section* s = findSection(hive, path);
    if (!s) {
        hive.push_back(Section{path, {}});
        s = &hive.back();
    }
    Value* existing = nullptr;
    for (Value& v : s->values)
        if (sameName(v.name, vname))
            existing = &v;
    if (existing) {
        existing->isString = true;
        existing->data = text;
    } else {
        s->values.push_back(Value{vname, true, text});
    }
    return save(hive);
}

long regQueryString(RegKey key, const char* valueName, char* data, uint32_t* size) {
    std::string path;
    if (!keyPath(key, path))
        return kInvalidHandle;
    if (size == nullptr && data != nullptr)
        return kInvalidParameter;
    FileLock lock(registryFile(), false);
    Hive hive;
    if (load(hive) == Load::Broken)
        return kBadDatabase;
    if (!keyExists(hive, path))
        return kKeyDeleted;
    std::string vname = valueName ? valueName : "";
    Section* s = findSection(hive, path);
    const Value* found = nullptr;
    if (s)
        for (const Value& v : s->values)
            if (sameName(v.name, vname))
                found = &v;
    if (!found)
        return kNotFound;
    if (!found->isString)
        return 1630; // ERROR_UNSUPPORTED_TYPE: only text values are read here
    uint32_t needed = uint32_t(found->data.size() + 1);
    if (size == nullptr)
        return kOk;
    if (data == nullptr) {
        *size = needed;
        return kOk;
    }
    if (*size < needed) {
        *size = needed;
        return kMoreData;
    }
    std::memcpy(data, found->data.c_str(), needed);
    *size = needed;
    return kOk;
}

} // namespace halvern::platform
