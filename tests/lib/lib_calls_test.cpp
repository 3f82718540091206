// The library's reading and setting calls against the board model, over each rig.
#include "lib_fixture.h"

#include <cmath>
#include <cstring>

namespace libtest {
namespace {

class LibCallsTest : public LibTest {};

TEST_P(LibCallsTest, TimeIsReadWithItsFraction) {
    TimeObj time{};
    time.year = 1999;
    ASSERT_EQ(VORN_getTime(m_handle, &time), VORN_OK);
    const vornhost::BoardState after = board();
    EXPECT_EQ(time.year, 1999) << "the year is left as passed";
    EXPECT_EQ(time.wholeSeconds, static_cast<uint8_t>(std::floor(time.seconds)));
    EXPECT_LT(time.seconds, 60.0);
    if (virtualTime()) {
        EXPECT_EQ(time.dayOfYear, 61);
        EXPECT_EQ(time.hours, 12);
        EXPECT_EQ(time.minutes, 0);
        EXPECT_DOUBLE_EQ(time.seconds, after.microsInMinute / 1e6);
        advance(12 * kSecond + 345'678 * 10);
        ASSERT_EQ(VORN_getTime(m_handle, &time), VORN_OK);
        EXPECT_DOUBLE_EQ(time.seconds, 12.345678);
        EXPECT_EQ(time.wholeSeconds, 12);
    } else {
        EXPECT_EQ(time.dayOfYear, after.dayOfYear);
    }
}

TEST_P(LibCallsTest, TimeIsSetFromWholeSecondsAndKeepsTheYear) {
    const int32_t year = board().year;
    TimeObj time{};
    time.seconds = 33.9; // not read
    time.wholeSeconds = 56;
    time.minutes = 34;
    time.hours = 12;
    time.dayOfYear = 100;
    time.year = 2001;
    ASSERT_EQ(VORN_setTime(m_handle, &time), VORN_OK);
    const vornhost::BoardState state = board();
    EXPECT_EQ(state.year, year);
    EXPECT_EQ(state.dayOfYear, 100);
    EXPECT_EQ(state.hours, 12);
    EXPECT_EQ(state.minutes, 34);
    EXPECT_GE(state.microsInMinute, 56'000'000u);
    EXPECT_LT(state.microsInMinute, virtualTime() ? 56'100'000u : 58'000'000u);
}

TEST_P(LibCallsTest, TimeOutOfRangeIsRefusedAndNothingIsSent) {
    const vornhost::BoardState before = board();
    const TimeObj good{0, 5, 6, 7, 0, 200, 2001};
    for (auto change :
         {+[](TimeObj& t) { t.wholeSeconds = 60; }, +[](TimeObj& t) { t.minutes = 60; },
          +[](TimeObj& t) { t.hours = 24; }, +[](TimeObj& t) { t.dayOfYear = 0; },
          +[](TimeObj& t) { t.dayOfYear = 367; }}) {
        TimeObj time = good;
        change(time);
        EXPECT_EQ(VORN_setTime(m_handle, &time), VORN_ERR_RANGE);
    }
    EXPECT_EQ(board().dayOfYear, before.dayOfYear);
}

TEST_P(LibCallsTest, DayThreeSixtySixOnlyInALeapYear) {
    uint16_t year = 2023;
    ASSERT_EQ(VORN_setYear(m_handle, &year), VORN_OK);
    TimeObj time{0, 0, 0, 10, 0, 366, 2001};
    EXPECT_EQ(VORN_setTime(m_handle, &time), VORN_ERR_RANGE);
    EXPECT_NE(board().dayOfYear, 366);
    year = 2024;
    ASSERT_EQ(VORN_setYear(m_handle, &year), VORN_OK);
    EXPECT_EQ(VORN_setTime(m_handle, &time), VORN_OK);
    EXPECT_EQ(board().dayOfYear, 366);
}

TEST_P(LibCallsTest, DateAndYear) {
    DateObj date{};
    ASSERT_EQ(VORN_getDate(m_handle, &date), VORN_OK);
    if (virtualTime()) {
        EXPECT_EQ(date.year, 2024);
        EXPECT_EQ(date.month, 3);
        EXPECT_EQ(date.day, 1);
    }
    EXPECT_EQ(date.year, board().year);
    uint16_t year = 2031;
    ASSERT_EQ(VORN_setYear(m_handle, &year), VORN_OK);
    EXPECT_EQ(board().year, 2031);
    ASSERT_EQ(VORN_getDate(m_handle, &date), VORN_OK);
    EXPECT_EQ(date.year, 2031);
    for (uint16_t bad : {0, 10000, 65535}) {
        year = bad;
        EXPECT_EQ(VORN_setYear(m_handle, &year), VORN_ERR_RANGE) << bad;
    }
    EXPECT_EQ(board().year, 2031);
}

vornhost::SimCommand southWestScenario() {
    vornhost::SimCommand gps;
    gps.action = vornhost::SimAction::SetGpsScenario;
    gps.altitudeDecimetres = 1'234'567;
    gps.latitudeDegrees = 195;
    gps.latitudeMinutes = 123'456;
    gps.longitudeDegrees = 7;
    gps.longitudeMinutes = 599'999;
    gps.satellites = 9;
    return gps;
}

TEST_P(LibCallsTest, PositionInMetresAndMinutesOfArc) {
    simulate(southWestScenario());
    AltObj altitude{};
    LongLat latitude{}, longitude{};
    SatObj satellites{0, 0x5A};
    ASSERT_EQ(VORN_getAltitude(m_handle, &altitude), VORN_OK);
    ASSERT_EQ(VORN_getLatitude(m_handle, &latitude), VORN_OK);
    ASSERT_EQ(VORN_getLongitude(m_handle, &longitude), VORN_OK);
    ASSERT_EQ(VORN_getSatInfo(m_handle, &satellites), VORN_OK);
    EXPECT_FLOAT_EQ(altitude.meters, 123456.7f);
    EXPECT_EQ(latitude.degrees, 195);
    EXPECT_FLOAT_EQ(latitude.minutes, 12.3456f);
    EXPECT_EQ(longitude.degrees, 7);
    EXPECT_FLOAT_EQ(longitude.minutes, 59.9999f);
    EXPECT_EQ(satellites.satellites, 9);
    EXPECT_EQ(satellites.reserved, 0x5A);
}

TEST_P(LibCallsTest, ABadEchoFailsTheQueryAndLeavesTheRecord) {
    vornhost::SimCommand faults;
    faults.action = vornhost::SimAction::SetFaults;
    faults.faultBadEcho = true;
    simulate(faults);
    DateObj date{7, 7, 7};
    LongLat latitude{1, 2, 3.0f};
    EXPECT_EQ(VORN_getDate(m_handle, &date), VORN_ERR_DEVICE);
    EXPECT_EQ(VORN_getLatitude(m_handle, &latitude), VORN_ERR_DEVICE);
    EXPECT_EQ(date.year, 7);
    EXPECT_EQ(latitude.minutes, 3.0f);
    uint8_t firmware[10] = {9, 9, 9, 9, 9};
    EXPECT_EQ(VORN_getFirmware(m_handle, firmware), VORN_ERR_DEVICE);
    EXPECT_EQ(firmware[0], 0) << "an empty version";
}

TEST_P(LibCallsTest, Versions) {
    uint8_t firmware[10];
    std::memset(firmware, 0xAA, sizeof(firmware));
    ASSERT_EQ(VORN_getFirmware(m_handle, firmware), VORN_OK);
    const uint8_t expectedFirmware[6] = {'2', '.', '0', '3', 0, 0xAA};
    EXPECT_EQ(std::memcmp(firmware, expectedFirmware, 6), 0);

    uint8_t fpga[10];
    std::memset(fpga, 0xAA, sizeof(fpga));
    ASSERT_EQ(VORN_getFPGA(m_handle, fpga), VORN_OK);
    const uint8_t expectedFpga[6] = {0x01, 0x07, 0, 0, 0, 0xAA};
    EXPECT_EQ(std::memcmp(fpga, expectedFpga, 6), 0);

    char driver[12];
    std::memset(driver, 'x', sizeof(driver));
    ASSERT_EQ(VORN_getDriver(m_handle, driver), VORN_OK);
    EXPECT_STREQ(driver, "1.300 ");
}

TEST_P(LibCallsTest, HeartbeatFrequencyBecomesTheBoardsDivider) {
    HeartObj heart{1, 0xE5, 0, {}, 1.0};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    vornhost::BoardState state = board();
    EXPECT_EQ(state.heartbeatDivider, 10000);
    EXPECT_FALSE(state.heartbeatSquare);
    EXPECT_TRUE(state.heartbeatImmediately);

    heart = {0, 0xE7, 0, {}, 2.5};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    state = board();
    EXPECT_EQ(state.heartbeatDivider, 4000);
    EXPECT_TRUE(state.heartbeatSquare);
    EXPECT_FALSE(state.heartbeatImmediately);

    heart = {1, 0xE5, 0, {}, 0.0};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    EXPECT_EQ(board().heartbeatDivider, 0) << "frequency 0 stops the heartbeat";
}

TEST_P(LibCallsTest, HeartbeatTheBoardCannotProduceIsRefused) {
    HeartObj heart{1, 0xE5, 0, {}, 100.0};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    for (double frequency : {3.0, 0.1, 20000.0, -1.0, std::nan("")}) {
        heart.frequency = frequency;
        EXPECT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_ERR_RANGE) << frequency;
    }
    heart = {2, 0xE5, 0, {}, 1.0};
    EXPECT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_ERR_RANGE);
    heart = {0, 0xE6, 0, {}, 1.0};
    EXPECT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_ERR_RANGE);
    EXPECT_EQ(board().heartbeatDivider, 100);
}

TEST_P(LibCallsTest, OlderModelsHeartbeatModeFourIsAPulseAtTheNextSecond) {
    restart(oneBoard(0x7000));
    ASSERT_EQ(VORN_open(&m_handle, "VORNpci0"), VORN_OK);
    ASSERT_EQ(m_handle->modelCode, 0x7000);
    HeartObj heart{0, 4, 0, {}, 10.0};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    const vornhost::BoardState state = board();
    EXPECT_EQ(state.heartbeatDivider, 1000);
    EXPECT_FALSE(state.heartbeatSquare);
    EXPECT_FALSE(state.heartbeatImmediately);
}

TEST_P(LibCallsTest, MatchTimeSecondsRoundToTheMicrosecond) {
    MatchObj match{};
    match.type = 1;
    match.seconds = 15.0000006;
    match.minutes = 30;
    match.hours = 12;
    match.dayOfYear = 100;
    ASSERT_EQ(VORN_setMatchTime(m_handle, &match), VORN_OK);
    const vornhost::BoardState state = board();
    EXPECT_TRUE(state.matchArmed);
    EXPECT_TRUE(state.matchStop);
    EXPECT_EQ(state.matchDayOfYear, 100);
    EXPECT_EQ(state.matchHours, 12);
    EXPECT_EQ(state.matchMinutes, 30);
    EXPECT_EQ(state.matchMicrosInMinute, 15'000'001u);
}

TEST_P(LibCallsTest, MatchTimeOutOfRangeIsRefused) {
    const MatchObj good{0, {}, 1.0, 0, 0, 1, {}};
    for (auto change :
         {+[](MatchObj& m) { m.seconds = -0.001; }, +[](MatchObj& m) { m.seconds = 59.9999996; },
          +[](MatchObj& m) { m.seconds = std::nan(""); }, +[](MatchObj& m) { m.type = 2; },
          +[](MatchObj& m) { m.hours = 24; }, +[](MatchObj& m) { m.dayOfYear = 0; }}) {
        MatchObj match = good;
        change(match);
        EXPECT_EQ(VORN_setMatchTime(m_handle, &match), VORN_ERR_RANGE);
    }
    EXPECT_FALSE(board().matchArmed);
}

TEST_P(LibCallsTest, SynchronizationControlAndStatus) {
    vornhost::SimCommand reference;
    reference.action = vornhost::SimAction::SetReference;
    reference.referencePresent = true;
    simulate(reference);
    uint8_t control = 1;
    ASSERT_EQ(VORN_synchControl(m_handle, &control), VORN_OK);
    EXPECT_EQ(control, 0xEE);
    uint8_t status = 7;
    ASSERT_EQ(VORN_synchStatus(m_handle, &status), VORN_OK);
    EXPECT_EQ(status, 1);
    control = 0;
    ASSERT_EQ(VORN_synchControl(m_handle, &control), VORN_OK);
    EXPECT_EQ(control, 0xFF);
    EXPECT_TRUE(board().freewheel);
    ASSERT_EQ(VORN_synchStatus(m_handle, &status), VORN_OK);
    EXPECT_EQ(status, 0);
}

TEST_P(LibCallsTest, PropagationDelayWithinTheBoardsDigits) {
    for (int32_t delay : {250, -1, -5000, 4999}) {
        int32_t value = delay;
        ASSERT_EQ(VORN_setPropDelayCorr(m_handle, &value), VORN_OK) << delay;
        EXPECT_EQ(board().propagationDelayMicros, delay);
    }
    for (int32_t delay : {5000, -5001, 9999, -9999}) {
        int32_t value = delay;
        EXPECT_EQ(VORN_setPropDelayCorr(m_handle, &value), VORN_ERR_RANGE) << delay;
    }
    EXPECT_EQ(board().propagationDelayMicros, 4999);
}

TEST_P(LibCallsTest, NullRecordsAreRefused) {
    EXPECT_EQ(VORN_getTime(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_setTime(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_getDate(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_setYear(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_getAltitude(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_getLongitude(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_getSatInfo(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_getDriver(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_setHeartbeat(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_setMatchTime(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_synchControl(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_synchStatus(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_setPropDelayCorr(m_handle, nullptr), VORN_ERR_ARGUMENT);
}

INSTANTIATE_TEST_SUITE_P(Rigs, LibCallsTest, ::testing::ValuesIn(rigKinds()), rigName);

} // namespace
} // namespace libtest
