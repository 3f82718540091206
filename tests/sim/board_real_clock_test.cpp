// Board model on the real clock: alarms fire on the clock's own thread, and a board can be
// destroyed while they do.
#include "sim/board_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace simtest {
namespace {

using namespace vornsim;

// Waits for a condition with a generous real-time safety bound; true once it holds.
template <typename Condition> bool waitFor(Condition condition) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(BoardRealClockTest, DestroyedWhileItsHeartbeatFires) {
    ntemu::RealClock clock;
    for (int round = 0; round < 20; ++round) {
        auto board = std::make_unique<BoardModel>(clock, BoardConfig{});
        board->writeRegister(reg::Control, control::HeartIntrEnable);
        for (uint8_t b : {0xF0, 0xA0, 0xB0, 0xC0, 0xD1, 0xE6}) // 10 kHz, at once
            board->writeRegister(reg::Command, b);
        ASSERT_TRUE(waitFor([&] { return board->counters().heartbeats > 0; })) << round;
        EXPECT_TRUE(board->readRegister(reg::Status) & status::HeartIntr);
        board.reset();
    }
}

} // namespace
} // namespace simtest
