// The Windows build of the driver on its own ground: traces in the GBK code page, and init
// failing cleanly where no bus device is present (Wine has none).
#include "AsioHalvern.h"
#include "com/com_base.h"
#include "com/server.h"
#include "driver_ids.h"

#include "halvern/platform/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string>* gTraces = nullptr;

void collect(const char* text, void*) {
    gTraces->emplace_back(text);
}

class TraceHook {
public:
    TraceHook() {
        gTraces = &lines;
        halvern::platform::setTraceHook(&collect, nullptr);
    }
    ~TraceHook() { halvern::platform::setTraceHook(nullptr, nullptr); }
    bool has(const std::string& text) const {
        for (const auto& l : lines)
            if (l == text)
                return true;
        return false;
    }
    std::vector<std::string> lines;
};

IASIO* createDriver() {
    void* p = nullptr;
    EXPECT_EQ(halvern::com::getClassObject(halvern::kHalvernAsioClsid, IID_IClassFactory, &p),
              S_OK);
    auto* factory = static_cast<IClassFactory*>(p);
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, halvern::kHalvernAsioClsid, &object), S_OK);
    factory->Release();
    return static_cast<IASIO*>(object);
}

TEST(DriverOnWindows, InitWithoutDeviceTracesInGbk) {
    TraceHook traces;
    IASIO* asio = createDriver();
    ASSERT_NE(asio, nullptr);
    EXPECT_EQ(asio->init(nullptr), ASIOFalse);
    // "无法打开HALVERN 声卡设备\n" in the GBK code page, spelt as bytes so that this file's own
    // encoding does not matter.
    const std::string gbk = "\xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA"
                            "HALVERN "
                            "\xC9\xF9\xBF\xA8\xC9\xE8\xB1\xB8\n";
    EXPECT_TRUE(traces.has("asio init.\n"));
    EXPECT_TRUE(traces.has(gbk));

    char message[kAsioErrorMessageSize] = {};
    asio->getErrorMessage(message);
    EXPECT_STRNE(message, "");

    int32_t mn, mx, pref, gran;
    EXPECT_EQ(asio->getBufferSize(&mn, &mx, &pref, &gran), ASE_HWMalfunction);
    EXPECT_TRUE(traces.has("\xBE\xE4\xB1\xFA\xCE\xDE\xD0\xA7\xA3\xA1\xA3\xA1\xA3\xA1\xA3\xA1\n"));
    EXPECT_EQ(asio->Release(), 0u);
    EXPECT_EQ(halvern::com::canUnloadNow(), S_OK);
}

} // namespace
