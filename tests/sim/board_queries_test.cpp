// Board model: query answer frames, the GPS scenario, and the fault modes.
#include "board_fixture.h"

#include <atomic>
#include <thread>

namespace simtest {
namespace {

using namespace vornsim;

class BoardQueriesTest : public BoardFixture {};

TEST_F(BoardQueriesTest, DateAnswerCarriesDateAndAltitude) {
    build(utc(2007, 365, 18));
    GpsScenario g;
    g.altitudeDecimetres = 1'234'567;
    board->setGpsScenario(g);
    EXPECT_EQ(query(cmd::GetDate),
              (Frame{0x5D, 0x5D, 0x31, 0x12, 0x34, 0x56, 0x70, 0x07, 0x20, 0x12}));
    EXPECT_EQ(board->counters().queriesAnswered, 1u);
}

TEST_F(BoardQueriesTest, PositionAndSatelliteAnswers) {
    GpsScenario g;
    g.latitudeDegrees = 195;
    g.latitudeMinutes = 123'456;
    g.longitudeDegrees = 7;
    g.longitudeMinutes = 590'001;
    g.satellites = 11;
    board->setGpsScenario(g);
    EXPECT_EQ(query(cmd::GetLatitude), (Frame{0x5F, 0x5F, 0x01, 0x95, 0x12, 0x34, 0x56, 0, 0, 0}));
    EXPECT_EQ(query(cmd::GetLongitude), (Frame{0x5E, 0x5E, 0x00, 0x07, 0x59, 0x00, 0x01, 0, 0, 0}));
    EXPECT_EQ(query(cmd::GetSatInfo), (Frame{0x5C, 0x5C, 0, 0, 0, 0, 0, 0x0B, 0, 0}));
}

TEST_F(BoardQueriesTest, FirmwareAnswerCarriesTheVersionBytes) {
    const auto& fw = board->config().firmware;
    EXPECT_EQ(query(cmd::GetFirmware), (Frame{0xE9, 0xE9, fw[0], fw[1], fw[2], fw[3], 0, 0, 0, 0}));
}

TEST_F(BoardQueriesTest, BoardWithoutGpsAnswersPositionWithZeros) {
    build(utc(2010, 32), 0x7100);
    board->setGpsScenario(GpsScenario::fromDegrees(45, 90, 100, 8));
    EXPECT_EQ(query(cmd::GetLatitude), (Frame{0x5F, 0x5F, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(query(cmd::GetSatInfo), (Frame{0x5C, 0x5C, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(query(cmd::GetDate), (Frame{0x5D, 0x5D, 0x01, 0, 0, 0, 0, 0x10, 0x20, 0x02}));
}

TEST_F(BoardQueriesTest, GpsScenarioFromDegreesUsesHemisphereCodesAndTenThousandths) {
    GpsScenario g = GpsScenario::fromDegrees(-33.5, -151.25, 58.34, 7);
    EXPECT_EQ(g.latitudeDegrees, 213);
    EXPECT_EQ(g.latitudeMinutes, 300'000u);
    EXPECT_EQ(g.longitudeDegrees, 331);
    EXPECT_EQ(g.longitudeMinutes, 150'000u);
    EXPECT_EQ(g.altitudeDecimetres, 583u);
    EXPECT_EQ(g.satellites, 7);
    // Rounding that reaches 60 minutes carries into the degrees; limits clamp.
    g = GpsScenario::fromDegrees(10.999'999'999, 200, -5, 40);
    EXPECT_EQ(g.latitudeDegrees, 11);
    EXPECT_EQ(g.latitudeMinutes, 0u);
    EXPECT_EQ(g.longitudeDegrees, 180);
    EXPECT_EQ(g.altitudeDecimetres, 0u);
    EXPECT_EQ(g.satellites, 15);
}

TEST_F(BoardQueriesTest, NoAnswerFaultLeavesTheFifoEmpty) {
    board->setFaults({true, false, 0});
    send({cmd::GetDate, cmd::GetFirmware});
    EXPECT_EQ(board->fifoLevel(), 0u);
    EXPECT_TRUE(status() & status::FifoEmpty);
    board->setFaults({});
    EXPECT_EQ(query(cmd::GetSatInfo)[0], cmd::GetSatInfo);
}

TEST_F(BoardQueriesTest, BadEchoFaultSpoilsTheSecondEchoByte) {
    board->setFaults({false, true, 0});
    Frame f = query(cmd::GetLatitude);
    EXPECT_EQ(f[0], cmd::GetLatitude);
    EXPECT_NE(f[1], cmd::GetLatitude);
}

TEST_F(BoardQueriesTest, SlowFifoHidesEachByteForSomeStatusReads) {
    board->setFaults({false, false, 3});
    send({cmd::GetFirmware});
    const auto& fw = board->config().firmware;
    const Frame want{0xE9, 0xE9, fw[0], fw[1], fw[2], fw[3], 0, 0, 0, 0};
    for (size_t byte = 0; byte < want.size(); ++byte) {
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(status() & status::FifoEmpty) << "byte " << byte << " read " << i;
        EXPECT_FALSE(status() & status::FifoEmpty) << byte;
        EXPECT_EQ(rd(reg::Data), want[byte]) << byte;
    }
    EXPECT_EQ(board->counters().fifoUnderflows, 0u);
    // A byte read before it shows is not there yet; a flush that trusts FifoEmpty stops early.
    send({cmd::GetFirmware});
    EXPECT_EQ(rd(reg::Data), 0);
    EXPECT_EQ(board->counters().fifoUnderflows, 1u);
    while (!(status() & status::FifoEmpty))
        rd(reg::Data);
    EXPECT_EQ(board->fifoLevel(), 10u);
}

TEST_F(BoardQueriesTest, EventStormFillsTheFifoAndDropsWholeFrames) {
    board->strobeEvents(5);
    EXPECT_EQ(board->fifoLevel(), 50u);
    board->strobeEvents(100);
    EXPECT_EQ(board->fifoLevel(), 1020u) << "102 frames fit into 1,024 bytes";
    auto c = board->counters();
    EXPECT_EQ(c.droppedFrames, 3u);
    EXPECT_EQ(c.eventsTagged, 105u);
    // An answer that does not fit is dropped too; the FIFO never holds a partial frame.
    send({cmd::GetDate});
    EXPECT_EQ(board->fifoLevel(), 1020u);
    EXPECT_EQ(board->counters().droppedFrames, 4u);
    Frame first = readFrame();
    for (int i = 1; i < 102; ++i)
        EXPECT_EQ(readFrame(), first);
    EXPECT_TRUE(status() & status::FifoEmpty);
}

// The lost-events registers show, for the frame at the FIFO's head, the refused event tags
// before it went in: a reader's difference between two frames places the loss between them.
TEST_F(BoardQueriesTest, LostEventRegistersStampEachFrameWithTheTagsRefusedBeforeIt) {
    auto lost = [&] {
        const uint32_t low = rd(reg::LostEventsLow);
        return (uint32_t(rd(reg::LostEventsHigh)) << 16) | low;
    };
    board->strobeEvents(102 + 70'000); // past the low half's range
    send({cmd::GetDate});              // a refused answer is no lost event
    EXPECT_EQ(lost(), 0u) << "the head frame went in before any loss";
    readFifo(101 * 10 + 5);
    EXPECT_EQ(lost(), 0u) << "the last frame, half read";
    readFifo(5);
    EXPECT_EQ(lost(), 70'000u) << "with the FIFO empty, the count now";
    board->strobeEvents(1);
    board->strobeEvents(103); // 101 more fit, 2 refused
    EXPECT_EQ(lost(), 70'000u);
    readFrame();
    EXPECT_EQ(lost(), 70'000u);
    EXPECT_EQ(board->counters().eventsRefused, 70'002u);
    wr(reg::Command, cmd::ResetFirmware);
    EXPECT_EQ(lost(), 70'002u) << "a firmware reset keeps the count";
}

TEST_F(BoardQueriesTest, ConcurrentGuestsClockAndControlKeepEveryFrameWhole) {
    constexpr int kEvents = 2000;
    send({0xF0, 0xA0, 0xB0, 0xC0, 0xD7, 0xE6}); // heartbeat every 700 us
    wr(reg::Control, 0xE0);
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop)
            clock->advance(50 * kMicro);
    });
    std::thread strobes([&] {
        for (int i = 0; i < kEvents; ++i)
            board->writeRegister(reg::SimEvent, 0xFF);
    });
    std::thread acks([&] {
        while (!stop) {
            board->writeRegister(reg::IntAck, ack::Heartbeat);
            board->readRegister(reg::MicrosLow);
            board->readRegister(reg::Days);
        }
    });
    int frames = 0;
    uint64_t spins = 0;
    while (frames + static_cast<int>(board->counters().droppedFrames) < kEvents &&
           ++spins < 50'000'000) {
        if (status() & status::FifoEmpty)
            continue;
        Frame f = readFrame();
        EXPECT_EQ(f[0], 0);
        EXPECT_EQ(f[1], 0);
        EXPECT_LE(f[2], 3);
        ++frames;
    }
    strobes.join();
    stop = true;
    ticker.join();
    acks.join();
    EXPECT_EQ(frames + board->counters().droppedFrames, static_cast<uint64_t>(kEvents));
    EXPECT_GT(board->counters().heartbeats, 0u);
}

} // namespace
} // namespace simtest
