// HalvernMixer as a process: one instance at a time, also after a crash, and the translation
// chosen from the system locale.

#include "daemon_process.h"
#include "test_support.h"

#include "halvern/sim/simulator.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

using halvern::test::DaemonProcess;
using halvern::test::TempRuntimeDir;
namespace fs = std::filesystem;

namespace {

const std::string kRunning = "Halvern Mixer 已经在运行中。";

class MixerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The instance keys live under the temporary folder: a private one keeps this test
        // away from a panel the developer runs.
        tmp_ = runtime_.path() + "/tmp";
        fs::create_directories(tmp_);
        setenv("TMPDIR", tmp_.c_str(), 1);
        setenv("XDG_DATA_HOME", (runtime_.path() + "/data").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setLocale("en_US.UTF-8");
    }
    void TearDown() override { unsetenv("TMPDIR"); }
    static void setLocale(const char* name) {
        setenv("LANG", name, 1);
        setenv("LC_ALL", name, 1);
    }
    std::unique_ptr<DaemonProcess> start(const std::string& program = HALVERN_MIXER_PATH) {
        return std::make_unique<DaemonProcess>(program, std::vector<std::string>{});
    }

    TempRuntimeDir runtime_;
    std::string tmp_;
};

TEST_F(MixerProcessTest, OneInstanceAtATimeAlsoAfterACrash) {
    auto first = start();
    ASSERT_TRUE(first->waitFor("Device PID:")) << first->text();

    auto second = start();
    EXPECT_TRUE(second->waitFor(kRunning)) << second->text();
    EXPECT_EQ(second->waitExit(), 0);
    EXPECT_EQ(first->stop(0, 300), -2) << "the first instance must run on";

    EXPECT_EQ(first->stop(SIGKILL), -1);
    auto third = start();
    ASSERT_TRUE(third->waitFor("Device PID:")) << third->text();
    EXPECT_EQ(third->text().find(kRunning), std::string::npos) << third->text();
    // A termination request ends it cleanly, through its event loop.
    EXPECT_EQ(third->stop(SIGTERM), 0);
}

TEST_F(MixerProcessTest, TranslationFromTheSystemLocale) {
    const struct {
        const char* locale;
        const char* file;
    } cases[] = {
        {"zh_CN.UTF-8", "/HalvernDriver_zh_CN.qm"},
        {"en_GB.UTF-8", "/HalvernDriver_en_US.qm"},
    };
    const std::string dir = fs::path(HALVERN_MIXER_PATH).parent_path().string();
    for (const auto& c : cases) {
        setLocale(c.locale);
        auto mixer = start();
        const std::string expected = "成功加载翻译文件： \"" + dir + c.file + "\"";
        EXPECT_TRUE(mixer->waitFor(expected)) << mixer->text();
        // Offscreen there is no notification area: the window must show, not hide.
        EXPECT_TRUE(mixer->waitFor("No notification area")) << mixer->text();
    }
}

TEST_F(MixerProcessTest, RunsUntranslatedWithoutFiles) {
    const std::string copy = runtime_.path() + "/bin/HalvernMixer";
    fs::create_directories(runtime_.path() + "/bin");
    fs::copy_file(HALVERN_MIXER_PATH, copy);
    auto mixer = start(copy);
    ASSERT_TRUE(mixer->waitFor("Device PID:")) << mixer->text();
    const std::string out = mixer->text();
    const std::string warning = "未找到任何翻译文件，使用原始文本";
    ASSERT_NE(out.find(warning), std::string::npos) << out;
    EXPECT_EQ(out.find(warning, out.find(warning) + 1), std::string::npos);
}

// With a notification area (a small tray host on a virtual display) the panel starts with no
// window at all: only its icon.
TEST_F(MixerProcessTest, StartsHiddenWhereANotificationAreaExists) {
    if (std::system("command -v Xvfb trayer xwininfo >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs Xvfb, trayer and xwininfo";
    DaemonProcess xvfb("/bin/sh", {"-c", "exec Xvfb -displayfd 1 -nolisten tcp -screen 0 "
                                         "1024x768x24 2>/dev/null"});
    ASSERT_TRUE(xvfb.waitFor("\n")) << xvfb.text();
    const std::string display = ":" + xvfb.text().substr(0, xvfb.text().find('\n'));
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    DaemonProcess tray("/bin/sh", {"-c", "exec trayer --edge top 2>&1"});
    // The tray host owns the notification area once its panel window exists.
    bool trayUp = false;
    for (int i = 0; i < 300 && !trayUp; ++i) {
        trayUp = std::system("xwininfo -root -tree 2>/dev/null | grep -q '\"panel\"'") == 0;
        if (!trayUp)
            usleep(50000);
    }
    tray.waitFor("\n", 10);
    ASSERT_TRUE(trayUp) << tray.text();

    auto mixer = start();
    ASSERT_TRUE(mixer->waitFor("Device PID:")) << mixer->text();
    EXPECT_EQ(mixer->text().find("No notification area"), std::string::npos) << mixer->text();
    EXPECT_NE(std::system("xwininfo -root -tree | grep -q 'Halvern Driver'"), 0)
        << "a window is on screen";
    unsetenv("DISPLAY");
}

} // namespace
