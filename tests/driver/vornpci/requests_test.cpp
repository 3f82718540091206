// Device-control requests through the I/O manager: lengths, statuses, Information, the bytes
// returned and what reached the board.
#include "driver_fixture.h"

#include "sim/registers.h"

namespace vornpcitest {
namespace {

using namespace vornpci;
using namespace vorntest;

class RequestsTest : public DriverTest {};

TEST_F(RequestsTest, OpenReplyCarriesModelAndSlotAndLeavesTheRest) {
    Bytes input = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    Bytes output(8, 0xEE);
    ntemu::IoResult result = send(IOCTL_VORNPCI_OPEN, input, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    EXPECT_EQ(output, (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0x70, 0x90, 0x03, 0xA7}));
    EXPECT_TRUE(commands().empty());
}

TEST_F(RequestsTest, DriverVersionTextNeedsInputOfExactlySeven) {
    Bytes output(12, 0x55);
    ntemu::IoResult result = send(IOCTL_VORNPCI_GET_DRIVER, Bytes(7), output);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(output.data()), 7),
              std::string("1.300 \0", 7));
    EXPECT_EQ(output[7], 0x55);

    result = send(IOCTL_VORNPCI_GET_DRIVER, Bytes(12), output);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(RequestsTest, CodesOutsideTheTableAreNotImplemented) {
    for (ULONG code : {0x80812014u, 0x80812034u, 0x80812074u, 0x80812100u, 0x12345678u}) {
        Bytes output(16);
        ntemu::IoResult result = send(code, Bytes(16), output);
        EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED) << std::hex << code;
        EXPECT_EQ(result.information, 0u);
    }
}

TEST_F(RequestsTest, GetTimeReadsTheBoardClockAndChecksItsLength) {
    Bytes output(16, 0xCC);
    ntemu::IoResult result = send(IOCTL_VORNPCI_GET_TIME, Bytes(12), output);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output, Bytes(16, 0xCC));

    result = send(IOCTL_VORNPCI_GET_TIME, Bytes(16), output);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 16u);
    auto time = valueOf<TimeObj>(output);
    EXPECT_EQ(time.dayOfYear, 365);
    EXPECT_EQ(time.hours, 12);
    EXPECT_EQ(time.minutes, 0);
    EXPECT_LT(time.microsInMinute, 1'000'000u);
}

TEST_F(RequestsTest, OutputShorterThanTheAnswerIsRefusedBeforeTheBoard) {
    Bytes shortOutput(8);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_TIME, Bytes(16), shortOutput).status, STATUS_BUFFER_TOO_SMALL);
    Bytes four(4);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_LATITUDE, Bytes(8), four).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(send(IOCTL_VORNPCI_OPEN, Bytes(8), four).status, STATUS_BUFFER_TOO_SMALL);
    Bytes eleven(11);
    EXPECT_EQ(send(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), eleven).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(board().counters().queriesAnswered, 0u);
    EXPECT_EQ(board().enables() & 0x80, 0x80); // untouched since start-up
}

TEST_F(RequestsTest, SetRequestsReturnNothingAndNeedNoOutput) {
    Bytes none;
    HeartObj heart{1, 0xE5, 0x1000, {}};
    EXPECT_EQ(send(IOCTL_VORNPCI_SET_HEARTBEAT, bytesOf(heart), none).status, STATUS_SUCCESS);
    EXPECT_EQ(board().heartbeat().divider, 0x1000);
    LONG delay = -25;
    EXPECT_EQ(send(IOCTL_VORNPCI_SET_PROP_DELAY, bytesOf(delay), none).status, STATUS_SUCCESS);
    Bytes year = {0xD8, 0x07, 0, 0}; // 2008
    EXPECT_EQ(send(IOCTL_VORNPCI_SET_YEAR, year, none).status, STATUS_SUCCESS);
    EXPECT_EQ(board().time().year, 2008);
    EXPECT_EQ(send(IOCTL_VORNPCI_SET_YEAR, Bytes{0xD8, 0x07}, none).status,
              STATUS_INVALID_PARAMETER);
}

// Values the board would throw away without a word (or, for a propagation delay of 5000 and
// more, take with the opposite sign) are refused before any byte reaches it.
TEST_F(RequestsTest, ValuesOutsideTheBoardsRangesAreRefusedWithNothingSent) {
    TimeObj time{};
    time.dayOfYear = 100;
    time.hours = 25;
    TimeObj dayZero{};
    MatchObj match{};
    match.dayOfYear = 100;
    match.microsInMinute = 60'000'000;
    struct Case {
        const char* name;
        ULONG code;
        Bytes input;
    };
    const Case cases[] = {
        {"hours 25", IOCTL_VORNPCI_SET_TIME, bytesOf(time)},
        {"day 0", IOCTL_VORNPCI_SET_TIME, bytesOf(dayZero)},
        {"match 60,000,000 us", IOCTL_VORNPCI_SET_MATCH_TIME, bytesOf(match)},
        {"year 0", IOCTL_VORNPCI_SET_YEAR, Bytes{0, 0, 0, 0}},
        {"year 10000", IOCTL_VORNPCI_SET_YEAR, Bytes{0x10, 0x27, 0, 0}},
        {"delay 5000", IOCTL_VORNPCI_SET_PROP_DELAY, bytesOf(LONG(5000))},
        {"delay 6000", IOCTL_VORNPCI_SET_PROP_DELAY, bytesOf(LONG(6000))},
        {"delay 9999", IOCTL_VORNPCI_SET_PROP_DELAY, bytesOf(LONG(9999))},
        {"delay -5001", IOCTL_VORNPCI_SET_PROP_DELAY, bytesOf(LONG(-5001))},
    };
    for (const Case& c : cases) {
        Bytes none;
        ntemu::IoResult result = send(c.code, c.input, none);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_TRUE(commands().empty()) << c.name;
    }
    EXPECT_EQ(board().propagationDelay(), 0);
    EXPECT_EQ(board().counters().refusedLoads, 0u);
}

TEST_F(RequestsTest, SetTimeSendsAnEntryTheBoardLoads) {
    TimeObj time{};
    time.dayOfYear = 100;
    time.hours = 7;
    time.minutes = 8;
    time.seconds = 9;
    Bytes none;
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_TIME, bytesOf(time), none).status, STATUS_SUCCESS);
    Bytes sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), 0xF0);
    EXPECT_EQ(board().time().dayOfYear(), 100);
    EXPECT_EQ(board().time().hours(), 7);
    EXPECT_EQ(board().counters().refusedLoads, 0u);
}

TEST_F(RequestsTest, SynchronizationControlAnswersEeOrFf) {
    Bytes output(4, 0x11);
    ntemu::IoResult result = send(IOCTL_VORNPCI_SYNCH_CTRL, Bytes{1, 0x22, 0x33, 0x44}, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(output, (Bytes{0xEE, 0x22, 0x33, 0x44}));
    result = send(IOCTL_VORNPCI_SYNCH_CTRL, Bytes{0, 0, 0, 0}, output);
    EXPECT_EQ(output[0], 0xFF);
    EXPECT_EQ(commands(), (Bytes{0x4D, 0x4E}));
    EXPECT_EQ(board().syncMode(), vornsim::SyncMode::Freewheel);

    result = send(IOCTL_VORNPCI_SYNCH_STATUS, Bytes(4), output);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(output[0], 0);
}

TEST_F(RequestsTest, QueriesReturnTheirRecords) {
    board().setGpsScenario(vornsim::GpsScenario::fromDegrees(48.5, -2.25, 123.4, 7));
    Bytes sat = {0x00, 0x77};
    Bytes satOut = sat;
    ntemu::IoResult result = send(IOCTL_VORNPCI_GET_SATINFO, sat, satOut);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(satOut[0], 7);
    EXPECT_EQ(satOut[1], 0x77); // never written

    Bytes firmware(4);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_FIRMWARE, Bytes(4), firmware).status, STATUS_SUCCESS);
    EXPECT_EQ(firmware, (Bytes{'2', '.', '0', '3'}));

    Bytes latitude(8);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_LATITUDE, Bytes(8), latitude).status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<LongLat>(latitude).degrees, 48);
    Bytes longitude(8);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_LONGITUDE, Bytes(8), longitude).status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<LongLat>(longitude).degrees, 182);
    Bytes altitude(4);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_ALTITUDE, Bytes(4), altitude).status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<AltObj>(altitude).altitude, 1234);
    Bytes date(4);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_DATE, Bytes(4), date).status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<DateObj>(date).month, 12);
    EXPECT_EQ(valueOf<DateObj>(date).day, 31);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_DATE, Bytes(8), date).status, STATUS_INVALID_PARAMETER);
}

TEST_F(RequestsTest, BadEchoIsInvalidParameterAndSilenceIsTimeout) {
    Bytes firmware(4, 0x99);
    board().setFaults({.badEcho = true});
    ntemu::IoResult result = send(IOCTL_VORNPCI_GET_FIRMWARE, Bytes(4), firmware);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);

    board().setFaults({.noAnswer = true});
    result = send(IOCTL_VORNPCI_GET_FIRMWARE, Bytes(4), firmware);
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(result.information, 0u);
    // The event source is back on after either failure.
    EXPECT_EQ(board().enables() & 0x80, 0x80);
}

TEST_F(RequestsTest, PeekAndPokeReachOnlyTheRegisterWindow) {
    MemObj fpga{0x04, 0};
    Bytes input = bytesOf(fpga);
    input.resize(8);
    Bytes output(8);
    ntemu::IoResult result = send(IOCTL_VORNPCI_PEEK, input, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    EXPECT_EQ(valueOf<MemObj>(output).value, 0x0107);

    for (USHORT offset : {USHORT(31), USHORT(32), USHORT(0xFFFF)}) {
        MemObj outside{offset, 0x1234};
        Bytes request = bytesOf(outside);
        request.resize(8);
        EXPECT_EQ(send(IOCTL_VORNPCI_PEEK, request, output).status, STATUS_INVALID_PARAMETER);
        Bytes none;
        EXPECT_EQ(send(IOCTL_VORNPCI_POKE, request, none).status, STATUS_INVALID_PARAMETER);
    }
    MemObj last{30, 0};
    Bytes request = bytesOf(last);
    request.resize(8);
    EXPECT_EQ(send(IOCTL_VORNPCI_PEEK, request, output).status, STATUS_SUCCESS);

    MemObj strobe{0x12, 0xFF};
    request = bytesOf(strobe);
    request.resize(8);
    Bytes none;
    EXPECT_EQ(send(IOCTL_VORNPCI_POKE, request, none).status, STATUS_SUCCESS);
    EXPECT_EQ(board().counters().eventsTagged, 1u);
    EXPECT_EQ(send(IOCTL_VORNPCI_POKE, Bytes(4), none).status, STATUS_INVALID_PARAMETER);
}

TEST_F(RequestsTest, ResetAndSimulatedEventTakeAnyLength) {
    Bytes none;
    EXPECT_EQ(send(IOCTL_VORNPCI_SIM_EVENT, Bytes(3), none).status, STATUS_SUCCESS);
    EXPECT_EQ(board().counters().eventsTagged, 1u);
    ntemu::IoResult result = send(IOCTL_VORNPCI_RESET_FIRMWARE, Bytes(), none);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(board().counters().firmwareResets, 1u);
    EXPECT_EQ(commands(), (Bytes{0x4F}));
}

} // namespace
} // namespace vornpcitest
