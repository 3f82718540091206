// A machine with one GPS timing board on a virtual clock, booted with the kernel layer and the
// HAL, for tests that run board operations from the test thread at PASSIVE_LEVEL.
#pragma once

#include "ntemu/clock.h"
#include "ntemu/hal.h"
#include "ntemu/kernel.h"
#include "sim/machine.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace boardtest {

// System time (100 ns units since 1601-01-01, UTC) of a calendar date and time of day.
inline int64_t systemTimeOf(int year, unsigned month, unsigned day, int hours, int minutes,
                            int seconds, int micros = 0) {
    using namespace std::chrono;
    constexpr int64_t kDays1601To1970 = 134'774;
    const sys_days date{std::chrono::year{year} / std::chrono::month{month} /
                        std::chrono::day{day}};
    const int64_t days = date.time_since_epoch().count() + kDays1601To1970;
    const int64_t secondsOfDay = hours * 3600 + minutes * 60 + seconds;
    return (days * 86'400 + secondsOfDay) * ntemu::kSecond + micros * ntemu::kMicrosecond;
}

class BoardBench {
public:
    explicit BoardBench(int64_t systemTime = systemTimeOf(2007, 12, 31, 12, 0, 0),
                        uint16_t model = 0x9070)
        : m_clock(systemTime), m_machine(m_clock, describe(model)),
          m_kernel(ntemu::KernelOptions{.clock = &m_clock}), m_hal(m_kernel, m_machine) {
        board().clearCommandLog();
    }

    ntemu::VirtualClock& clock() { return m_clock; }
    vornsim::BoardModel& board() { return *m_machine.board(0); }
    // The board's port base: where the card's register window (its second I/O range) sits.
    ULONG_PTR portBase() { return m_machine.card(0).windowBase(); }
    std::vector<uint8_t> commands() { return board().commandBytes(); }

private:
    static vornsim::MachineDescription describe(uint16_t model) {
        vornsim::MachineDescription description;
        description.cards.push_back(vornsim::CardDescription::board(model, 0, 3, 11));
        return description;
    }

    ntemu::VirtualClock m_clock;
    vornsim::SimMachine m_machine;
    ntemu::Kernel m_kernel;
    ntemu::Hal m_hal;
};

using Bytes = std::vector<uint8_t>;

} // namespace boardtest
