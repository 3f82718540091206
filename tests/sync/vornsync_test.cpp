// The built vornsync as a program: its command line, a step without CAP_SYS_TIME (removed in
// the child before exec, so the machine's clock cannot change), and a clean stop on SIGTERM.
#include "program.h"

#include <gtest/gtest.h>

namespace {

using synctest::kCapabilityStillHeld;

// No such board exists, so even a step that somehow ran with the capability finds nothing.
constexpr const char* kNoBoard = "VORNnoSuchBoard9";

// vornsync itself.
class Program : public synctest::Program {
public:
    explicit Program(std::vector<std::string> arguments)
        : synctest::Program(VORNSYNC_PATH, std::move(arguments)) {}
};

TEST(VornsyncTest, HelpAndABadRate) {
    Program help({"--help"});
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_NE(help.output.find("--rate HZ"), std::string::npos) << help.output;
    Program badRate({"--sock", "/tmp/x", "--rate", "100"});
    EXPECT_EQ(badRate.exitCode(), 2);
    EXPECT_NE(badRate.output.find("--rate must be"), std::string::npos) << badRate.output;
}

TEST(VornsyncTest, AStepWithoutCapSysTimeExitsOneWithAClearMessage) {
    Program step({"--step", "--device", kNoBoard});
    const int code = step.exitCode();
    if (code == kCapabilityStillHeld)
        GTEST_SKIP() << "CAP_SYS_TIME could not be dropped; the step is not run";
    EXPECT_EQ(code, 1) << step.output;
    EXPECT_NE(step.output.find("lacks CAP_SYS_TIME"), std::string::npos) << step.output;
}

TEST(VornsyncTest, SigtermStopsTheFeedCleanly) {
    Program feed({"--sock", "/tmp/vornsync-test-unused.sock", "--device", kNoBoard});
    ASSERT_TRUE(feed.waitFor("trying again every second")) << feed.output;
    feed.terminate();
    EXPECT_EQ(feed.exitCode(), 0) << feed.output;
}

} // namespace
