// Registration and unregistration of the driver on the file registry.
#include "com/registration.h"
#include "com/server.h"
#include "driver_ids.h"
#include "test_support.h"

#include "halvern/platform/module.h"
#include "halvern/platform/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace com = halvern::com;
namespace platform = halvern::platform;
using halvern::kHalvernAsioClsidText;

const std::string kClassKey = std::string("CLSID\\") + kHalvernAsioClsidText;
const std::string kServerKey = kClassKey + "\\InprocServer32";
const std::string kDriverKey = "SOFTWARE\\ASIO\\Halvern Audio";

com::ServerRegistration driverRegistration() {
    return {&halvern::kHalvernAsioClsid, halvern::kDriverModuleName, halvern::kDriverRegistryName,
            halvern::kDriverDescription, "Apartment"};
}

bool exists(platform::RegKey root, const std::string& path) {
    platform::RegKey k = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &k) != 0)
        return false;
    platform::regCloseKey(k);
    return true;
}

// The value, or "<none>" when the key or value is missing.
std::string value(platform::RegKey root, const std::string& path, const char* name) {
    platform::RegKey k = nullptr;
    if (platform::regOpenKey(root, path.c_str(), &k) != 0)
        return "<none>";
    char data[512] = {};
    uint32_t size = sizeof data;
    long rc = platform::regQueryString(k, name, data, &size);
    platform::regCloseKey(k);
    return rc == 0 ? std::string(data) : "<none>";
}

void put(platform::RegKey root, const std::string& path, const char* name, const char* data) {
    platform::RegKey k = nullptr;
    ASSERT_EQ(platform::regCreateKey(root, path.c_str(), &k), 0);
    ASSERT_EQ(platform::regSetString(k, name, data, uint32_t(std::strlen(data))), 0);
    platform::regCloseKey(k);
}

std::string thisModulePath() {
    char path[com::kModulePathSize] = {};
    void* module = platform::moduleHandle("x", reinterpret_cast<const void*>(&thisModulePath));
    platform::moduleFileName(module, path, sizeof path);
    return path;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Registration : public ::testing::Test {
protected:
    halvern::test::TempRuntimeDir dir;
    platform::RegKey hkcr = platform::regClassesRoot();
    platform::RegKey hklm = platform::regLocalMachine();
};

TEST_F(Registration, WritesTheClassAndTheDriverEntries) {
    ASSERT_EQ(com::registerServer(), S_OK);
    EXPECT_EQ(value(hkcr, kClassKey, nullptr), "Halvern Audio");
    // The module is this test program here; off Windows its path keeps its case so that a host
    // can load it again.
    EXPECT_EQ(value(hkcr, kServerKey, nullptr), thisModulePath());
    EXPECT_EQ(value(hkcr, kServerKey, "ThreadingModel"), "Apartment");
    EXPECT_EQ(value(hklm, kDriverKey, "CLSID"), kHalvernAsioClsidText);
    EXPECT_EQ(value(hklm, kDriverKey, "Description"), "Halvern Audio");
}

TEST_F(Registration, TwiceFromTheSamePathKeepsTheClassEntries) {
    ASSERT_EQ(com::registerServer(), S_OK);
    put(hkcr, kServerKey, "Marker", "kept");
    put(hklm, kDriverKey, "Marker", "dropped");
    ASSERT_EQ(com::registerServer(), S_OK);
    EXPECT_EQ(value(hkcr, kServerKey, "Marker"), "kept");
    EXPECT_EQ(value(hklm, kDriverKey, "Marker"), "<none>") << "the driver entry is rewritten";
    EXPECT_EQ(value(hklm, kDriverKey, "CLSID"), kHalvernAsioClsidText);
}

TEST_F(Registration, SamePathInAnotherCaseCountsAsTheSame) {
    com::writeRegistration(driverRegistration(), kHalvernAsioClsidText,
                           "/opt/Halvern/libHalvernASIO.so");
    put(hkcr, kServerKey, "Marker", "kept");
    com::writeRegistration(driverRegistration(), kHalvernAsioClsidText,
                           "/OPT/halvern/LIBHALVERNASIO.SO");
    EXPECT_EQ(value(hkcr, kServerKey, "Marker"), "kept");
    EXPECT_EQ(value(hkcr, kServerKey, nullptr), "/opt/Halvern/libHalvernASIO.so");
}

TEST_F(Registration, AnotherPathReplacesTheWholeClassTree) {
    com::writeRegistration(driverRegistration(), kHalvernAsioClsidText, "/opt/a/libHalvernASIO.so");
    put(hkcr, kServerKey, "Marker", "gone");
    put(hkcr, kClassKey + "\\Extra\\Deeper", "Marker", "gone");
    com::writeRegistration(driverRegistration(), kHalvernAsioClsidText, "/opt/b/libHalvernASIO.so");
    EXPECT_EQ(value(hkcr, kServerKey, nullptr), "/opt/b/libHalvernASIO.so");
    EXPECT_EQ(value(hkcr, kServerKey, "ThreadingModel"), "Apartment");
    EXPECT_EQ(value(hkcr, kServerKey, "Marker"), "<none>");
    EXPECT_FALSE(exists(hkcr, kClassKey + "\\Extra"));
}

TEST_F(Registration, UnregisterRemovesOnlyOurTrees) {
    put(hkcr, "CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32", nullptr, "/x.so");
    put(hklm, "SOFTWARE\\ASIO\\Other Driver", "CLSID", "{00000000-1111-2222-3333-444444444444}");
    ASSERT_EQ(com::registerServer(), S_OK);
    ASSERT_EQ(com::unregisterServer(), S_OK);
    EXPECT_FALSE(exists(hkcr, kClassKey));
    EXPECT_FALSE(exists(hklm, kDriverKey));
    EXPECT_TRUE(exists(hklm, "SOFTWARE\\ASIO"));
    EXPECT_TRUE(exists(hklm, "SOFTWARE\\ASIO\\Other Driver"));
    EXPECT_EQ(value(hkcr, "CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32", nullptr),
              "/x.so");
    // Unregistering what is not there is no failure.
    EXPECT_EQ(com::unregisterServer(), S_OK);
}

TEST_F(Registration, TreeDeletionReachesEveryLevel) {
    put(hklm, "SOFTWARE\\T\\a\\b\\c\\d", "v", "1");
    put(hklm, "SOFTWARE\\T\\a\\b2", "v", "1");
    put(hklm, "SOFTWARE\\T\\a2", "v", "1");
    EXPECT_EQ(com::deleteKeyTree(hklm, "SOFTWARE\\T", "a"), 0);
    EXPECT_FALSE(exists(hklm, "SOFTWARE\\T\\a"));
    EXPECT_TRUE(exists(hklm, "SOFTWARE\\T\\a2"));
    EXPECT_EQ(com::deleteKeyTree(hklm, "SOFTWARE\\Missing", "a"), -1);
}

// A registry that takes no change fails both routines (a host would find no driver, or still
// find one), and what is there is left as it was.
TEST_F(Registration, ARegistryThatTakesNoChangeFailsAndIsLeftAlone) {
    struct Case {
        const char* what;
        std::string file;              // where the registry is
        std::function<void()> prepare; // makes it so
    };
    const std::string blocker = dir.path() + "/not-a-folder";
    const Case cases[] = {
        {"does not parse", dir.registryFile(),
         [&] { std::ofstream(dir.registryFile()) << "this is not a registry file\n"; }},
        {"its folder is a file", blocker + "/registry.reg", [&] { std::ofstream(blocker) << "x"; }},
        // Our entries are there, so unregistering has something to remove.
        {"read-only", dir.registryFile(),
         [&] {
             ASSERT_EQ(com::registerServer(), S_OK);
             ::chmod(dir.registryFile().c_str(), 0400);
         }},
    };
    for (const Case& c : cases) {
        if (std::string(c.what) == "read-only" && ::geteuid() == 0)
            continue; // permissions do not bind the superuser
        ::setenv("HALVERN_REGISTRY", c.file.c_str(), 1);
        c.prepare();
        const std::string before = fileText(c.file);
        EXPECT_EQ(com::registerDriver(driverRegistration()), com::kRegistryNotWritten) << c.what;
        EXPECT_EQ(com::registerServer(), HRESULT(-1)) << c.what;
        EXPECT_EQ(com::unregisterServer(), HRESULT(-1)) << c.what;
        EXPECT_EQ(fileText(c.file), before) << c.what;
        ::chmod(c.file.c_str(), 0600);
        std::remove(c.file.c_str());
    }
}

} // namespace
