// Fake system layer and board library for vornclock: each records its calls in one shared
// log, in order, and fails the steps a test chooses.
#pragma once

#include "clock_tool.h"

#include <string>
#include <vector>

namespace clocktest {

using CallLog = std::vector<std::string>;

class FakeSystem final : public win32::SystemApi {
public:
    explicit FakeSystem(CallLog& log) : m_log(log) {}

    win32::BOOL lookupResult = win32::TRUE;
    win32::BOOL openTokenResult = win32::TRUE;
    win32::BOOL enableResult = win32::TRUE;
    win32::BOOL setResult = win32::TRUE;
    win32::DWORD setError = win32::ERROR_PRIVILEGE_NOT_HELD;
    win32::BOOL restoreResult = win32::TRUE;

    std::vector<win32::SYSTEMTIME> timesSet;
    win32::TOKEN_PRIVILEGES enableRequest{};
    win32::DWORD enableLength = 0;
    win32::DWORD tokenAccess = 0;

    win32::BOOL LookupPrivilegeValueA(const char* systemName, const char* name,
                                      win32::LUID* luid) override;
    win32::HANDLE GetCurrentProcess() override;
    win32::BOOL OpenProcessToken(win32::HANDLE process, win32::DWORD access,
                                 win32::HANDLE* token) override;
    win32::BOOL AdjustTokenPrivileges(win32::HANDLE token, win32::BOOL disableAll,
                                      win32::TOKEN_PRIVILEGES* newState, win32::DWORD bufferLength,
                                      win32::TOKEN_PRIVILEGES* previousState,
                                      win32::DWORD* returnLength) override;
    win32::BOOL SetSystemTime(const win32::SYSTEMTIME* time) override;
    void GetSystemTime(win32::SYSTEMTIME* time) override;
    win32::DWORD GetLastError() override;
    void Sleep(win32::DWORD milliseconds) override;
    win32::BOOL CloseHandle(win32::HANDLE handle) override;

private:
    CallLog& m_log;
    win32::DWORD m_lastError = 0;
};

class FakeBoard final : public vornclock::BoardLibrary {
public:
    explicit FakeBoard(CallLog& log) : m_log(log) {}

    uint8_t openResult = VORN_OK;
    uint8_t dateResult = VORN_OK;
    uint8_t timeResult = VORN_OK;
    DateObj date{2026, 12, 8};
    TimeObj time{12.3456, 12, 30, 18, 0, 342, 0};
    // Readings in call order, the last one repeated; while empty, `date` and `time` are read.
    std::vector<DateObj> dateReadings;
    std::vector<TimeObj> timeReadings;
    const char* openedName = nullptr;

    uint8_t open(BoardHandle* handle, const char* deviceName) override;
    uint8_t getDate(BoardHandle handle, DateObj* date) override;
    uint8_t getTime(BoardHandle handle, TimeObj* time) override;
    uint8_t close(BoardHandle handle) override;

private:
    CallLog& m_log;
    BoardRecord m_record{0x56524E42, 0x9070, 3, 0};
    size_t m_dateReads = 0;
    size_t m_timeReads = 0;
};

} // namespace clocktest
