// Fixture for vornctl's commands: a private in-process host on a virtual clock, a way to run a
// command line and keep its exit status and output, and a small reader for its JSON objects.
#pragma once

#include "cli.h"
#include "one_board.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ctltest {

using vorntest::kMilli;
using vorntest::kSecond;
using vorntest::kStartUtc;
using vorntest::oneBoard;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

// One JSON value as written: strings unquoted and unescaped, everything else as its text.
struct JsonValue {
    enum class Kind { String, Number, Bool, Null } kind = Kind::Null;
    std::string text;
    double number() const { return std::stod(text); }
};
using JsonObject = std::map<std::string, JsonValue>;

// Parses one flat JSON object on one line; nullopt when the text is not exactly that (nested
// values, trailing text and duplicate keys are refused).
std::optional<JsonObject> parseJsonObject(const std::string& text);

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override { start(oneBoard()); }
    void TearDown() override;

    void start(const vornsim::MachineDescription& machine);
    Outcome run(const std::vector<std::string>& args);
    // Runs with --json first and parses the single line it prints.
    JsonObject json(const std::vector<std::string>& args, int expectedExit = 0);
    // Runs a command that blocks in the driver on a thread of its own: once it is pending,
    // moves the virtual clock on by `ticks`.
    Outcome runBlocking(const std::vector<std::string>& args, int64_t ticks);

    vornhost::BoardState board(uint32_t index = 0);
    void advance(int64_t ticks) { m_channel->host().virtualClock()->advance(ticks); }
    vornlib::testing::HostChannel& channel() { return *m_channel; }

private:
    std::shared_ptr<vornlib::testing::HostChannel> m_channel;
};

} // namespace ctltest
