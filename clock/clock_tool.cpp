// vornclock's steps: enable the system-time privilege, read the board's date, time and date
// again, set the clock, drop the privileges, close the board.
#include "clock_tool.h"

#include <cmath>

namespace vornclock {

namespace {

using namespace win32;

// The privilege request: one entry, its buffer length given as 64 bytes.
constexpr DWORD kPrivilegeBufferLength = 64;

// Rounds of a time and a date reading after the first date; one suffices unless the board's
// date is changed while it is read.
constexpr int kReadRounds = 3;

// The day of the year of a calendar date; 0 (no board day) for a month or day that is none.
unsigned dayOfYearOf(const DateObj& date) {
    static constexpr unsigned kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                                      181, 212, 243, 273, 304, 334};
    static constexpr unsigned kDaysInMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > kDaysInMonth[date.month - 1])
        return 0;
    const bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
    if (date.month == 2 && date.day == 29 && !leap)
        return 0;
    return kDaysBeforeMonth[date.month - 1] + date.day + (leap && date.month > 2 ? 1 : 0);
}

enum class Reading { Done, Unread, Disagree };

// The board passes midnight between any two readings now and then, so the time is read between
// two readings of the date and set with the one its day of year belongs to; where neither does,
// both are read again.
Reading readDateAndTime(BoardLibrary& board, BoardHandle handle, SYSTEMTIME* result) {
    DateObj before{};
    if (board.getDate(handle, &before) != VORN_OK)
        return Reading::Unread;
    for (int round = 0; round < kReadRounds; ++round) {
        TimeObj time{};
        DateObj after{};
        if (board.getTime(handle, &time) != VORN_OK || board.getDate(handle, &after) != VORN_OK)
            return Reading::Unread;
        for (const DateObj& date : {before, after}) {
            if (dayOfYearOf(date) == time.dayOfYear) {
                *result = systemTimeFromBoard(date, time);
                return Reading::Done;
            }
        }
        before = after;
    }
    return Reading::Disagree;
}

// Opens the board and reads its date and time; false, with a message, when the board cannot
// be opened or read, or its date and time never agree.
bool readBoard(BoardLibrary& board, BoardHandle* handle, SYSTEMTIME* result, std::ostream& out) {
    if (board.open(handle, kDeviceName) != VORN_OK || *handle == nullptr) {
        *handle = nullptr;
        out << "Cannot open the board " << kDeviceName << "!!\n";
        return false;
    }
    switch (readDateAndTime(board, *handle, result)) {
    case Reading::Done:
        return true;
    case Reading::Unread:
        out << "Cannot read the board's date and time!!\n";
        return false;
    case Reading::Disagree:
        out << "The board's date and time do not agree!!\n";
        return false;
    }
    return false;
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
    if (system.LookupPrivilegeValueA(nullptr, SE_SYSTEMTIME_NAME, &privileges.Privileges[0].Luid) !=
        TRUE) {
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
