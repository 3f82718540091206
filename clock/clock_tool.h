// vornclock's logic: sets the system clock (UTC) from the board's date and time, through a
// system layer and a board library that tests replace with fakes.
#pragma once

#include "vorn.h"
#include "win32.h"

#include <cstdint>
#include <memory>
#include <ostream>

namespace vornclock {

// The board calls the tool makes, as libvorn gives them.
class BoardLibrary {
public:
    virtual ~BoardLibrary() = default;
    virtual uint8_t open(BoardHandle* handle, const char* deviceName) = 0;
    virtual uint8_t getDate(BoardHandle handle, DateObj* date) = 0;
    virtual uint8_t getTime(BoardHandle handle, TimeObj* time) = 0;
    virtual uint8_t close(BoardHandle handle) = 0;
};

// libvorn itself.
std::unique_ptr<BoardLibrary> makeVornLibrary();

// Exit codes of the tool.
enum ExitCode : int {
    kExitDone = 0,        // also when setting the clock or restoring the privileges failed
    kExitNoPrivilege = 1, // the system-time privilege is unknown
    kExitNoToken = 2,     // the process token could not be opened
    kExitNoAdjust = 3,    // the privilege could not be enabled
    kExitBoardUnread = 4, // the board could not be opened or read, or its date and time
                          // never agreed; the clock is left alone
};

constexpr const char* kDeviceName = "VORNpci0";

// The time the board's records give: seconds and milliseconds truncated toward zero, so that
// 59.9996 s gives 59 s 999 ms and never 60 s. The day of week is left zero.
win32::SYSTEMTIME systemTimeFromBoard(const DateObj& date, const TimeObj& time);

// Runs the tool once, printing its messages to `out`; returns the exit code.
int setClockFromBoard(win32::SystemApi& system, BoardLibrary& board, std::ostream& out);

} // namespace vornclock
