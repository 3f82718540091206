// The Windows security and time calls that the applications make, served on Linux:
// the system-time privilege is the CAP_SYS_TIME capability, the system time is CLOCK_REALTIME.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>

struct __user_cap_header_struct;
struct __user_cap_data_struct;

namespace win32 {

using BOOL = int;
using DWORD = uint32_t;
using WORD = uint16_t;
using LONG = int32_t;
using HANDLE = void*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// Error numbers as Windows gives them, so that messages print the same values.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;

constexpr DWORD SE_PRIVILEGE_ENABLED = 0x2;
constexpr DWORD SE_PRIVILEGE_REMOVED = 0x4;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x20;
constexpr const char* SE_SYSTEMTIME_NAME = "SeSystemtimePrivilege";
// The identifier Windows gives the system-time privilege.
constexpr DWORD SE_SYSTEMTIME_PRIVILEGE = 12;

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

// One entry is declared; callers that pass more entries give a larger buffer.
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

// Calendar time in UTC. wDayOfWeek: 0 Sunday; it is filled by GetSystemTime and not read by
// SetSystemTime.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// The calls as programs make them. Each failing call returns FALSE (or null) and leaves its
// error number for GetLastError, which is kept per thread as on Windows.
class SystemApi {
public:
    virtual ~SystemApi() = default;

    // Only the local system (null or empty systemName) and SE_SYSTEMTIME_NAME (any case) are
    // known: ERROR_NOT_SUPPORTED and ERROR_NO_SUCH_PRIVILEGE otherwise.
    virtual BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid) = 0;
    // A pseudo-handle for the calling process; it needs no closing.
    virtual HANDLE GetCurrentProcess() = 0;
    // A token handle of the calling process with the access asked for; close with CloseHandle.
    virtual BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) = 0;
    // Enabling a privilege the process may not hold still returns TRUE, with
    // ERROR_NOT_ALL_ASSIGNED for GetLastError; disableAll drops every privilege enabled.
    virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                                       DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                                       DWORD* returnLength) = 0;
    // Validates the UTC time (ERROR_INVALID_PARAMETER) and sets the system clock; without the
    // enabled privilege ERROR_PRIVILEGE_NOT_HELD.
    virtual BOOL SetSystemTime(const SYSTEMTIME* time) = 0;
    virtual void GetSystemTime(SYSTEMTIME* time) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
};

// The kernel calls beneath the Linux layer, replaceable so that its mapping can be exercised
// without touching the machine's clock or the process's capabilities. Each returns 0 or -1
// with errno set, as the system calls do.
struct KernelCalls {
    std::function<int(__user_cap_header_struct*, __user_cap_data_struct*)> capget;
    std::function<int(__user_cap_header_struct*, const __user_cap_data_struct*)> capset;
    std::function<int(clockid_t, const timespec*)> clockSettime;
    std::function<int(clockid_t, timespec*)> clockGettime;
    std::function<void(uint32_t milliseconds)> sleep;

    // The real system calls.
    static KernelCalls system();
};

// The Linux layer over `kernel`.
std::unique_ptr<SystemApi> makeLinuxSystem(KernelCalls kernel);
// The Linux layer over the real system calls, shared by the whole program.
SystemApi& systemApi();

// SYSTEMTIME checks and conversions: month 1-12, a day of that month, hour < 24, minute and
// second < 60, milliseconds < 1000, year 1601-30827.
bool isValidSystemTime(const SYSTEMTIME& time);
// Nanoseconds are whole milliseconds. The time must be valid.
timespec systemTimeToUnix(const SYSTEMTIME& time);
// False when `time` lies outside the years SYSTEMTIME can hold.
bool unixToSystemTime(const timespec& time, SYSTEMTIME* result);

} // namespace win32
