// Fixture for vornctl's commands over a private in-process host on the virtual clock: a way to
// run a command line and keep its exit status and output, and a small reader for its JSON
// objects.
#pragma once

#include "cli.h"
#include "host_rig.h"

#include <gtest/gtest.h>

#include <map>
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

class CtlFixture : public vorntest::PrivateHostTest {
protected:
    void SetUp() override { start(oneBoard()); }

    Outcome run(const std::vector<std::string>& args);
    // Runs with --json first and parses the single line it prints.
    JsonObject json(const std::vector<std::string>& args, int expectedExit = 0);
    // Runs a command that blocks in the driver on a thread of its own: once it is pending,
    // moves the virtual clock on by `ticks`.
    Outcome runBlocking(const std::vector<std::string>& args, int64_t ticks);

    vornlib::testing::HostChannel& channel() {
        return static_cast<vorntest::InProcessRig&>(rig()).channel();
    }
};

} // namespace ctltest
