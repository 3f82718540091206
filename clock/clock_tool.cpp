// vornclock's steps: enable the system-time privilege, read the board's date then time, set
// the clock, drop the privileges, close the board.
#include "clock_tool.h"

#include <cmath>

namespace vornclock {

namespace {

using namespace win32;

// The privilege request: one entry, its buffer length given as 64 bytes.
constexpr DWORD kPrivilegeBufferLength = 64;

// Reads the date and then the time; false, with a message, when the board cannot be opened or
// either record is not filled.
bool readBoard(BoardLibrary& board, BoardHandle* handle, SYSTEMTIME* result, std::ostream& out) {
    if (board.open(handle, kDeviceName) != VORN_OK || *handle == nullptr) {
        *handle = nullptr;
        out << "Cannot open the board " << kDeviceName << "!!\n";
        return false;
    }
    DateObj date{};
    TimeObj time{};
    if (board.getDate(*handle, &date) != VORN_OK || board.getTime(*handle, &time) != VORN_OK) {
        out << "Cannot read the board's date and time!!\n";
        return false;
    }
    *result = systemTimeFromBoard(date, time);
    return true;
}

} // namespace

SYSTEMTIME systemTimeFromBoard(const DateObj& date, const TimeObj& time) {
    SYSTEMTIME result{};
    result.wYear = date.year;
    result.wMonth = date.month;
    result.wDay = date.day;
    result.wHour = time.hours;
    result.wMinute = time.minutes;
    // A reading outside 0..60 s is no second of a minute: it is kept out of range (60) so that
    // the clock refuses it instead of wrapping it into one.
    if (!(time.seconds >= 0.0 && time.seconds < 60.0)) {
        result.wSecond = 60;
        return result;
    }
    const double whole = std::trunc(time.seconds);
    result.wSecond = static_cast<WORD>(whole);
    result.wMilliseconds = static_cast<WORD>(std::trunc((time.seconds - whole) * 1000.0));
    return result;
}

int setClockFromBoard(SystemApi& system, BoardLibrary& board, std::ostream& out) {
    TOKEN_PRIVILEGES privileges{};
    if (system.LookupPrivilegeValueA(nullptr, SE_SYSTEMTIME_NAME,
                                     &privileges.Privileges[0].Luid) != TRUE) {
        out << "Do not have the proper privileges to set time!!\n";
        return kExitNoPrivilege;
    }
    HANDLE token = nullptr;
    if (system.OpenProcessToken(system.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) !=
        TRUE) {
        out << "Cannot open process token!!\n";
        return kExitNoToken;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (system.AdjustTokenPrivileges(token, FALSE, &privileges, kPrivilegeBufferLength, nullptr,
                                     nullptr) != TRUE) {
        out << "Cannot adjust token privileges!!\n";
        system.CloseHandle(token);
        return kExitNoAdjust;
    }

    BoardHandle handle = nullptr;
    SYSTEMTIME boardTime{};
    const bool haveTime = readBoard(board, &handle, &boardTime, out);
    if (haveTime && system.SetSystemTime(&boardTime) == FALSE)
        out << "SetSystemTime Failed, error: " << system.GetLastError() << "\n";
    if (system.AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr) == FALSE)
        out << "Error Adjusting privileges!\n";
    system.CloseHandle(token);
    if (handle != nullptr)
        board.close(handle);
    return haveTime ? kExitDone : kExitBoardUnread;
}

} // namespace vornclock
