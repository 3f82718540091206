// The single-shot modes: one sample printed as JSON (--once), and one step of the system clock
// to the board's time (--step).
#pragma once

#include "board_source.h"
#include "leap_seconds.h"

#include <cstdint>
#include <ostream>

namespace vornsync {

enum ExitCode : int {
    kExitDone = 0,
    kExitClockNotSet = 1, // --step: the clock could not be set
    kExitUsage = 2,
    kExitNotSynchronized = 3, // the board runs free and --allow-freewheel was not given
    kExitBoardUnread = 4,
};

// The system clock as a step needs it; tests replace it, so that no test changes the clock.
class SystemClock {
public:
    virtual ~SystemClock() = default;
    // False when this process lacks the right to set the clock (CAP_SYS_TIME).
    virtual bool maySet() = 0;
    // Adds `offsetNanos` to the clock; 0 or the errno of the failure.
    virtual int stepBy(int64_t offsetNanos) = 0;
};

// The real clock. A step is made in the kernel as "add this offset to the clock now"
// (ADJ_SETOFFSET), so the time the call itself takes does not enter the result.
SystemClock& systemClock();

constexpr const char* kNoPrivilegeMessage =
    "vornsync: cannot set the system clock: this process lacks CAP_SYS_TIME (run it as root, "
    "or grant it CAP_SYS_TIME)";

int printOneSample(BoardSource& board, const LeapSecondList& leaps, bool allowFreewheel,
                   std::ostream& out, std::ostream& err);

int stepClock(BoardSource& board, SystemClock& clock, bool allowFreewheel, std::ostream& out,
              std::ostream& err);

} // namespace vornsync
