// Board model: the command-byte protocol, entries and loads, and the command log.
#include "board_fixture.h"

namespace simtest {
namespace {

using namespace vornsim;

class BoardCommandsTest : public BoardFixture {};

TEST_F(BoardCommandsTest, TimeEntryLoadsWithSubsecondAtZero) {
    build(utc(2001, 200, 17, 45, 33 * kSec + 777 * kMilli));
    send({0xF0, 0x50, 0x60, 0x71, 0x80, 0x92, 0xA0, 0xB3, 0xC0, 0xD4, 0xE0});
    BoardTime t = board->time();
    EXPECT_EQ(t.year, 2001);
    EXPECT_EQ(t.dayOfYear(), 1);
    EXPECT_EQ(t.hours(), 2);
    EXPECT_EQ(t.minutes(), 3);
    EXPECT_EQ(t.microsInMinute(), 4'000'000u + 100u) << "one 100 us pause after the load";
    clock->advance(1500 * kMilli - 100 * kMicro);
    EXPECT_EQ(rd(reg::MicrosLow), 0x0000);
    EXPECT_EQ(rd(reg::MicrosHigh), 0x0550);
    EXPECT_EQ(rd(reg::HoursMinutes), 0x0203);
    EXPECT_EQ(rd(reg::Days), 0x0001);
}

TEST_F(BoardCommandsTest, AlternateLoadAlsoLoadsTheTime) {
    send({0xF0, 0x53, 0x60, 0x70, 0x82, 0x93, 0xA5, 0xB9, 0xC5, 0xD9, 0x4C});
    BoardTime t = board->time();
    EXPECT_EQ(t.dayOfYear(), 300);
    EXPECT_EQ(t.hours(), 23);
    EXPECT_EQ(t.minutes(), 59);
    EXPECT_EQ(t.microsInMinute() / 1'000'000, 59u);
}

TEST_F(BoardCommandsTest, OutOfRangeOrNonDecimalTimeIsRefusedAndCounted) {
    BoardTime before = board->time();
    send({0xF0, 0x53, 0x66, 0x77, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}); // day 367
    send({0xF0, 0x50, 0x60, 0x71, 0x82, 0x94, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}); // hour 24
    send({0xF0, 0x50, 0x60, 0x71, 0x80, 0x90, 0xAA, 0xB0, 0xC0, 0xD0, 0xE0}); // digit 0xA
    send({0xF0, 0x53, 0x66, 0x76, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}); // 366 in 2001
    auto c = board->counters();
    EXPECT_EQ(c.refusedLoads, 4u);
    EXPECT_EQ(c.badDigits, 1u);
    EXPECT_EQ(board->time().ticksInYear - before.ticksInYear, 44 * 100 * kMicro)
        << "the time ran on untouched";
}

TEST_F(BoardCommandsTest, YearLoadNeedsNoBeginAndKeepsTheTimeOfYear) {
    build(utc(2026, 59, 10, 0));
    send({0x62, 0x70, 0x80, 0x91, 0xEA});
    BoardTime t = board->time();
    EXPECT_EQ(t.year, 2001);
    EXPECT_EQ(t.dayOfYear(), 59);
    EXPECT_EQ(t.hours(), 10);
    Frame date = query(cmd::GetDate);
    EXPECT_EQ(date[7], 0x01);
    EXPECT_EQ(date[8], 0x20);
    EXPECT_EQ(date[9], 0x02);
    EXPECT_EQ(date[2], 0x28);
}

TEST_F(BoardCommandsTest, YearOfDay366IntoACommonYearRollsOn) {
    build(utc(2004, 366, 12));
    send({0x62, 0x70, 0x80, 0x95, 0xEA});
    EXPECT_EQ(board->time().year, 2006);
    EXPECT_EQ(board->time().dayOfYear(), 1);
    send({0x60, 0x70, 0x80, 0x90, 0xEA}); // year 0 is refused
    EXPECT_EQ(board->time().year, 2006);
    EXPECT_EQ(board->counters().refusedLoads, 1u);
}

TEST_F(BoardCommandsTest, PropagationDelayInTensComplement) {
    send({0xF0, 0x30, 0x22, 0x15, 0x00, 0xE0});
    EXPECT_EQ(board->propagationDelay(), 250);
    send({0xF0, 0x39, 0x29, 0x19, 0x09, 0xE0});
    EXPECT_EQ(board->propagationDelay(), -1);
    send({0xF0, 0x35, 0x20, 0x10, 0x00, 0xE0});
    EXPECT_EQ(board->propagationDelay(), -5000);
    send({0xF0, 0x34, 0x29, 0x19, 0x09, 0xE0});
    EXPECT_EQ(board->propagationDelay(), 4999);
    // The alternate load closes time entries only.
    send({0xF0, 0x30, 0x20, 0x11, 0x00, 0x4C});
    EXPECT_EQ(board->propagationDelay(), 4999);
}

TEST_F(BoardCommandsTest, HeartbeatEntryCarriesRawGroupsAndCodes) {
    send({0xF0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE6});
    HeartbeatProgramme h = board->heartbeat();
    EXPECT_EQ(h.divider, 0x1234);
    EXPECT_EQ(h.mode, HeartMode::Pulse);
    EXPECT_EQ(h.start, HeartStart::Immediately);
    send({0xF0, 0xAF, 0xBE, 0xCD, 0xDC, 0xE7});
    h = board->heartbeat();
    EXPECT_EQ(h.divider, 0xFEDC) << "groups are not limited to decimal digits";
    EXPECT_EQ(h.mode, HeartMode::Square);
    EXPECT_EQ(h.start, HeartStart::NextCycle);
    EXPECT_EQ(board->counters().badDigits, 0u);
}

TEST_F(BoardCommandsTest, MatchEntryWithSubsecondBank) {
    send({0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC1, 0xD5, 0xE1, 0x80, 0x90, 0xA0, 0xB0,
          0xC0, 0xD0, 0xE3});
    MatchProgramme m = board->match();
    EXPECT_TRUE(m.armed);
    EXPECT_EQ(m.type, MatchType::Stop);
    EXPECT_EQ(m.time.dayOfYear, 100);
    EXPECT_EQ(m.time.hours, 12);
    EXPECT_EQ(m.time.minutes, 30);
    EXPECT_EQ(m.time.microsInMinute, 15'000'000u);
    // The bank switch sends later positions 0x8 to 0xD to the six sub-second digits only.
    send({0xF0, 0x50, 0x60, 0x71, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD7, 0xE1, 0x81, 0x92, 0xA3, 0xB4,
          0xC5, 0xD6, 0xE2});
    m = board->match();
    EXPECT_EQ(m.type, MatchType::Start);
    EXPECT_EQ(m.time.dayOfYear, 1);
    EXPECT_EQ(m.time.hours, 0);
    EXPECT_EQ(m.time.minutes, 0);
    EXPECT_EQ(m.time.microsInMinute, 7'123'456u);
}

TEST_F(BoardCommandsTest, SynchronizeAndFreewheelCommandsSetTheMode) {
    board->setReferencePresent(true);
    EXPECT_TRUE(status() & status::InSync);
    send({cmd::Freewheel});
    EXPECT_EQ(board->syncMode(), SyncMode::Freewheel);
    EXPECT_FALSE(status() & status::InSync);
    send({cmd::Synchronize});
    EXPECT_TRUE(status() & status::InSync);
    board->setReferencePresent(false);
    EXPECT_FALSE(status() & status::InSync);
    EXPECT_EQ(board->syncMode(), SyncMode::Synchronize);
}

TEST_F(BoardCommandsTest, FirmwareResetClearsProgrammesAndKeepsTime) {
    wr(reg::Control, 0xA0);
    send({0xF0, 0x30, 0x22, 0x15, 0x00, 0xE0, cmd::Freewheel});
    send({0xF0, 0xA0, 0xB0, 0xC1, 0xD0, 0xE6});
    send({0xF0, 0x53, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE2});
    board->strobeEvent();
    BoardTime before = board->time();
    send({cmd::ResetFirmware});
    EXPECT_EQ(board->heartbeat().divider, 0);
    EXPECT_FALSE(board->match().armed);
    EXPECT_EQ(board->propagationDelay(), 0);
    EXPECT_EQ(board->syncMode(), SyncMode::Synchronize);
    EXPECT_EQ(board->fifoLevel(), 0u);
    EXPECT_EQ(board->enables(), 0xA0);
    EXPECT_EQ(board->time().ticksInYear - before.ticksInYear, 100 * kMicro);
    EXPECT_EQ(board->counters().firmwareResets, 1u);
    uint64_t beats = board->counters().heartbeats;
    clock->advance(kSec);
    EXPECT_EQ(board->counters().heartbeats, beats);
}

TEST_F(BoardCommandsTest, UnknownCommandsAreCountedAndChangeNothing) {
    send({0xE4, 0xEB, 0xEF, 0xF1, 0xFF});
    EXPECT_EQ(board->counters().unknownCommands, 5u);
    EXPECT_EQ(board->fifoLevel(), 0u);
    // A load with nothing latched since the entry opened loads nothing.
    BoardTime before = board->time();
    send({0xF0, 0xE0});
    EXPECT_EQ(board->time().ticksInYear - before.ticksInYear, 200 * kMicro);
}

TEST_F(BoardCommandsTest, CommandLogRecordsBytesArrivalAndShortGaps) {
    send({0xF0, 0x62});
    Ticks100ns t0 = clock->now();
    wr(reg::Command, cmd::GetFirmware); // written straight, no pause
    wr(reg::Command, cmd::ResetFirmware);
    clock->advance(99 * kMicro);
    wr(reg::Command, 0x70);
    clock->advance(100 * kMicro);
    wr(reg::Command, 0x80);
    auto log = board->commandLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(board->commandBytes(), (std::vector<uint8_t>{0xF0, 0x62, 0xE9, 0x4F, 0x70, 0x80}));
    EXPECT_EQ(log[0].at, 0);
    EXPECT_EQ(log[1].at, 100 * kMicro);
    EXPECT_EQ(log[2].at, t0);
    EXPECT_EQ(log[4].at, t0 + 99 * kMicro);
    EXPECT_EQ(board->counters().shortCommandGaps, 2u);
    board->clearCommandLog();
    EXPECT_TRUE(board->commandLog().empty());
    EXPECT_EQ(board->counters().commands, 6u);
}

TEST_F(BoardCommandsTest, CommandLogKeepsTheNewestEntriesWhenFull) {
    for (size_t i = 0; i < BoardModel::kCommandLogLimit + 3; ++i)
        wr(reg::Command, static_cast<uint8_t>(i & 0x0F));
    auto bytes = board->commandBytes();
    ASSERT_EQ(bytes.size(), BoardModel::kCommandLogLimit);
    EXPECT_EQ(bytes.front(), 3);
    EXPECT_EQ(board->counters().commandLogDropped, 3u);
}

} // namespace
} // namespace simtest
