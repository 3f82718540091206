// vornctl's handling of bad input, help and the output formats.
#include "ctl_fixture.h"

#include "args.h"
#include "commands.h"
#include "report.h"

#include <nlohmann/json.hpp>

#include <sstream>

namespace ctltest {
namespace {

class CtlInputTest : public CtlFixture {};

TEST_F(CtlInputTest, BadCommandLinesAreUsageErrorsThatTouchNoBoard) {
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"frobnicate"},
        {"--verbose", "time"},
        {"--device"},
        {"time", "extra"},
        {"time", "--timeout", "5"},
        {"set-time", "367", "00:00:00"},
        {"set-time", "0", "00:00:00"},
        {"set-time", "10", "24:00:00"},
        {"set-time", "10", "12:60:00"},
        {"set-time", "10", "12:00:60"},
        {"set-time", "10", "12:00"},
        {"set-time", "10", "12:00:1.5"},
        {"set-year", "10000"},
        {"set-year", "0x7E8"},
        {"heartbeat", "abc"},
        {"heartbeat", "-1"},
        {"heartbeat", "nan"},
        {"match", "61", "12:00:60"},
        {"sync", "sometimes"},
        {"prop-delay", "99999999999999999999"},
        {"wait-event", "--timeout", "-1"},
        {"wait-match", "--timeout"},
        {"sim"},
        {"sim", "reference", "maybe"},
        {"sim", "reference", "offset"},
        {"sim", "reference", "offset", "1.5"},
        {"sim", "reference", "offset", "86400000001"},
        {"sim", "reference", "ppm", "1000.5"},
        {"sim", "reference", "ppm", "fast"},
        {"sim", "reference", "lost", "now"},
        {"sim", "gps", "--longitude", "10"},
        {"sim", "gps", "--latitude", "91", "--longitude", "10"},
        {"sim", "gps", "--latitude", "1", "--longitude", "180"},
        {"sim", "gps", "--latitude", "1", "--longitude", "1", "--satellites", "16"},
        {"sim", "event", "--latitude", "1"},
    };
    const vornhost::BoardState before = board();
    for (const auto& line : lines) {
        std::string text;
        for (const auto& arg : line)
            text += arg + ' ';
        const Outcome outcome = run(line);
        EXPECT_EQ(outcome.exit, vornctl::kExitUsage) << text;
        EXPECT_FALSE(outcome.err.empty()) << text;
    }
    const vornhost::BoardState after = board();
    EXPECT_EQ(after.dayOfYear, before.dayOfYear);
    EXPECT_EQ(after.year, before.year);
    EXPECT_EQ(after.propagationDelayMicros, before.propagationDelayMicros);
    EXPECT_FALSE(after.matchArmed);
}

TEST_F(CtlInputTest, ABoardThatCannotBeOpenedExitsWithThree) {
    JsonObject object = json({"--device", "VORNpci7", "time"}, vornctl::kExitNoBoard);
    EXPECT_EQ(object["device"].text, "VORNpci7");
    EXPECT_EQ(object["exit"].text, "3");
    EXPECT_NE(object["error"].text.find("no such device"), std::string::npos);
}

TEST_F(CtlInputTest, UsageErrorsInJsonModeAreStillOneObject) {
    JsonObject object = json({"set-year", "0"}, vornctl::kExitUsage);
    EXPECT_EQ(object["command"].text, "set-year");
    EXPECT_EQ(object["ok"].text, "false");
    EXPECT_NE(object["error"].text.find("1 to 9999"), std::string::npos);
}

TEST_F(CtlInputTest, HelpListsEveryCommandAndTheExitStatuses) {
    const Outcome overall = run({"--help"});
    EXPECT_EQ(overall.exit, vornctl::kExitOk);
    for (const vornctl::Command& command : vornctl::commandTable())
        EXPECT_NE(overall.out.find(std::string("\n  ") + command.name + ' '), std::string::npos)
            << command.name;
    EXPECT_NE(overall.out.find("13 wait timed out, 14 wait not started"), std::string::npos);

    const Outcome before = run({"--help", "match"});
    const Outcome after = run({"match", "--help"});
    EXPECT_EQ(before.exit, vornctl::kExitOk);
    EXPECT_EQ(before.out, after.out);
    EXPECT_NE(before.out.find("match DAY HH:MM:SS[.ffffff] [--stop]"), std::string::npos);
    EXPECT_EQ(run({"--help", "frobnicate"}).exit, vornctl::kExitUsage);
}

TEST(CtlInputArgsTest, NumbersAreCheckedWholeAndWithinTheirRange) {
    std::string error;
    EXPECT_EQ(vornctl::parseInteger("42", 0, 59, "minutes", &error), 42);
    for (const char* text : {"", " 4", "4 ", "4x", "1e2", "60", "-1", "99999999999999999999"})
        EXPECT_FALSE(vornctl::parseInteger(text, 0, 59, "minutes", &error)) << text;
    EXPECT_NE(error.find("minutes"), std::string::npos);
    EXPECT_EQ(vornctl::parseNumber("59.999999", 0, 60, true, "seconds", &error), 59.999999);
    for (const char* text : {"60", "inf", "nan", "-0.1", "1,5"})
        EXPECT_FALSE(vornctl::parseNumber(text, 0, 60, true, "seconds", &error)) << text;
}

TEST(CtlInputArgsTest, OptionsTakeValuesInEitherFormAndDoubleDashEndsThem) {
    const vornctl::OptionSpec accepted{{"--stop"}, {"--timeout"}};
    std::string error;
    auto parsed = vornctl::parseArgs({"--timeout=5", "a", "--stop", "--", "--b"}, accepted, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->values["--timeout"], "5");
    EXPECT_EQ(parsed->flags.count("--stop"), 1u);
    EXPECT_EQ(parsed->positionals, (std::vector<std::string>{"a", "--b"}));
    EXPECT_FALSE(vornctl::parseArgs({"--stop=1"}, accepted, &error));
    EXPECT_FALSE(vornctl::parseArgs({"--timeout"}, accepted, &error));
}

TEST(CtlInputArgsTest, ARepeatedOptionKeepsItsLastValue) {
    std::string error;
    auto parsed =
        vornctl::parseArgs({"--timeout", "1", "--timeout=2"}, {{}, {"--timeout"}}, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->values["--timeout"], "2");
}

TEST(CtlInputReportTest, TextThatIsNotUtf8StillGivesValidJson) {
    vornctl::Report report;
    report.add("device", std::string("VORN\xffpci0"));
    std::ostringstream out;
    vornctl::writeJson(report, out);
    const auto parsed = nlohmann::json::parse(out.str(), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << out.str();
    EXPECT_EQ(parsed["device"], "VORN\xef\xbf\xbdpci0");
}

TEST(CtlInputReportTest, JsonEscapesAndKeepsTheOrderAdded) {
    vornctl::Report report;
    report.add("z_text", std::string("a \"quoted\"\\ line\n\x01"));
    report.add("a_number", int64_t{-5});
    report.add("m_decimal", vornctl::Decimal{1.25, 3});
    report.add("b_flag", false);
    std::ostringstream out;
    vornctl::writeJson(report, out);
    EXPECT_EQ(out.str().find("\"z_text\""), 1u) << "keys stay in the order added";
    auto object = parseJsonObject(out.str());
    ASSERT_TRUE(object) << out.str();
    EXPECT_EQ((*object)["z_text"].text, "a \"quoted\"\\ line\n\x01");
    EXPECT_EQ((*object)["a_number"].text, "-5");
    EXPECT_EQ((*object)["m_decimal"].text, "1.250");
    EXPECT_EQ((*object)["b_flag"].kind, JsonValue::Kind::Bool);
}

} // namespace
} // namespace ctltest
