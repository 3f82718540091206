// The single-shot modes: one sample as JSON, and one step of the system clock.
#include "one_shot.h"

#include "feed.h"
#include "sampler.h"

#include <cstring>

namespace vornsync {

namespace {

// The narrowest of a few reads from a board whose synchronization permits it; on failure the
// exit code, with the reason printed.
int readForOneShot(BoardSource& board, bool allowFreewheel, bool& inSync, Bracket& bracket,
                   std::ostream& err) {
    const uint8_t code = board.synchronized(inSync);
    if (code != 0) {
        err << "vornsync: cannot read the board: " << resultName(code) << std::endl;
        return kExitBoardUnread;
    }
    if (!inSync && !allowFreewheel) {
        err << "vornsync: the board is not synchronized to its reference (--allow-freewheel "
               "uses its free-running time)"
            << std::endl;
        return kExitNotSynchronized;
    }
    Sampler sampler;
    const SampleResult result = sampler.bestRead(board);
    if (!result.taken) {
        err << "vornsync: cannot read the board's time: "
            << (result.reason == NotSent::BoardError ? resultName(result.boardCode)
                                                     : "it gave no valid date and time")
            << std::endl;
        return kExitBoardUnread;
    }
    bracket = result.bracket;
    return kExitDone;
}

std::string signedSeconds(int64_t nanos) {
    return (nanos >= 0 ? "+" : "") + secondsText(nanos);
}

} // namespace

int printOneSample(BoardSource& board, const LeapSecondList& leaps, bool allowFreewheel,
                   std::ostream& out, std::ostream& err) {
    bool inSync = false;
    Bracket bracket;
    if (const int code = readForOneShot(board, allowFreewheel, inSync, bracket, err))
        return code;
    const Sample sample = sampleOf(bracket, leaps);
    out << "{\"system_time_s\":" << secondsText(sample.systemNanos)
        << ",\"offset_s\":" << secondsText(sample.offsetNanos)
        << ",\"error_bound_s\":" << secondsText(sample.errorBoundNanos)
        << ",\"synchronized\":" << (inSync ? "true" : "false") << ",\"leap\":\""
        << leapName(sample.leap) << "\"}" << std::endl;
    return kExitDone;
}

int stepClock(BoardSource& board, SystemClock& clock, bool allowFreewheel, std::ostream& out,
              std::ostream& err) {
    if (!clock.maySet()) {
        err << kNoPrivilegeMessage << std::endl;
        return kExitClockNotSet;
    }
    bool inSync = false;
    Bracket bracket;
    if (const int code = readForOneShot(board, allowFreewheel, inSync, bracket, err))
        return code;
    const int error = clock.stepBy(bracket.offset());
    if (error == EPERM) {
        err << kNoPrivilegeMessage << std::endl;
        return kExitClockNotSet;
    }
    if (error != 0) {
        err << "vornsync: cannot set the system clock: " << std::strerror(error) << std::endl;
        return kExitClockNotSet;
    }
    out << "vornsync: stepped the system clock by " << signedSeconds(bracket.offset())
        << " s (error bound " << secondsText(bracket.errorBound()) << " s)" << std::endl;
    return kExitDone;
}

} // namespace vornsync
