// Fake system layer and board library for vornclock's tests.
#include "fakes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace clocktest {

using namespace win32;

namespace {
const HANDLE kProcess = reinterpret_cast<HANDLE>(0x11);
const HANDLE kToken = reinterpret_cast<HANDLE>(0x22);

template <typename Record>
const Record& nextReading(const std::vector<Record>& readings, const Record& fixed, size_t* read) {
    if (readings.empty())
        return fixed;
    return readings[std::min((*read)++, readings.size() - 1)];
}
} // namespace

BOOL FakeSystem::LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid) {
    m_log.push_back("LookupPrivilegeValueA");
    EXPECT_EQ(systemName, nullptr);
    EXPECT_STREQ(name, "SeSystemtimePrivilege");
    *luid = LUID{SE_SYSTEMTIME_PRIVILEGE, 0};
    return lookupResult;
}

HANDLE FakeSystem::GetCurrentProcess() {
    m_log.push_back("GetCurrentProcess");
    return kProcess;
}

BOOL FakeSystem::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    m_log.push_back("OpenProcessToken");
    EXPECT_EQ(process, kProcess);
    tokenAccess = access;
    *token = kToken;
    return openTokenResult;
}

BOOL FakeSystem::AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                                       DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                                       DWORD* returnLength) {
    EXPECT_EQ(token, kToken);
    EXPECT_EQ(previousState, nullptr);
    EXPECT_EQ(returnLength, nullptr);
    if (disableAll) {
        m_log.push_back("AdjustTokenPrivileges(disable all)");
        EXPECT_EQ(newState, nullptr);
        return restoreResult;
    }
    m_log.push_back("AdjustTokenPrivileges(enable)");
    EXPECT_NE(newState, nullptr);
    if (newState != nullptr)
        enableRequest = *newState;
    enableLength = bufferLength;
    return enableResult;
}

BOOL FakeSystem::SetSystemTime(const SYSTEMTIME* time) {
    m_log.push_back("SetSystemTime");
    timesSet.push_back(*time);
    m_lastError = setError;
    return setResult;
}

void FakeSystem::GetSystemTime(SYSTEMTIME* time) {
    m_log.push_back("GetSystemTime");
    *time = SYSTEMTIME{};
}

DWORD FakeSystem::GetLastError() {
    m_log.push_back("GetLastError");
    return m_lastError;
}

void FakeSystem::Sleep(DWORD) {
    m_log.push_back("Sleep");
}

BOOL FakeSystem::CloseHandle(HANDLE handle) {
    m_log.push_back("CloseHandle");
    EXPECT_EQ(handle, kToken);
    return TRUE;
}

uint8_t FakeBoard::open(BoardHandle* handle, const char* deviceName) {
    m_log.push_back("VORN_open");
    openedName = deviceName;
    *handle = openResult == VORN_OK ? &m_record : nullptr;
    return openResult;
}

uint8_t FakeBoard::getDate(BoardHandle handle, DateObj* out) {
    m_log.push_back("VORN_getDate");
    EXPECT_EQ(handle, &m_record);
    if (dateResult == VORN_OK)
        *out = nextReading(dateReadings, date, &m_dateReads);
    return dateResult;
}

uint8_t FakeBoard::getTime(BoardHandle handle, TimeObj* out) {
    m_log.push_back("VORN_getTime");
    EXPECT_EQ(handle, &m_record);
    if (timeResult == VORN_OK)
        *out = nextReading(timeReadings, time, &m_timeReads);
    return timeResult;
}

uint8_t FakeBoard::close(BoardHandle handle) {
    m_log.push_back("VORN_close");
    EXPECT_EQ(handle, &m_record);
    return VORN_OK;
}

} // namespace clocktest
