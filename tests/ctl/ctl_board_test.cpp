// vornctl's reading and setting commands against the board model, checked on the board and
// through their JSON output.
#include "ctl_fixture.h"

namespace ctltest {
namespace {

class CtlBoardTest : public CtlFixture {};

TEST_F(CtlBoardTest, StatusShowsTimeDateSyncVersionsAndGpsOnAGpsBoard) {
    JsonObject status = json({"status"});
    EXPECT_EQ(status["command"].text, "status");
    EXPECT_EQ(status["device"].text, "VORNpci0");
    EXPECT_EQ(status["ok"].text, "true");
    EXPECT_EQ(status["model"].text, "0x9070");
    EXPECT_EQ(status["day_of_year"].text, "61");
    EXPECT_EQ(status["time"].text, "12:00:00.000000");
    EXPECT_EQ(status["date"].text, "2024-03-01");
    EXPECT_EQ(status["month"].text, "3");
    EXPECT_EQ(status["synchronized"].text, "false");
    EXPECT_EQ(status["firmware_version"].text, "2.03");
    EXPECT_EQ(status["driver_version"].kind, JsonValue::Kind::String);
    EXPECT_FALSE(status["driver_version"].text.empty());
    for (const char* key : {"altitude_m", "latitude_degrees", "longitude_hemisphere", "satellites"})
        EXPECT_EQ(status.count(key), 1u) << key;
}

TEST_F(CtlBoardTest, StatusOfATimeCodeBoardLeavesOutPositionAndSatellites) {
    start(oneBoard(0x7000));
    const Outcome outcome = run({"status"});
    ASSERT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    EXPECT_NE(outcome.out.find("model: 0x7000\n"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("date: 2024-03-01\n"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("latitude"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("satellites"), std::string::npos) << outcome.out;
}

TEST_F(CtlBoardTest, SetTimeThenTimeReadsTheLoadedTime) {
    ASSERT_EQ(run({"set-time", "100", "08:09:10"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().dayOfYear, 100);
    EXPECT_EQ(board().hours, 8);
    advance(250 * kMilli);
    JsonObject time = json({"time"});
    EXPECT_EQ(time["day_of_year"].text, "100");
    EXPECT_EQ(time["hours"].text, "8");
    EXPECT_EQ(time["minutes"].text, "9");
    // The load lands during the entry's command bytes, a few hundred microseconds in.
    EXPECT_GE(time["seconds"].number(), 10.249);
    EXPECT_LE(time["seconds"].number(), 10.251);
    EXPECT_EQ(time["time"].text.substr(0, 10), "08:09:10.2");
}

TEST_F(CtlBoardTest, SetYearThenDateAndALeapDayInACommonYearIsRefused) {
    ASSERT_EQ(run({"set-year", "2023"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().year, 2023);
    EXPECT_EQ(json({"date"})["year"].text, "2023");
    const Outcome leap = run({"set-time", "366", "00:00:00"});
    EXPECT_EQ(leap.exit, vornctl::kExitFailed);
    EXPECT_NE(leap.err.find("value refused"), std::string::npos) << leap.err;
}

TEST_F(CtlBoardTest, HeartbeatProgrammesTheBoardAndRefusesAFrequencyNoDividerMakes) {
    JsonObject set = json({"heartbeat", "10", "--square", "--next-second"});
    EXPECT_EQ(set["mode"].text, "square");
    EXPECT_EQ(set["start"].text, "next-second");
    EXPECT_EQ(board().heartbeatDivider, 1000);
    EXPECT_TRUE(board().heartbeatSquare);
    EXPECT_FALSE(board().heartbeatImmediately);

    JsonObject refused = json({"heartbeat", "3"}, vornctl::kExitFailed);
    EXPECT_EQ(refused["ok"].text, "false");
    EXPECT_EQ(refused["exit"].text, "4");
    EXPECT_NE(refused["error"].text.find("65535"), std::string::npos);
    EXPECT_EQ(board().heartbeatDivider, 1000) << "a refused frequency changes nothing";

    ASSERT_EQ(run({"heartbeat", "0"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().heartbeatDivider, 0);
}

TEST_F(CtlBoardTest, TimeCodeBoardsTakeOnlyAPulseAtTheNextSecond) {
    start(oneBoard(0x7100));
    EXPECT_EQ(run({"heartbeat", "100", "--square"}).exit, vornctl::kExitFailed);
    EXPECT_EQ(board().heartbeatDivider, 0);
    JsonObject set = json({"heartbeat", "100"});
    EXPECT_EQ(set["start"].text, "next-second");
    EXPECT_EQ(board().heartbeatDivider, 100);
    EXPECT_FALSE(board().heartbeatSquare);
    EXPECT_FALSE(board().heartbeatImmediately);
}

TEST_F(CtlBoardTest, MatchArmsTheBoardWithItsFraction) {
    JsonObject set = json({"match", "61", "12:00:01.5", "--stop"});
    EXPECT_EQ(set["type"].text, "stop");
    const vornhost::BoardState state = board();
    EXPECT_TRUE(state.matchArmed);
    EXPECT_TRUE(state.matchStop);
    EXPECT_EQ(state.matchDayOfYear, 61);
    EXPECT_EQ(state.matchHours, 12);
    EXPECT_EQ(state.matchMicrosInMinute, 1'500'000u);
}

TEST_F(CtlBoardTest, SyncFollowsTheReferenceAndTheModeSet) {
    EXPECT_EQ(json({"sync-status"})["synchronized"].text, "false");
    ASSERT_EQ(run({"sim", "reference", "present"}).exit, vornctl::kExitOk);
    EXPECT_TRUE(board().referencePresent);
    EXPECT_EQ(json({"sync", "synchronize"})["acknowledgement"].text, "0xEE");
    EXPECT_EQ(json({"sync-status"})["synchronized"].text, "true");

    ASSERT_EQ(run({"sim", "reference", "lost"}).exit, vornctl::kExitOk);
    EXPECT_EQ(json({"sync-status"})["synchronized"].text, "false");
    ASSERT_EQ(run({"sim", "reference", "present"}).exit, vornctl::kExitOk);
    EXPECT_EQ(json({"sync", "freewheel"})["acknowledgement"].text, "0xFF");
    EXPECT_TRUE(board().freewheel);
    EXPECT_EQ(json({"sync-status"})["synchronized"].text, "false");
}

TEST_F(CtlBoardTest, ReferenceOffsetAndRateMoveTheLockedBoard) {
    ASSERT_EQ(run({"sim", "reference", "found"}).exit, vornctl::kExitOk);
    ASSERT_EQ(run({"sync", "synchronize"}).exit, vornctl::kExitOk);
    const vornhost::BoardState before = board();
    EXPECT_EQ(json({"sim", "reference", "offset", "1500"})["reference_offset_us"].text, "1500");
    const vornhost::BoardState offset = board();
    EXPECT_EQ(offset.microsInMinute, before.microsInMinute + 1'500);
    EXPECT_EQ(json({"sim", "reference", "ppm", "-12.5"})["reference_ppm"].text, "-12.500");
    advance(10 * kSecond);
    const vornhost::BoardState drifted = board();
    EXPECT_EQ(drifted.microsInMinute, offset.microsInMinute + 10'000'000 - 125);
}

TEST_F(CtlBoardTest, PropDelayTakesNegativeValuesAndRefusesTheOutOfRange) {
    ASSERT_EQ(run({"prop-delay", "-250"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().propagationDelayMicros, -250);
    const Outcome refused = run({"prop-delay", "5000"});
    EXPECT_EQ(refused.exit, vornctl::kExitUsage);
    EXPECT_NE(refused.err.find("-5000 to 4999"), std::string::npos) << refused.err;
    EXPECT_EQ(board().propagationDelayMicros, -250);
}

TEST_F(CtlBoardTest, GpsScenarioReadsBackAsPositionAndSatellites) {
    ASSERT_EQ(run({"sim", "gps", "--latitude", "-33.5", "--longitude=151.25", "--altitude", "42.5",
                   "--satellites", "7"})
                  .exit,
              vornctl::kExitOk);
    JsonObject position = json({"position"});
    EXPECT_EQ(position["latitude_degrees"].text, "33");
    EXPECT_EQ(position["latitude_minutes"].text, "30.0000");
    EXPECT_EQ(position["latitude_hemisphere"].text, "S");
    EXPECT_EQ(position["longitude_degrees"].text, "151");
    EXPECT_EQ(position["longitude_minutes"].text, "15.0000");
    EXPECT_EQ(position["longitude_hemisphere"].text, "E");
    EXPECT_DOUBLE_EQ(position["altitude_m"].number(), 42.5);
    EXPECT_EQ(json({"satellites"})["satellites"].text, "7");
}

TEST_F(CtlBoardTest, AngleMinutesThatRoundUpToSixtyCarryIntoTheDegrees) {
    ASSERT_EQ(run({"sim", "gps", "--latitude", "10.999999999", "--longitude", "-0.5"}).exit,
              vornctl::kExitOk);
    JsonObject position = json({"position"});
    EXPECT_EQ(position["latitude_degrees"].text, "11");
    EXPECT_EQ(position["latitude_minutes"].text, "0.0000");
    EXPECT_EQ(position["longitude_degrees"].text, "0");
    EXPECT_EQ(position["longitude_minutes"].text, "30.0000");
    EXPECT_EQ(position["longitude_hemisphere"].text, "W");
}

TEST_F(CtlBoardTest, VersionsNameFirmwareFpgaAndDriver) {
    JsonObject versions = json({"versions"});
    EXPECT_EQ(versions["firmware_version"].text, "2.03");
    EXPECT_EQ(versions["fpga_version"].kind, JsonValue::Kind::String);
    EXPECT_NE(versions["fpga_version"].text.find('.'), std::string::npos);
    EXPECT_EQ(versions["driver_version"].kind, JsonValue::Kind::String);
}

// The simulated board is found by its model, whatever order the machine lists its cards in.
TEST_F(CtlBoardTest, SimulationReachesTheBoardBehindTheDeviceName) {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 1, 3, 11));
    machine.cards.push_back(vornsim::CardDescription::board(0x7000, 0, 5, 10));
    start(machine);
    EXPECT_EQ(json({"--device", "VORNpci0", "time"})["command"].text, "time");
    ASSERT_EQ(run({"--device", "VORNpci0", "sim", "event", "--count", "3"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board(1).eventsTagged, 3u);
    EXPECT_EQ(board(0).eventsTagged, 0u);
}

TEST_F(CtlBoardTest, SimulationRefusesToGuessBetweenBoardsOfOneModel) {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 4, 10));
    start(machine);
    const Outcome outcome = run({"--device", "VORNpci1", "sim", "event"});
    EXPECT_EQ(outcome.exit, vornctl::kExitFailed);
    EXPECT_NE(outcome.err.find("no such device"), std::string::npos) << outcome.err;
    EXPECT_EQ(board(0).eventsTagged + board(1).eventsTagged, 0u);
}

} // namespace
} // namespace ctltest
