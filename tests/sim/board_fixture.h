// Test fixture for the board model: a virtual clock started at a chosen UTC instant, a fake
// interrupt line, and helpers that drive the board through its registers only.
#pragma once

#include "sim/board_model.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

namespace simtest {

using ntemu::Ticks100ns;
using vornsim::BoardModel;

constexpr Ticks100ns kMicro = 10;
constexpr Ticks100ns kMilli = 10'000;
constexpr Ticks100ns kSec = 10'000'000;
constexpr Ticks100ns kMin = 60 * kSec;
constexpr Ticks100ns kHour = 60 * kMin;
constexpr Ticks100ns kDay = 24 * kHour;

// Written apart from the model's own calendar so that the two check each other.
inline bool leap(int y) {
    return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0);
}

// UTC as 100 ns units since 1601-01-01.
inline int64_t utc(int year, int dayOfYear, int hours = 0, int minutes = 0, Ticks100ns extra = 0) {
    int64_t days = 0;
    for (int y = 1601; y < year; ++y)
        days += leap(y) ? 366 : 365;
    days += dayOfYear - 1;
    return days * kDay + hours * kHour + minutes * kMin + extra;
}

class FakeIrqLine : public ntemu::bus::IrqLine {
public:
    void setLevel(bool asserted) override {
        std::lock_guard lock(m_mutex);
        if (asserted && !m_level)
            ++m_rises;
        m_level = asserted;
    }
    bool level() const {
        std::lock_guard lock(m_mutex);
        return m_level;
    }
    int rises() const {
        std::lock_guard lock(m_mutex);
        return m_rises;
    }

private:
    mutable std::mutex m_mutex;
    bool m_level = false;
    int m_rises = 0;
};

using Frame = std::array<uint8_t, 10>;

class BoardFixture : public testing::Test {
protected:
    void SetUp() override { build(utc(2001, 1)); }

    void build(int64_t startUtc, uint16_t model = 0x9070) {
        board.reset();
        clock = std::make_unique<ntemu::VirtualClock>(startUtc);
        vornsim::BoardConfig config;
        config.model = model;
        board = std::make_unique<BoardModel>(*clock, config);
        board->setIrqLine(&line);
    }

    uint16_t rd(uint32_t offset) { return board->readRegister(offset); }
    void wr(uint32_t offset, uint16_t value) { board->writeRegister(offset, value); }
    uint16_t status() { return rd(vornsim::reg::Status); }

    // Command bytes as a driver sends them: each followed by a 100 us pause.
    void send(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) {
            wr(vornsim::reg::Command, b);
            clock->advance(100 * kMicro);
        }
    }

    // Reads n FIFO bytes, polling the status as a driver does, with a bound on the polls.
    std::vector<uint8_t> readFifo(size_t n, int pollLimit = 1000) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < n; ++i) {
            int polls = 0;
            while (status() & vornsim::status::FifoEmpty) {
                if (++polls > pollLimit) {
                    ADD_FAILURE() << "FIFO stayed empty before byte " << i;
                    return bytes;
                }
            }
            bytes.push_back(static_cast<uint8_t>(rd(vornsim::reg::Data)));
        }
        return bytes;
    }

    Frame readFrame() {
        Frame f{};
        auto bytes = readFifo(10);
        std::copy(bytes.begin(), bytes.end(), f.begin());
        return f;
    }

    Frame query(uint8_t q) {
        send({q});
        return readFrame();
    }

    std::unique_ptr<ntemu::VirtualClock> clock;
    FakeIrqLine line;
    std::unique_ptr<BoardModel> board;
};

} // namespace simtest
