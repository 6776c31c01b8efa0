// The registry of the Windows platform layer, in the throw-away prefix's HKEY_CURRENT_USER.
#include "halvern/platform/registry.h"
#include "halvern/platform/thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace halvern::platform;

namespace {

constexpr const char* kTestRoot = "Software\\HalvernTest";

// Deletes a key and everything below it, leaves first (regDeleteKey takes no subtree).
void deleteTree(RegKey parent, const std::string& path) {
    RegKey key = nullptr;
    if (regOpenKey(parent, path.c_str(), &key) != 0)
        return;
    std::vector<std::string> children;
    char name[256];
    for (uint32_t i = 0; regEnumKey(key, i, name, sizeof name) == 0; ++i)
        children.emplace_back(name);
    regCloseKey(key);
    for (const std::string& child : children)
        deleteTree(parent, path + "\\" + child);
    regDeleteKey(parent, path.c_str());
}

class WineRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::string(kTestRoot) + "\\" + std::to_string(currentThreadId());
        deleteTree(regCurrentUser(), root_);
    }
    void TearDown() override {
        deleteTree(regCurrentUser(), root_);
        RegKey key = nullptr;
        EXPECT_EQ(regOpenKey(regCurrentUser(), root_.c_str(), &key), 2);
        // The shared parent goes too once no other run uses it.
        regDeleteKey(regCurrentUser(), kTestRoot);
    }
    std::string root_;
};

} // namespace

TEST_F(WineRegistry, CreateSetQueryEnumerateAndDelete) {
    RegKey root = nullptr;
    ASSERT_EQ(regCreateKey(regCurrentUser(), root_.c_str(), &root), 0);
    ASSERT_NE(root, nullptr);

    const std::string path = "C:\\Program Files\\Halvern\\HalvernASIO.dll";
    ASSERT_EQ(regSetString(root, nullptr, "Halvern Audio", 13), 0);
    ASSERT_EQ(regSetString(root, "Path", path.c_str(), static_cast<uint32_t>(path.size())), 0);

    char value[256];
    uint32_t size = sizeof value;
    ASSERT_EQ(regQueryString(root, "", value, &size), 0);
    EXPECT_STREQ(value, "Halvern Audio");
    EXPECT_EQ(size, 14u); // stored with its terminating zero
    size = sizeof value;
    ASSERT_EQ(regQueryString(root, "Path", value, &size), 0);
    EXPECT_EQ(std::string(value), path);

    size = 4;
    EXPECT_EQ(regQueryString(root, "Path", value, &size), 234);
    EXPECT_EQ(size, path.size() + 1);
    size = sizeof value;
    EXPECT_EQ(regQueryString(root, "Missing", value, &size), 2);

    for (const char* child : {"CLSID", "ASIO", "InprocServer32"}) {
        RegKey key = nullptr;
        ASSERT_EQ(regCreateKey(root, child, &key), 0);
        EXPECT_EQ(regCloseKey(key), 0);
    }
    std::vector<std::string> names;
    char name[256];
    uint32_t index = 0;
    long status = 0;
    while ((status = regEnumKey(root, index, name, sizeof name)) == 0) {
        names.emplace_back(name);
        ++index;
    }
    EXPECT_EQ(status, kRegNoMoreItems);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ASIO", "CLSID", "InprocServer32"}));

    // Opening an existing key with regCreateKey keeps its values.
    RegKey again = nullptr;
    ASSERT_EQ(regCreateKey(regCurrentUser(), root_.c_str(), &again), 0);
    size = sizeof value;
    EXPECT_EQ(regQueryString(again, nullptr, value, &size), 0);
    EXPECT_STREQ(value, "Halvern Audio");
    EXPECT_EQ(regCloseKey(again), 0);

    EXPECT_EQ(regDeleteKey(root, "ASIO"), 0);
    RegKey gone = nullptr;
    EXPECT_EQ(regOpenKey(root, "ASIO", &gone), 2);
    EXPECT_EQ(regDeleteKey(root, "ASIO"), 2);
    EXPECT_EQ(regCloseKey(root), 0);
}

TEST_F(WineRegistry, MissingKeysAreReportedAsNotFound) {
    RegKey key = reinterpret_cast<RegKey>(1);
    EXPECT_EQ(regOpenKey(regCurrentUser(), (root_ + "\\Nowhere").c_str(), &key), 2);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(regDeleteKey(regCurrentUser(), (root_ + "\\Nowhere").c_str()), 2);
}

TEST_F(WineRegistry, OverwrittenValueReadsBackTheNewText) {
    RegKey root = nullptr;
    ASSERT_EQ(regCreateKey(regCurrentUser(), root_.c_str(), &root), 0);
    ASSERT_EQ(regSetString(root, "ThreadingModel", "Apartment", 9), 0);
    // A size that counts the terminating zero stores the same text.
    ASSERT_EQ(regSetString(root, "ThreadingModel", "Both", 5), 0);
    char value[32];
    uint32_t size = sizeof value;
    ASSERT_EQ(regQueryString(root, "ThreadingModel", value, &size), 0);
    EXPECT_STREQ(value, "Both");
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(regCloseKey(root), 0);
}
