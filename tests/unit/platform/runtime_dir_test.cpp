// The runtime folder's fallback in the shared /tmp: used only when it is a private folder of
// this user, never when someone else made it first.
#include "posix_internal.h"

#include <gtest/gtest.h>

#include <filesystem>
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
