// Board operations that only touch registers: time read, start-up, status, raw access.
#include "board_bench.h"
#include "board_ops.h"
#include "board_protocol.h"

#include <gtest/gtest.h>

using vorntest::BoardBench;
using vorntest::Bytes;
using vorntest::systemTimeOf;

// Day 366 of a leap year, 23:59:59.123456: MicrosHigh 0x5912, MicrosLow 0x3456, HoursMinutes
// 0x2359, Days 0x0366.
TEST(RegistersTest, TimeRegistersDecodeAndLeaveTheCallersFields) {
    BoardBench bench(systemTimeOf(2008, 12, 31, 23, 59, 59, 123'456));
    ASSERT_EQ(vornReadRegister(bench.portBase(), MicrosHighPort), 0x5912);
    ASSERT_EQ(vornReadRegister(bench.portBase(), MicrosLowPort), 0x3456);
    ASSERT_EQ(vornReadRegister(bench.portBase(), HoursMinutesPort), 0x2359);
    ASSERT_EQ(vornReadRegister(bench.portBase(), DaysPort), 0x0366);

    vornpci::TimeObj time{};
    time.loadSelect = 0x11;
    time.seconds = 0x22;
    time.year = 0x3333;
    EXPECT_EQ(vornGetTime(bench.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(time.microsInMinute, 59'123'456u);
    EXPECT_EQ(time.hours, 23);
    EXPECT_EQ(time.minutes, 59);
    EXPECT_EQ(time.dayOfYear, 366);
    EXPECT_EQ(time.loadSelect, 0x11);
    EXPECT_EQ(time.seconds, 0x22);
    EXPECT_EQ(time.year, 0x3333);
    EXPECT_TRUE(bench.commands().empty());
}

TEST(RegistersTest, InitializeEmptiesFifoEnablesOnlyEventsAndClearsStaleMatch) {
    BoardBench bench(systemTimeOf(2007, 12, 31, 12, 0, 0));
    vornpci::MatchObj match{};
    match.dayOfYear = 365;
    match.hours = 12;
    match.microsInMinute = 1'000'000;
    ASSERT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    bench.clock().advance(2 * ntemu::kSecond);
    bench.board().strobeEvents(4);
    vornWriteRegister(bench.portBase(), ControlPort, MatchIntrEnable | HeartIntrEnable);
    ASSERT_TRUE(vornReadRegister(bench.portBase(), StatusPort) & MatchIntr);

    EXPECT_EQ(vornInitializeBoard(bench.portBase()), VORN_SUCCESS);
    EXPECT_EQ(bench.board().fifoLevel(), 0u);
    EXPECT_EQ(bench.board().enables(), ExtIntrEnable);
    EXPECT_FALSE(vornReadRegister(bench.portBase(), StatusPort) & MatchIntr);
}

TEST(RegistersTest, FlushAndSimulatedEventWorkOnTheBoardFifo) {
    BoardBench bench;
    EXPECT_EQ(vornSimEvent(bench.portBase()), VORN_SUCCESS);
    EXPECT_EQ(vornSimEvent(bench.portBase()), VORN_SUCCESS);
    EXPECT_EQ(bench.board().fifoLevel(), 20u);
    EXPECT_EQ(bench.board().counters().eventsTagged, 2u);
    EXPECT_EQ(vornFlushFifo(bench.portBase()), VORN_SUCCESS);
    EXPECT_EQ(bench.board().fifoLevel(), 0u);
    EXPECT_TRUE(bench.commands().empty());
}

TEST(RegistersTest, FirmwareResetIsOneCommandWithoutAPause) {
    BoardBench bench;
    const ntemu::Ticks100ns start = bench.clock().now();
    EXPECT_EQ(vornResetFirmware(bench.portBase()), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{CMD_RESET_FIRMWARE}));
    EXPECT_EQ(bench.board().counters().firmwareResets, 1u);
    EXPECT_EQ(bench.clock().now(), start);
}

TEST(RegistersTest, SynchStatusFollowsTheInSyncBit) {
    BoardBench bench;
    UCHAR status = 0x77;
    EXPECT_EQ(vornSynchStatus(bench.portBase(), &status), VORN_SUCCESS);
    EXPECT_EQ(status, 0);
    bench.board().setReferencePresent(true);
    EXPECT_EQ(vornSynchStatus(bench.portBase(), &status), VORN_SUCCESS);
    EXPECT_EQ(status, 1);
}

TEST(RegistersTest, PeekAndPokeReachTheRegisterAtTheOffset) {
    BoardBench bench;
    vornpci::MemObj memory{0x04, 0};
    EXPECT_EQ(vornPeek(bench.portBase(), &memory), VORN_SUCCESS);
    EXPECT_EQ(memory.value, bench.board().config().fpgaVersion);

    memory = {static_cast<uint16_t>(ControlPort), MatchIntrEnable};
    EXPECT_EQ(vornPoke(bench.portBase(), &memory), VORN_SUCCESS);
    EXPECT_EQ(bench.board().enables(), MatchIntrEnable);

    memory = {static_cast<uint16_t>(CommandPort), CMD_FREEWHEEL};
    EXPECT_EQ(vornPoke(bench.portBase(), &memory), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{CMD_FREEWHEEL}));
}
