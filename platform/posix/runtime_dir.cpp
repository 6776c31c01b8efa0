// Where the simulated bus devices and the named pipes live.
#include "halvern/platform/runtime_dir.h"

#include "posix_internal.h"

#include "halvern/platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace halvern::platform {

namespace {

// mkdir -p; only the folders created here get mode 0700, existing parents stay as they are.
void makeDirectories(const std::string& path) {
    if (path.empty())
        return;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        makeDirectories(path.substr(0, slash));
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        char line[512];
        std::snprintf(line, sizeof line, "halvern: cannot create %s (errno %d)\n", path.c_str(),
                      errno);
        outputDebugString(line);
    }
}

// A folder that is ours, a real folder (not a link) and private; made so when we may.
bool isPrivateFolder(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
        return false;
    if ((st.st_mode & 0077) != 0 && chmod(path.c_str(), 0700) != 0)
        return false;
    return true;
}

} // namespace

namespace posix {

// The shared /tmp folder can be taken by another user before us (a folder of theirs, or a link
// to one): the sockets inside would then be theirs to reach or to fake. Such a folder is never
// used; the private folder in the home directory stands in for it, the same for every process
// of this user, and when there is none either, a path nothing can be created in, so that every
// open fails instead of reaching someone else's.
std::string fallbackRuntimeDir(const std::string& tmpDir, const char* home) {
    const std::string shared = tmpDir + "/halvern-" + std::to_string(getuid());
    makeDirectories(shared);
    if (isPrivateFolder(shared))
        return shared;
    std::fprintf(stderr, "halvern: %s is not a private folder of this user; not using it\n",
                 shared.c_str());
    if (home != nullptr && *home == '/') {
        const std::string own = std::string(home) + "/.cache/halvern-runtime";
        makeDirectories(own);
        if (isPrivateFolder(own))
            return own;
        std::fprintf(stderr, "halvern: %s is not a private folder of this user either\n",
                     own.c_str());
    }
    return "/proc/self/halvern-refused";
}

} // namespace posix

namespace {

// Where nothing can be created: every open through it fails instead of reaching a folder that
// someone else could fill.
constexpr const char* kRefusedDir = "/proc/self/halvern-refused";

// Said once per folder, not at every open (the panel looks for its device every second).
void reportRefused(const std::string& path) {
    static std::mutex mutex;
    static auto* said = new std::set<std::string>(); // never released, on purpose
    std::lock_guard<std::mutex> lock(mutex);
    if (said->insert(path).second)
        std::fprintf(stderr, "halvern: %s is not a private folder of this user; not using it\n",
                     path.c_str());
}

// The folder made when missing, then checked: another user's folder, a link, or a folder that
// others may write to and that is not ours to close is not used.
std::string privateOrRefused(const std::string& path) {
    if (makePrivateFolder(path))
        return path;
    if (path.compare(0, std::strlen(kRefusedDir), kRefusedDir) != 0)
        reportRefused(path);
    return kRefusedDir;
}

} // namespace

bool makePrivateFolder(const std::string& path) {
    makeDirectories(path);
    return isPrivateFolder(path);
}

std::string runtimeDir() {
    std::string dir;
    if (const char* v = std::getenv("HALVERN_RUNTIME_DIR"); v && *v) {
        dir = v;
    } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
        dir = std::string(x) + "/halvern";
    } else {
        return posix::fallbackRuntimeDir("/tmp", std::getenv("HOME"));
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return privateOrRefused(dir);
}

std::string busDirectory() {
    return privateOrRefused(runtimeDir() + "/bus");
}

std::string pipeDirectory() {
    return privateOrRefused(runtimeDir() + "/pipe");
}

} // namespace halvern::platform
