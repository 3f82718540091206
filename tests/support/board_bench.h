// The lowest layer of the test machines: one timing board on a virtual clock, booted with the
// kernel layer and the HAL, for tests that run board operations from the test thread at
// PASSIVE_LEVEL.
#pragma once

#include "ntemu/clock.h"
#include "ntemu/hal.h"
#include "ntemu/kernel.h"
#include "one_board.h"
#include "sim/machine.h"

#include <cstdint>
#include <vector>

namespace vorntest {

using Bytes = std::vector<uint8_t>;

class BoardBench {
public:
    explicit BoardBench(int64_t systemTime = kNewYearsEveNoon, uint16_t model = 0x9070)
        : m_clock(systemTime), m_machine(m_clock, oneBoard(model)),
          m_kernel(ntemu::KernelOptions{.clock = &m_clock}), m_hal(m_kernel, m_machine) {
        board().clearCommandLog();
    }

    ntemu::VirtualClock& clock() { return m_clock; }
    vornsim::BoardModel& board() { return *m_machine.board(0); }
    // The board's port base: where the card's register window (its second I/O range) sits.
    ULONG_PTR portBase() { return m_machine.card(0).windowBase(); }
    Bytes commands() { return board().commandBytes(); }

private:
    ntemu::VirtualClock m_clock;
    vornsim::SimMachine m_machine;
    ntemu::Kernel m_kernel;
    ntemu::Hal m_hal;
};

} // namespace vorntest
