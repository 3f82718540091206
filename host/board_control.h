// Operator control of the simulated boards: checks a simulate command or an inspection against
// the machine and applies it to the board model. Shared by the in-process host and the daemon.
#pragma once

#include "device_channel.h"
#include "sim/machine.h"

namespace vornhost {

// STATUS_SUCCESS, STATUS_NO_SUCH_DEVICE (no board at that index) or STATUS_INVALID_PARAMETER
// (an action or value out of range; the board is left as it was). Any thread.
NTSTATUS applySimCommand(vornsim::SimMachine& machine, const SimCommand& command);

// Fills `state` from board `board`; statuses as applySimCommand. Any thread.
NTSTATUS readBoardState(vornsim::SimMachine& machine, uint32_t board, BoardState* state);

// Largest event count and slow-read count a simulate command accepts.
constexpr uint32_t kMaxStrobeCount = 1000;
// A train of events: up to a million, 1 us to a minute apart.
constexpr uint32_t kMaxTrainCount = 1'000'000;
constexpr uint32_t kMaxTrainIntervalMicros = 60'000'000;
constexpr uint32_t kMaxSlowFifoReads = 1000;

} // namespace vornhost
