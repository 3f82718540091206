// Board queries: decoding of the answers, the FIFO exchange around them and its failures.
#include "board_bench.h"
#include "board_ops.h"
#include "board_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

using vorntest::BoardBench;
using vorntest::Bytes;
using vorntest::systemTimeOf;

namespace {

vornsim::GpsScenario scenario() {
    vornsim::GpsScenario gps;
    gps.altitudeDecimetres = 1'234'567;
    gps.latitudeDegrees = 195;
    gps.latitudeMinutes = 123'456;
    gps.longitudeDegrees = 5;
    gps.longitudeMinutes = 300'007;
    gps.satellites = 9;
    return gps;
}

} // namespace

TEST(QueriesTest, DateAnswerDecodesToYearMonthAndDay) {
    BoardBench bench(systemTimeOf(2007, 12, 31, 12, 0, 0));
    vornpci::DateObj date{};
    EXPECT_EQ(vornGetDate(bench.portBase(), &date), VORN_SUCCESS);
    EXPECT_EQ(date.year, 2007);
    EXPECT_EQ(date.month, 12);
    EXPECT_EQ(date.day, 31);

    // The altitude travels in the same answer, yet each read sends its own query.
    vornpci::AltObj altitude{};
    EXPECT_EQ(vornGetAltitude(bench.portBase(), &altitude), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{CMD_GET_DATE, CMD_GET_DATE}));
    EXPECT_EQ(bench.board().counters().queriesAnswered, 2u);
}

TEST(QueriesTest, PositionAltitudeAndSatellitesDecodeFromTheirDigits) {
    BoardBench bench;
    bench.board().setGpsScenario(scenario());

    vornpci::LongLat latitude{};
    EXPECT_EQ(vornGetLatitude(bench.portBase(), &latitude), VORN_SUCCESS);
    EXPECT_EQ(latitude.degrees, 195);
    EXPECT_EQ(latitude.arcMinutes, 123'456u);

    vornpci::LongLat longitude{};
    EXPECT_EQ(vornGetLongitude(bench.portBase(), &longitude), VORN_SUCCESS);
    EXPECT_EQ(longitude.degrees, 5);
    EXPECT_EQ(longitude.arcMinutes, 300'007u);

    vornpci::AltObj altitude{};
    EXPECT_EQ(vornGetAltitude(bench.portBase(), &altitude), VORN_SUCCESS);
    EXPECT_EQ(altitude.altitude, 1'234'567);

    vornpci::SatObj satellites{0, 0xA5};
    EXPECT_EQ(vornGetSatInfo(bench.portBase(), &satellites), VORN_SUCCESS);
    EXPECT_EQ(satellites.satellites, 9);
    EXPECT_EQ(satellites.unused1, 0xA5);

    EXPECT_EQ(bench.commands(),
              (Bytes{CMD_GET_LATITUDE, CMD_GET_LONGITUDE, CMD_GET_DATE, CMD_GET_SATINFO}));
}

// The firmware query is written without the command pause, so it costs no board time.
TEST(QueriesTest, FirmwareBytesComeRawWithoutAPause) {
    BoardBench bench;
    const ntemu::Ticks100ns start = bench.clock().now();
    UCHAR version[4] = {};
    EXPECT_EQ(vornGetFirmware(bench.portBase(), version), VORN_SUCCESS);
    EXPECT_EQ(std::memcmp(version, "2.03", 4), 0);
    EXPECT_EQ(bench.clock().now(), start);
    EXPECT_EQ(bench.commands(), (Bytes{CMD_GET_FIRMWARE}));
}

// Tags waiting in the FIFO would be read as the answer; the query drops them before sending.
TEST(QueriesTest, QueryDiscardsEventTagsWaitingInTheFifo) {
    BoardBench bench(systemTimeOf(2007, 12, 31, 12, 0, 0));
    bench.board().strobeEvents(3);
    ASSERT_EQ(bench.board().fifoLevel(), 30u);
    vornpci::DateObj date{};
    EXPECT_EQ(vornGetDate(bench.portBase(), &date), VORN_SUCCESS);
    EXPECT_EQ(date.year, 2007);
    EXPECT_EQ(date.day, 31);
    EXPECT_EQ(bench.board().fifoLevel(), 0u);
}

// Whatever the event interrupt was before, a query leaves it on and the other enables alone.
TEST(QueriesTest, EventInterruptIsOnAfterEveryQuery) {
    BoardBench bench;
    vornWriteRegister(bench.portBase(), ControlPort, HeartIntrEnable);
    vornpci::SatObj satellites{};
    EXPECT_EQ(vornGetSatInfo(bench.portBase(), &satellites), VORN_SUCCESS);
    EXPECT_EQ(bench.board().enables(), ExtIntrEnable | HeartIntrEnable);

    vornWriteRegister(bench.portBase(), ControlPort, 0);
    UCHAR version[4];
    EXPECT_EQ(vornGetFirmware(bench.portBase(), version), VORN_SUCCESS);
    EXPECT_EQ(bench.board().enables(), ExtIntrEnable);
}

TEST(QueriesTest, BadEchoFailsAndLeavesTheRecord) {
    BoardBench bench;
    bench.board().setGpsScenario(scenario());
    bench.board().setFaults({.badEcho = true});
    vornWriteRegister(bench.portBase(), ControlPort, 0);

    vornpci::DateObj date{0x1111, 0x22, 0x33};
    EXPECT_EQ(vornGetDate(bench.portBase(), &date), VORN_BAD_ECHO);
    EXPECT_EQ(date.year, 0x1111);
    EXPECT_EQ(date.month, 0x22);
    EXPECT_EQ(date.day, 0x33);
    EXPECT_EQ(bench.board().enables(), ExtIntrEnable);

    vornpci::LongLat latitude{77, {0, 0}, 88};
    EXPECT_EQ(vornGetLatitude(bench.portBase(), &latitude), VORN_BAD_ECHO);
    EXPECT_EQ(latitude.degrees, 77);
    EXPECT_EQ(latitude.arcMinutes, 88u);

    UCHAR version[4] = {1, 2, 3, 4};
    EXPECT_EQ(vornGetFirmware(bench.portBase(), version), VORN_BAD_ECHO);
    EXPECT_EQ(version[0], 1);
    EXPECT_EQ(version[3], 4);
}

// A board that never answers holds the request only until the answer bound has passed on the
// virtual clock; the record is untouched and the event interrupt back on.
TEST(QueriesTest, UnansweredQueryEndsAtTheBoundWithNoAnswer) {
    BoardBench bench;
    bench.board().setFaults({.noAnswer = true});
    vornWriteRegister(bench.portBase(), ControlPort, 0);

    const ntemu::Ticks100ns start = bench.clock().now();
    vornpci::SatObj satellites{0x5A, 0x5A};
    EXPECT_EQ(vornGetSatInfo(bench.portBase(), &satellites), VORN_NO_ANSWER);
    const ntemu::Ticks100ns waited = bench.clock().now() - start;
    EXPECT_GE(waited, VORN_FIFO_ANSWER_BOUND);
    EXPECT_LT(waited, VORN_FIFO_ANSWER_BOUND + 3 * VORN_FIFO_POLL_INTERVAL);
    EXPECT_EQ(satellites.satellites, 0x5A);
    EXPECT_EQ(bench.board().enables(), ExtIntrEnable);

    UCHAR version[4] = {9, 9, 9, 9};
    EXPECT_EQ(vornGetFirmware(bench.portBase(), version), VORN_NO_ANSWER);
    EXPECT_EQ(version[0], 9);
    EXPECT_EQ(vornResultToStatus(VORN_NO_ANSWER), STATUS_IO_TIMEOUT);
}

// The bound holds for each byte, so a board slow with every byte still gets its answer through.
TEST(QueriesTest, SlowFifoAnswerIsStillRead) {
    BoardBench bench(systemTimeOf(2007, 12, 31, 12, 0, 0));
    bench.board().setFaults({.slowFifoReads = 500});
    const ntemu::Ticks100ns start = bench.clock().now();
    vornpci::DateObj date{};
    EXPECT_EQ(vornGetDate(bench.portBase(), &date), VORN_SUCCESS);
    EXPECT_GT(bench.clock().now() - start, VORN_FIFO_ANSWER_BOUND);
    EXPECT_EQ(date.year, 2007);
    EXPECT_EQ(date.month, 12);
    EXPECT_EQ(date.day, 31);
}
