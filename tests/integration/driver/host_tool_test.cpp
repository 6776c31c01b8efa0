// halvern-asio-host as a separate process against the in-process simulator: registering the
// driver library, finding it through the file registry, and the report it prints.
#include "test_support.h"

#include "halvern/sim/simulator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

using halvern::sim::SimConfig;
using halvern::sim::Simulator;

struct HostRun {
    int exitCode = -1;
    std::string out; // standard output only; the driver's own chatter goes to standard error
};

HostRun run(const std::string& args) {
    HostRun r;
    const std::string command = std::string(HALVERN_ASIO_HOST) + " " + args + " 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        r.out.append(buffer, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool has(const HostRun& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

class HostTool : public ::testing::Test {
protected:
    void startSim(uint32_t model) {
        SimConfig c;
        c.model = model;
        c.runtimeDir = dir.path();
        sim = std::make_unique<Simulator>(c);
        ASSERT_TRUE(sim->start()) << sim->error();
    }
    halvern::test::TempRuntimeDir dir; // also the private registry file the child inherits
    std::unique_ptr<Simulator> sim;
};

TEST_F(HostTool, RegistersListsAndReportsTheWren) {
    startSim(halvern::protocol::kModelWren);
    HostRun none = run("--info");
    EXPECT_EQ(none.exitCode, 2) << "no driver registered yet";

    HostRun reg = run(std::string("--register ") + HALVERN_ASIO_LIBRARY);
    ASSERT_EQ(reg.exitCode, 0) << reg.out;
    HostRun list = run("--list");
    EXPECT_TRUE(has(list, "Halvern Audio")) << list.out;
    EXPECT_TRUE(has(list, "{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}")) << list.out;

    HostRun info = run("--info");
    ASSERT_EQ(info.exitCode, 0) << info.out;
    for (const char* line :
         {"Driver:         Halvern ASIO\n", "Version:        1\n", "Inputs:         12\n",
          "    0  MIC1\n", "   11  IN12\n", "Outputs:        14\n", "   13  OUT14\n",
          "Buffer sizes:   min 256, max 256, preferred 256, granularity 0\n",
          "Sample rate:    48000 Hz\n", "Accepted rates: 48000\n",
          "Latencies:      input 224, output 272 samples\n", "    0  Internal (current)\n"})
        EXPECT_TRUE(has(info, line)) << "missing: " << line << "in:\n" << info.out;

    HostRun json = run("--info --json");
    ASSERT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one object on one line";
    EXPECT_TRUE(has(json, "\"name\":\"Halvern ASIO\""));
    EXPECT_TRUE(has(json, "\"latency\":{\"input\":224,\"output\":272}"));

    HostRun unreg = run(std::string("--unregister ") + HALVERN_ASIO_LIBRARY);
    EXPECT_EQ(unreg.exitCode, 0);
    EXPECT_TRUE(has(run("--list"), "No ASIO driver is registered."));
}

TEST_F(HostTool, ReportsAFailedInit) {
    HostRun info = run(std::string("--driver ") + HALVERN_ASIO_LIBRARY);
    EXPECT_EQ(info.exitCode, 3);
    EXPECT_TRUE(has(info, "Init:           failed: No Halvern audio device is present.\n"))
        << info.out;
    HostRun json = run(std::string("--json --driver ") + HALVERN_ASIO_LIBRARY);
    EXPECT_TRUE(has(json, "\"init\":false")) << json.out;
}

TEST_F(HostTool, ClearErrorsForBadInput) {
    EXPECT_EQ(run("--bogus").exitCode, 1);
    EXPECT_EQ(run("--driver").exitCode, 1);
    EXPECT_EQ(run("--list --register x").exitCode, 1);
    EXPECT_EQ(run("--driver /nonexistent/libX.so").exitCode, 2);
    EXPECT_EQ(run(std::string("--driver ") + HALVERN_ASIO_LIBRARY + " --clsid nonsense").exitCode,
              2);
    // A file that is no library at all.
    EXPECT_EQ(run(std::string("--register ") + __FILE__).exitCode, 2);
    // A registry that takes nothing: no success for a driver no host would find.
    const std::string blocker = dir.path() + "/not-a-folder";
    std::fclose(std::fopen(blocker.c_str(), "w"));
    ::setenv("HALVERN_REGISTRY", (blocker + "/registry.reg").c_str(), 1);
    HostRun refused = run(std::string("--register ") + HALVERN_ASIO_LIBRARY);
    EXPECT_EQ(refused.exitCode, 2) << refused.out;
    EXPECT_FALSE(has(refused, "succeeded"));
}

TEST_F(HostTool, KiteGetsGenericNames) {
    startSim(halvern::protocol::kModelKite);
    HostRun info = run(std::string("--driver ") + HALVERN_ASIO_LIBRARY);
    ASSERT_EQ(info.exitCode, 0) << info.out;
    EXPECT_TRUE(has(info, "Inputs:         4\n    0  IN 1\n")) << info.out;
    EXPECT_TRUE(has(info, "    3  OUT 4\n")) << info.out;
}

} // namespace
