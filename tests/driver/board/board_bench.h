// A machine with one GPS timing board on a virtual clock, booted with the kernel layer and the
// HAL, for tests that run board operations from the test thread at PASSIVE_LEVEL.
#pragma once

#include "ntemu/clock.h"
#include "ntemu/hal.h"
#include "ntemu/kernel.h"
#include "one_board.h"
#include "sim/machine.h"

#include <cstdint>
#include <vector>

namespace boardtest {

using vorntest::systemTimeOf;

class BoardBench {
public:
    explicit BoardBench(int64_t systemTime = vorntest::kNewYearsEveNoon, uint16_t model = 0x9070)
        : m_clock(systemTime), m_machine(m_clock, vorntest::oneBoard(model)),
          m_kernel(ntemu::KernelOptions{.clock = &m_clock}), m_hal(m_kernel, m_machine) {
        board().clearCommandLog();
    }

    ntemu::VirtualClock& clock() { return m_clock; }
    vornsim::BoardModel& board() { return *m_machine.board(0); }
    // The board's port base: where the card's register window (its second I/O range) sits.
    ULONG_PTR portBase() { return m_machine.card(0).windowBase(); }
    std::vector<uint8_t> commands() { return board().commandBytes(); }

private:
    ntemu::VirtualClock m_clock;
    vornsim::SimMachine m_machine;
    ntemu::Kernel m_kernel;
    ntemu::Hal m_hal;
};

using Bytes = std::vector<uint8_t>;

} // namespace boardtest
