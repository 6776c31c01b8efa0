// The registry file: keys, values, escapes, and a broken file that must survive.
#include "halvern/platform/registry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace halvern;
using namespace halvern::platform;

namespace {

constexpr const char* kClsid = "CLSID\\{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

long setText(RegKey k, const char* name, const char* text) {
    return regSetString(k, name, text, uint32_t(std::strlen(text)));
}

std::string queryText(RegKey k, const char* name, long* err = nullptr) {
    char buffer[512] = {};
    uint32_t size = sizeof buffer;
    long e = regQueryString(k, name, buffer, &size);
    if (err)
        *err = e;
    return e == 0 ? std::string(buffer) : std::string();
}

class Registry : public ::testing::Test {
protected:
    test::TempRuntimeDir runtime;
};

TEST_F(Registry, CreatedKeysAndValuesAreWrittenAsARegFile) {
    RegKey key = nullptr;
    ASSERT_EQ(regCreateKey(regClassesRoot(), kClsid, &key), 0);
    EXPECT_EQ(setText(key, nullptr, "HalvernASIO"), 0);
    RegKey inproc = nullptr;
    ASSERT_EQ(regCreateKey(key, "InprocServer32", &inproc), 0);
    EXPECT_EQ(setText(inproc, "", "C:\\Program Files\\Halvern \"ASIO\".dll"), 0);
    EXPECT_EQ(setText(inproc, "ThreadingModel", "Apartment"), 0);
    regCloseKey(inproc);
    regCloseKey(key);

    std::string text = readFile(runtime.registryFile());
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID\\{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}]\n"
                        "@=\"HalvernASIO\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("@=\"C:\\\\Program Files\\\\Halvern \\\"ASIO\\\".dll\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"ThreadingModel\"=\"Apartment\"\n"), std::string::npos);

    // Read back through a fresh open, with other spellings of the names.
    RegKey again = nullptr;
    ASSERT_EQ(regOpenKey(regClassesRoot(),
                         "clsid\\{4c4c95d3-daed-4054-afae-0ee8a8166d91}\\INPROCSERVER32", &again),
              0);
    EXPECT_EQ(queryText(again, nullptr), "C:\\Program Files\\Halvern \"ASIO\".dll");
    EXPECT_EQ(queryText(again, "threadingmodel"), "Apartment");
    long err = 0;
    queryText(again, "Missing", &err);
    EXPECT_EQ(err, 2);
    regCloseKey(again);
}

TEST_F(Registry, QueryReportsTheSizeItNeeds) {
    RegKey key = nullptr;
    ASSERT_EQ(regCreateKey(regLocalMachine(), "SOFTWARE\\ASIO\\Halvern Audio", &key), 0);
    // A size that counts the terminating zero stores the same text.
    EXPECT_EQ(regSetString(key, "Description", "Halvern Audio", 14), 0);
    char small[4];
    uint32_t size = sizeof small;
    EXPECT_EQ(regQueryString(key, "Description", small, &size), 234);
    EXPECT_EQ(size, 14u);
    size = 0;
    EXPECT_EQ(regQueryString(key, "Description", nullptr, &size), 0);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(queryText(key, "Description"), "Halvern Audio");
    EXPECT_EQ(regSetString(key, "Bad", "two\nlines", 9), 87);
    regCloseKey(key);
}

TEST_F(Registry, EnumListsDirectSubkeysThenEnds) {
    RegKey k = nullptr;
    ASSERT_EQ(regCreateKey(regLocalMachine(), "SOFTWARE\\ASIO\\Wren Driver", &k), 0);
    regCloseKey(k);
    ASSERT_EQ(regCreateKey(regLocalMachine(), "SOFTWARE\\ASIO\\Halvern Audio\\Sub", &k), 0);
    regCloseKey(k);
    RegKey asio = nullptr;
    ASSERT_EQ(regOpenKey(regLocalMachine(), "SOFTWARE\\ASIO", &asio), 0);
    char name[64];
    EXPECT_EQ(regEnumKey(asio, 0, name, sizeof name), 0);
    EXPECT_STREQ(name, "Halvern Audio");
    EXPECT_EQ(regEnumKey(asio, 1, name, sizeof name), 0);
    EXPECT_STREQ(name, "Wren Driver");
    EXPECT_EQ(regEnumKey(asio, 2, name, sizeof name), kRegNoMoreItems);
    EXPECT_EQ(regEnumKey(asio, 0, name, 5), 234);
    regCloseKey(asio);
}

TEST_F(Registry, DeleteNeedsALeafKey) {
    RegKey k = nullptr;
    ASSERT_EQ(regCreateKey(regClassesRoot(), "CLSID\\{X}\\InprocServer32", &k), 0);
    regCloseKey(k);
    EXPECT_EQ(regDeleteKey(regClassesRoot(), "CLSID\\{X}"), 5);
    EXPECT_EQ(regDeleteKey(regClassesRoot(), "clsid\\{x}\\inprocserver32"), 0);
    EXPECT_EQ(regDeleteKey(regClassesRoot(), "CLSID\\{X}"), 0);
    EXPECT_EQ(regOpenKey(regClassesRoot(), "CLSID\\{X}", &k), 2);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(regDeleteKey(regClassesRoot(), "CLSID\\{X}"), 2);
    RegKey clsid = nullptr;
    EXPECT_EQ(regOpenKey(regClassesRoot(), "CLSID", &clsid), 0); // the parent stays
    regCloseKey(clsid);
}

TEST_F(Registry, OtherWritersAreSeenAtOnce) {
    std::ofstream(runtime.registryFile()) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                          << "; written by hand\r\n"
                                          << "[HKEY_CURRENT_USER\\Software\\Halvern]\r\n"
                                          << "\"Path\"=\"a\\\\b\"\r\n"
                                          << "\"Flags\"=dword:00000001\r\n";
    RegKey k = nullptr;
    ASSERT_EQ(regOpenKey(regCurrentUser(), "Software\\Halvern", &k), 0);
    EXPECT_EQ(queryText(k, "Path"), "a\\b");
    EXPECT_EQ(setText(k, "Other", "x"), 0);
    EXPECT_NE(readFile(runtime.registryFile()).find("\"Flags\"=dword:00000001"),
              std::string::npos); // values of other types survive a rewrite
    regCloseKey(k);
}

TEST_F(Registry, ABrokenFileIsNeverOverwritten) {
    const std::string broken = "REGEDIT4 garbage\n[HKEY_CLASSES_ROOT\\CLSID]\n@=unquoted\n";
    std::ofstream(runtime.registryFile()) << broken;
    RegKey k = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_NE(regCreateKey(regClassesRoot(), "CLSID\\{Y}", &k), 0);
    EXPECT_NE(regOpenKey(regClassesRoot(), "CLSID", &k), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("does not parse"), std::string::npos);
    EXPECT_NE(err.find(runtime.registryFile()), std::string::npos);
    EXPECT_EQ(readFile(runtime.registryFile()), broken);

    // A value line that does not parse, after a good header, is refused just the same.
    const std::string badValue = "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\A]\n"
                                 "\"x\"=\"unterminated\n";
    std::ofstream(runtime.registryFile()) << badValue;
    testing::internal::CaptureStderr();
    EXPECT_NE(regCreateKey(regClassesRoot(), "B", &k), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readFile(runtime.registryFile()), badValue);
}

// A file that exists but cannot be read is not an empty registry: writing "just the new key"
// over it would lose every other key.
TEST_F(Registry, AnUnreadableFileIsNeverOverwritten) {
    RegKey k = nullptr;
    ASSERT_EQ(regCreateKey(regClassesRoot(), "CLSID\\{Kept}", &k), 0);
    regCloseKey(k);
    const std::string file = runtime.registryFile();
    const std::string before = readFile(file);
    ASSERT_NE(before.find("{Kept}"), std::string::npos);

    // Root reads whatever the mode says, so the writer runs as nobody in a folder open to it.
    ASSERT_EQ(chmod(runtime.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        RegKey other = nullptr;
        long created = regCreateKey(regClassesRoot(), "CLSID\\{Other}", &other);
        long opened = regOpenKey(regClassesRoot(), "CLSID", &other);
        _exit(created != 0 && opened != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(file.c_str(), 0600);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a change to an unreadable file was reported done";
    EXPECT_EQ(readFile(file), before);
}

TEST_F(Registry, StaleAndForeignHandlesAreRefused) {
    RegKey k = nullptr;
    ASSERT_EQ(regCreateKey(regClassesRoot(), "CLSID\\{Z}", &k), 0);
    EXPECT_EQ(regCloseKey(k), 0);
    EXPECT_EQ(regCloseKey(k), 6);
    EXPECT_EQ(setText(k, "a", "b"), 6);
    int notAKey = 0;
    EXPECT_EQ(regOpenKey(&notAKey, "x", &k), 6);
    EXPECT_EQ(regCloseKey(regClassesRoot()), 0); // predefined keys need no close
}

} // namespace
