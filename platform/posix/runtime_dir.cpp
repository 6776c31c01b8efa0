// Where the simulated bus devices and the named pipes live.
#include "halvern/platform/runtime_dir.h"

#include "halvern/platform/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// The shared /tmp fallback must be ours and private; anything else is refused loudly (the
// sockets inside it would be reachable by, or belong to, someone else).
void checkPrivate(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        std::fprintf(stderr, "halvern: runtime directory %s is not a folder owned by this user\n",
                     path.c_str());
        return;
    }
    if ((st.st_mode & 0077) != 0)
        chmod(path.c_str(), 0700);
}

} // namespace

std::string runtimeDir() {
    std::string dir;
    if (const char* v = std::getenv("HALVERN_RUNTIME_DIR"); v && *v) {
        dir = v;
    } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
        dir = std::string(x) + "/halvern";
    } else {
        dir = "/tmp/halvern-" + std::to_string(getuid());
        makeDirectories(dir);
        checkPrivate(dir);
        return dir;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    makeDirectories(dir);
    return dir;
}

std::string busDirectory() {
    std::string d = runtimeDir() + "/bus";
    makeDirectories(d);
    return d;
}

std::string pipeDirectory() {
    std::string d = runtimeDir() + "/pipe";
    makeDirectories(d);
    return d;
}

} // namespace halvern::platform
