// The runtime folder's fallback in the shared /tmp: used only when it is a private folder of
// this user, never when someone else made it first.
#include "halvern/platform/runtime_dir.h"
#include "posix_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace halvern::platform {
namespace {

namespace fs = std::filesystem;

class RuntimeFallback : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "halvern-rt-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        base = tmpl;
        tmp = base + "/tmp";
        home = base + "/home";
        fs::create_directories(tmp);
        fs::create_directories(home);
        shared = tmp + "/halvern-" + std::to_string(getuid());
        own = home + "/.cache/halvern-runtime";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
    static unsigned mode(const std::string& p) {
        struct stat st {};
        lstat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
    std::string base, tmp, home, shared, own;
};

TEST_F(RuntimeFallback, MakesAndKeepsAPrivateSharedFolder) {
    EXPECT_EQ(posix::fallbackRuntimeDir(tmp, home.c_str()), shared);
    EXPECT_EQ(mode(shared), 0700u);
    // A folder of ours that others may read is closed, not abandoned.
    chmod(shared.c_str(), 0755);
    EXPECT_EQ(posix::fallbackRuntimeDir(tmp, home.c_str()), shared);
    EXPECT_EQ(mode(shared), 0700u);
}

TEST_F(RuntimeFallback, ALinkPlantedInTheSharedFolderIsNotFollowed) {
    const std::string elsewhere = base + "/elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, shared);
    EXPECT_EQ(posix::fallbackRuntimeDir(tmp, home.c_str()), own);
    EXPECT_EQ(mode(own), 0700u);
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(RuntimeFallback, AFolderOfAnotherUserIsNotUsed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    fs::create_directories(shared);
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
    EXPECT_EQ(posix::fallbackRuntimeDir(tmp, home.c_str()), own);
}

TEST_F(RuntimeFallback, WithoutAHomeEveryOpenFailsRatherThanReachingSomeoneElse) {
    fs::create_directory_symlink(base, shared);
    const std::string dir = posix::fallbackRuntimeDir(tmp, nullptr);
    EXPECT_NE(dir, shared);
    EXPECT_NE(mkdir((dir + "/bus").c_str(), 0700), 0);
}

} // namespace
} // namespace halvern::platform

namespace halvern::platform {
namespace {

// Every runtime folder, wherever it comes from, is used only when it is a real folder of this
// user; one of ours that others may reach is closed first.
TEST(RuntimeFolders, OnlyPrivateFoldersOfThisUserAreUsed) {
    namespace fs = std::filesystem;
    const bool root = geteuid() == 0;
    std::string tmpl = (fs::temp_directory_path() / "halvern-rf-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::string base = tmpl;
    auto folder = [](const std::string& p, unsigned mode, uid_t owner) {
        fs::create_directories(p);
        chmod(p.c_str(), mode);
        return owner == geteuid() || chown(p.c_str(), owner, owner) == 0;
    };
    struct Case {
        const char* what;
        bool needsRoot;
        bool viaXdg;
        std::function<bool(const std::string& rt)> setUp;
        bool busUsed, pipeUsed;
    } cases[] = {
        {"ours, open to all", false, false,
         [&](const std::string& rt) { return folder(rt, 0777, geteuid()); }, true, true},
        {"another user's, sticky and open to all", true, false,
         [&](const std::string& rt) { return folder(rt, 01777, 65534); }, false, false},
        {"a link to a private folder of ours", false, false,
         [&](const std::string& rt) {
             folder(rt + "-target", 0700, geteuid());
             fs::create_directory_symlink(rt + "-target", rt);
             return true;
         },
         false, false},
        {"bus/ of another user", true, false,
         [&](const std::string& rt) {
             return folder(rt, 0700, geteuid()) && folder(rt + "/bus", 0777, 65534);
         },
         false, true},
        {"pipe/ ours, open to all", false, false,
         [&](const std::string& rt) {
             return folder(rt, 0700, geteuid()) && folder(rt + "/pipe", 0777, geteuid());
         },
         true, true},
        {"XDG folder of another user", true, true,
         [&](const std::string& rt) { return folder(rt, 0777, 65534); }, false, false},
    };
    const char* oldRuntime = std::getenv("HALVERN_RUNTIME_DIR");
    const std::string keptRuntime = oldRuntime ? oldRuntime : "";
    const char* oldXdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string keptXdg = oldXdg ? oldXdg : "";
    int n = 0;
    for (Case& c : cases) {
        if (c.needsRoot && !root)
            continue;
        const std::string top = base + "/" + std::to_string(n++);
        const std::string rt = c.viaXdg ? top + "/halvern" : top;
        if (c.viaXdg) {
            fs::create_directories(top);
            unsetenv("HALVERN_RUNTIME_DIR");
            setenv("XDG_RUNTIME_DIR", top.c_str(), 1);
        } else {
            setenv("HALVERN_RUNTIME_DIR", rt.c_str(), 1);
        }
        ASSERT_TRUE(c.setUp(rt)) << c.what;
        const std::string bus = busDirectory();
        const std::string pipe = pipeDirectory();
        EXPECT_EQ(bus == rt + "/bus", c.busUsed) << c.what << ": " << bus;
        EXPECT_EQ(pipe == rt + "/pipe", c.pipeUsed) << c.what << ": " << pipe;
        struct stat st {};
        for (const std::string& used : {bus, pipe})
            if (used.compare(0, rt.size(), rt) == 0) {
                ASSERT_EQ(lstat(rt.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0077, 0u) << c.what << ": " << rt;
                ASSERT_EQ(lstat(used.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0077, 0u) << c.what << ": " << used;
            }
    }
    if (oldRuntime)
        setenv("HALVERN_RUNTIME_DIR", keptRuntime.c_str(), 1);
    else
        unsetenv("HALVERN_RUNTIME_DIR");
    if (oldXdg)
        setenv("XDG_RUNTIME_DIR", keptXdg.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    fs::remove_all(base, ec);
}

} // namespace
} // namespace halvern::platform
