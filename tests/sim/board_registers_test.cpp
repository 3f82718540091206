// Board model: register map, status and control bits, the interrupt line, event time tags.
#include "board_fixture.h"

namespace simtest {
namespace {

using namespace vornsim;

class BoardRegistersTest : public BoardFixture {};

TEST_F(BoardRegistersTest, TimeRegistersShowBcdTimeAndLatchOnTheLowRead) {
    build(utc(2001, 366 - 1, 23, 59, 59 * kSec + 123'456 * kMicro)); // 31 December 2001
    EXPECT_EQ(rd(reg::MicrosLow), 0x3456);
    // The minute and the day roll over between the reads, yet the latched reads agree.
    clock->advance(kSec);
    EXPECT_EQ(rd(reg::MicrosHigh), 0x5912);
    EXPECT_EQ(rd(reg::HoursMinutes), 0x2359);
    EXPECT_EQ(rd(reg::Days), 0x0365);
    // After the Days read the registers are live again.
    EXPECT_EQ(rd(reg::Days), 0x0001);
    EXPECT_EQ(rd(reg::HoursMinutes), 0x0000);
}

TEST_F(BoardRegistersTest, UnknownOffsetsReadZeroAndIgnoreWrites) {
    for (uint32_t offset : {0x06u, 0x10u, 0x12u, 0x18u, 0x1Eu, 0x01u, 0xFFFFu})
        EXPECT_EQ(rd(offset), 0) << offset;
    wr(0x06, 0x1234);
    wr(0x08, 0x1234); // a read-only register
    EXPECT_EQ(board->counters().ignoredWrites, 2u);
    EXPECT_EQ(rd(reg::FpgaVersion), board->config().fpgaVersion);
}

TEST_F(BoardRegistersTest, StatusReadsBackTheEnablesForReadModifyWrite) {
    EXPECT_EQ(status(), status::FifoEmpty);
    wr(reg::Control, 0xE0);
    EXPECT_EQ(status() & control::AllEnables, 0xE0);
    // The driver's event-interrupt switch: status word, bit 0x80 cleared, back to control.
    wr(reg::Control, status() & 0xFF7F);
    EXPECT_EQ(board->enables(), control::MatchIntrEnable | control::HeartIntrEnable);
    wr(reg::Control, status() | 0x80);
    EXPECT_EQ(board->enables(), 0xE0);
    wr(reg::Control, 0);
    EXPECT_EQ(status() & 0xE0, 0);
}

TEST_F(BoardRegistersTest, SimulatedEventIsTaggedWithTheBoardTime) {
    build(utc(2001, 45, 13, 7, 23 * kSec + 456'789 * kMicro));
    wr(reg::SimEvent, 0x00FE); // not the strobe value
    EXPECT_EQ(board->fifoLevel(), 0u);
    wr(reg::SimEvent, kSimEventStrobe);
    Frame f = readFrame();
    EXPECT_EQ(f, (Frame{0, 0, 0x00, 0x45, 0x13, 0x07, 0x23, 0x45, 0x67, 0x89}));
    EXPECT_TRUE(status() & status::FifoEmpty);
    EXPECT_EQ(board->counters().eventsTagged, 1u);
}

TEST_F(BoardRegistersTest, ExternalEventTagsFollowTheClock) {
    build(utc(2001, 300, 9, 15));
    clock->advance(12 * kSec + 5 * kMicro);
    board->strobeEvent();
    clock->advance(kDay + kHour);
    board->strobeEvent();
    EXPECT_EQ(readFrame(), (Frame{0, 0, 0x03, 0x00, 0x09, 0x15, 0x12, 0x00, 0x00, 0x05}));
    EXPECT_EQ(readFrame(), (Frame{0, 0, 0x03, 0x01, 0x10, 0x15, 0x12, 0x00, 0x00, 0x05}));
}

TEST_F(BoardRegistersTest, EventLineFollowsEnableAndFifo) {
    wr(reg::SimEvent, 0xFF);
    EXPECT_FALSE(line.level()) << "event source not enabled";
    wr(reg::Control, control::ExtIntrEnable);
    EXPECT_TRUE(line.level());
    EXPECT_TRUE(board->irqLevel());
    readFifo(9);
    EXPECT_TRUE(line.level()) << "one byte still waits";
    readFifo(1);
    EXPECT_FALSE(line.level());
    // A query answer raises it as well while the event source is on.
    send({cmd::GetFirmware});
    EXPECT_TRUE(line.level());
    wr(reg::Control, 0);
    EXPECT_FALSE(line.level());
}

TEST_F(BoardRegistersTest, HeartbeatAndMatchLinesFollowEnablesAndAcknowledges) {
    build(utc(2001, 100, 12, 30));
    send({0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC0, 0xD1, 0xE2}); // 12:30:01
    send({0xF0, 0xA0, 0xB0, 0xC1, 0xD0, 0xE6});                               // 625 Hz
    clock->advance(2 * kSec);
    uint16_t s = status();
    EXPECT_TRUE(s & status::HeartIntr);
    EXPECT_TRUE(s & status::MatchIntr);
    EXPECT_FALSE(line.level()) << "pending sources are latched but not enabled";

    wr(reg::Control, control::HeartIntrEnable);
    EXPECT_TRUE(line.level());
    wr(reg::IntAck, ack::Heartbeat);
    EXPECT_FALSE(line.level());
    EXPECT_TRUE(status() & status::MatchIntr);

    wr(reg::Control, control::MatchIntrEnable);
    EXPECT_TRUE(line.level());
    wr(reg::IntAck, 0x0001); // acknowledges nothing
    EXPECT_TRUE(line.level());
    wr(reg::IntAck, ack::Match);
    EXPECT_FALSE(line.level());
    EXPECT_FALSE(status() & status::MatchIntr);
    EXPECT_EQ(line.rises(), 2);
}

TEST_F(BoardRegistersTest, LineWiredLateIsDrivenAtOnceAndUnwiredLineIsLeftAlone) {
    FakeIrqLine other;
    wr(reg::Control, control::ExtIntrEnable);
    board->setIrqLine(nullptr);
    board->strobeEvent();
    EXPECT_FALSE(line.level());
    board->setIrqLine(&other);
    EXPECT_TRUE(other.level());
    board->setIrqLine(&line);
    EXPECT_FALSE(other.level()) << "the line given up is left low";
    EXPECT_TRUE(line.level());
}

TEST_F(BoardRegistersTest, DataReadOfEmptyFifoIsCountedAndReadsZero) {
    EXPECT_EQ(rd(reg::Data), 0);
    EXPECT_EQ(board->counters().fifoUnderflows, 1u);
}

TEST_F(BoardRegistersTest, ResetSetsEveryField) {
    board->setReferencePresent(true);
    board->setFaults({true, true, 3});
    board->setGpsScenario(GpsScenario::fromDegrees(10, 20, 30, 4));
    wr(reg::Control, 0xE0);
    send({0xF0, 0x30, 0x21, 0x10, 0x00, 0xE0});       // propagation 100
    send({0xF0, 0xA0, 0xB0, 0xC1, 0xD0, 0xE6, 0x4E}); // heartbeat, freewheel
    board->strobeEvent();
    clock->advance(kSec);
    board->reset();
    EXPECT_EQ(board->enables(), 0);
    EXPECT_EQ(board->fifoLevel(), 0u);
    EXPECT_EQ(board->propagationDelay(), 0);
    EXPECT_EQ(board->heartbeat().divider, 0);
    EXPECT_EQ(board->syncMode(), SyncMode::Synchronize);
    EXPECT_FALSE(board->referencePresent());
    EXPECT_FALSE(board->faults().noAnswer);
    EXPECT_EQ(board->faults().slowFifoReads, 0u);
    EXPECT_EQ(board->gpsScenario().satellites, 0);
    EXPECT_TRUE(board->commandLog().empty());
    EXPECT_EQ(board->counters().commands, 0u);
    EXPECT_EQ(status(), status::FifoEmpty);
    EXPECT_FALSE(line.level());
    // Time of day comes back from the clock: one second and some pauses after the start.
    EXPECT_EQ(board->time().ticksInYear, clock->now());
}

} // namespace
} // namespace simtest
