// The security and time calls over fake kernel calls: privilege to capability mapping, error
// numbers, token handles, and the SYSTEMTIME handed to the clock.
#include "win32.h"

#include <gtest/gtest.h>

#include <linux/capability.h>

#include <cerrno>
#include <vector>

namespace {

using namespace win32;

constexpr uint32_t kSysTime = 1u << CAP_SYS_TIME;

// A process's capability words and clock as the fake kernel keeps them. Setting the clock
// fails with EPERM unless CAP_SYS_TIME is effective, as the kernel does.
struct FakeKernel {
    __user_cap_data_struct caps{};
    int capgetErrno = 0;
    int capsetCalls = 0;
    timespec now{};
    std::vector<timespec> clockSets;

    KernelCalls calls() {
        KernelCalls k;
        k.capget = [this](__user_cap_header_struct*, __user_cap_data_struct* data) {
            if (capgetErrno != 0) {
                errno = capgetErrno;
                return -1;
            }
            data[0] = caps;
            data[1] = {};
            return 0;
        };
        k.capset = [this](__user_cap_header_struct*, const __user_cap_data_struct* data) {
            ++capsetCalls;
            if ((data[0].permitted & ~caps.permitted) != 0 ||
                (data[0].effective & ~data[0].permitted) != 0) {
                errno = EPERM;
                return -1;
            }
            caps = data[0];
            return 0;
        };
        k.clockSettime = [this](clockid_t clock, const timespec* time) {
            EXPECT_EQ(clock, CLOCK_REALTIME);
            if ((caps.effective & kSysTime) == 0) {
                errno = EPERM;
                return -1;
            }
            clockSets.push_back(*time);
            return 0;
        };
        k.clockGettime = [this](clockid_t, timespec* time) {
            *time = now;
            return 0;
        };
        k.sleep = [](uint32_t) {};
        return k;
    }
};

class LinuxSystemTest : public testing::Test {
protected:
    HANDLE openToken(DWORD access = TOKEN_ADJUST_PRIVILEGES) {
        HANDLE token = nullptr;
        EXPECT_EQ(system->OpenProcessToken(system->GetCurrentProcess(), access, &token), TRUE);
        return token;
    }

    BOOL enable(HANDLE token, DWORD attributes = SE_PRIVILEGE_ENABLED) {
        TOKEN_PRIVILEGES request{1, {{LUID{SE_SYSTEMTIME_PRIVILEGE, 0}, attributes}}};
        return system->AdjustTokenPrivileges(token, FALSE, &request, 64, nullptr, nullptr);
    }

    FakeKernel kernel;
    std::unique_ptr<SystemApi> system = makeLinuxSystem(kernel.calls());
};

TEST_F(LinuxSystemTest, LooksUpOnlyTheSystemTimePrivilegeOnTheLocalSystem) {
    LUID luid{};
    EXPECT_EQ(system->LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &luid), TRUE);
    EXPECT_EQ(luid.LowPart, SE_SYSTEMTIME_PRIVILEGE);
    EXPECT_EQ(luid.HighPart, 0);
    EXPECT_EQ(system->LookupPrivilegeValueA("", "SESYSTEMTIMEPRIVILEGE", &luid), TRUE);

    EXPECT_EQ(system->LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(system->LookupPrivilegeValueA("otherhost", SE_SYSTEMTIME_NAME, &luid), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(system->LookupPrivilegeValueA(nullptr, nullptr, &luid), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LinuxSystemTest, EnablingRaisesTheCapabilityAndDisableAllDropsIt) {
    kernel.caps.permitted = kSysTime | 1u;
    HANDLE token = openToken();
    ASSERT_EQ(enable(token), TRUE);
    EXPECT_EQ(system->GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(kernel.caps.effective, kSysTime);

    const SYSTEMTIME when{2026, 12, 2, 8, 18, 30, 15, 250};
    ASSERT_EQ(system->SetSystemTime(&when), TRUE);
    ASSERT_EQ(kernel.clockSets.size(), 1u);
    EXPECT_EQ(kernel.clockSets[0].tv_sec, 1'796'754'615);
    EXPECT_EQ(kernel.clockSets[0].tv_nsec, 250'000'000);

    ASSERT_EQ(system->AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr), TRUE);
    EXPECT_EQ(kernel.caps.effective, 0u);
    EXPECT_EQ(kernel.caps.permitted, kSysTime | 1u);
    EXPECT_EQ(system->SetSystemTime(&when), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(system->CloseHandle(token), TRUE);
}

TEST_F(LinuxSystemTest, EnablingWithoutPermissionSucceedsButAssignsNothing) {
    HANDLE token = openToken();
    ASSERT_EQ(enable(token), TRUE);
    EXPECT_EQ(system->GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    EXPECT_EQ(kernel.caps.effective, 0u);
    EXPECT_EQ(kernel.capsetCalls, 0);

    const SYSTEMTIME when{2026, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(system->SetSystemTime(&when), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_TRUE(kernel.clockSets.empty());
}

TEST_F(LinuxSystemTest, EntriesDisableRemoveAndNameUnknownPrivileges) {
    kernel.caps.permitted = kSysTime;
    HANDLE token = openToken();
    ASSERT_EQ(enable(token), TRUE);
    ASSERT_EQ(enable(token, 0), TRUE);
    EXPECT_EQ(kernel.caps.effective, 0u);

    TOKEN_PRIVILEGES other{1, {{LUID{19, 0}, SE_PRIVILEGE_ENABLED}}};
    EXPECT_EQ(system->AdjustTokenPrivileges(token, FALSE, &other, 64, nullptr, nullptr), TRUE);
    EXPECT_EQ(system->GetLastError(), ERROR_NOT_ALL_ASSIGNED);

    ASSERT_EQ(enable(token, SE_PRIVILEGE_REMOVED), TRUE);
    EXPECT_EQ(kernel.caps.permitted, 0u);
    ASSERT_EQ(enable(token), TRUE);
    EXPECT_EQ(system->GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    EXPECT_EQ(kernel.caps.effective, 0u);
}

TEST_F(LinuxSystemTest, PreviousStateNeedsRoomAndRecordsWhatChanged) {
    kernel.caps.permitted = kSysTime;
    HANDLE token = openToken();
    TOKEN_PRIVILEGES request{1, {{LUID{SE_SYSTEMTIME_PRIVILEGE, 0}, SE_PRIVILEGE_ENABLED}}};
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    EXPECT_EQ(system->AdjustTokenPrivileges(token, FALSE, &request, 4, &previous, &length), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, sizeof(TOKEN_PRIVILEGES));
    EXPECT_EQ(kernel.caps.effective, 0u) << "a refused adjustment changes nothing";

    ASSERT_EQ(
        system->AdjustTokenPrivileges(token, FALSE, &request, sizeof previous, &previous, &length),
        TRUE);
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u);
    EXPECT_EQ(kernel.caps.effective, kSysTime);

    ASSERT_EQ(
        system->AdjustTokenPrivileges(token, FALSE, &request, sizeof previous, &previous, &length),
        TRUE);
    EXPECT_EQ(previous.PrivilegeCount, 0u) << "an unchanged privilege is not recorded";
    EXPECT_EQ(length, sizeof(DWORD));
}

TEST_F(LinuxSystemTest, TokenHandlesAreCheckedForAccessAndLife) {
    kernel.caps.permitted = kSysTime;
    HANDLE noAdjust = openToken(0x8);
    EXPECT_EQ(enable(noAdjust), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_ACCESS_DENIED);

    HANDLE token = openToken();
    ASSERT_EQ(system->CloseHandle(token), TRUE);
    EXPECT_EQ(enable(token), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(system->CloseHandle(token), FALSE);
    EXPECT_EQ(kernel.caps.effective, 0u);

    HANDLE opened = nullptr;
    EXPECT_EQ(
        system->OpenProcessToken(reinterpret_cast<HANDLE>(8), TOKEN_ADJUST_PRIVILEGES, &opened),
        FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE live = openToken();
    EXPECT_EQ(system->AdjustTokenPrivileges(live, FALSE, nullptr, 0, nullptr, nullptr), FALSE);
    EXPECT_EQ(system->GetLastError(), ERROR_INVALID_PARAMETER);
    kernel.capgetErrno = EPERM;
    EXPECT_EQ(enable(live), FALSE);
    EXPECT_EQ(kernel.caps.effective, 0u);
}

TEST_F(LinuxSystemTest, InvalidTimeIsRefusedBeforeTheClockIsTouched) {
    kernel.caps.permitted = kernel.caps.effective = kSysTime;
    const SYSTEMTIME bad[] = {
        {2026, 0, 0, 1, 0, 0, 0, 0},    {2026, 13, 0, 1, 0, 0, 0, 0},  {2026, 4, 0, 31, 0, 0, 0, 0},
        {2026, 2, 0, 29, 0, 0, 0, 0},   {1900, 2, 0, 29, 0, 0, 0, 0},  {2026, 1, 0, 0, 0, 0, 0, 0},
        {2026, 1, 0, 1, 24, 0, 0, 0},   {2026, 1, 0, 1, 0, 60, 0, 0},  {2026, 1, 0, 1, 0, 0, 60, 0},
        {2026, 1, 0, 1, 0, 0, 0, 1000}, {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const SYSTEMTIME& time : bad) {
        EXPECT_EQ(system->SetSystemTime(&time), FALSE)
            << time.wYear << "-" << time.wMonth << "-" << time.wDay << " " << time.wHour << ":"
            << time.wMinute << ":" << time.wSecond << "." << time.wMilliseconds;
        EXPECT_EQ(system->GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(system->SetSystemTime(nullptr), FALSE);
    EXPECT_TRUE(kernel.clockSets.empty());
}

TEST_F(LinuxSystemTest, SystemTimeEdgesOfTheCalendarAreValid) {
    const SYSTEMTIME good[] = {
        {2024, 2, 0, 29, 0, 0, 0, 0},       {2000, 2, 0, 29, 0, 0, 0, 0},
        {1601, 1, 0, 1, 0, 0, 0, 0},        {30827, 12, 0, 31, 23, 59, 59, 999},
        {2026, 12, 0, 31, 23, 59, 59, 999},
    };
    for (const SYSTEMTIME& time : good)
        EXPECT_TRUE(isValidSystemTime(time)) << time.wYear << "-" << time.wMonth;
}

TEST_F(LinuxSystemTest, SystemTimeConvertsBothWaysAcrossTheEpoch) {
    struct Case {
        SYSTEMTIME time;
        int64_t seconds;
    };
    const Case cases[] = {
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 0},
        {{1969, 12, 3, 31, 23, 59, 59, 0}, -1},
        {{1601, 1, 1, 1, 0, 0, 0, 0}, -11'644'473'600},
        {{2000, 3, 3, 1, 12, 34, 56, 789}, 951'914'096},
        {{2024, 2, 4, 29, 6, 0, 0, 5}, 1'709'186'400},
        {{30827, 12, 5, 31, 23, 59, 59, 999}, 910'670'515'199},
    };
    for (const Case& c : cases) {
        const timespec unix = systemTimeToUnix(c.time);
        EXPECT_EQ(unix.tv_sec, c.seconds) << c.time.wYear;
        EXPECT_EQ(unix.tv_nsec, c.time.wMilliseconds * 1'000'000L);
        SYSTEMTIME back{};
        ASSERT_TRUE(unixToSystemTime(unix, &back));
        EXPECT_EQ(back.wYear, c.time.wYear);
        EXPECT_EQ(back.wMonth, c.time.wMonth);
        EXPECT_EQ(back.wDay, c.time.wDay);
        EXPECT_EQ(back.wDayOfWeek, c.time.wDayOfWeek) << c.time.wYear;
        EXPECT_EQ(back.wHour, c.time.wHour);
        EXPECT_EQ(back.wMinute, c.time.wMinute);
        EXPECT_EQ(back.wSecond, c.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
    }
    SYSTEMTIME out{};
    EXPECT_FALSE(unixToSystemTime(timespec{-11'644'473'601, 0}, &out));
    EXPECT_FALSE(unixToSystemTime(timespec{910'670'515'200, 0}, &out));
}

TEST_F(LinuxSystemTest, GetSystemTimeReadsTheRealtimeClock) {
    kernel.now = timespec{951'914'096, 789'999'999};
    SYSTEMTIME now{};
    system->GetSystemTime(&now);
    EXPECT_EQ(now.wYear, 2000);
    EXPECT_EQ(now.wMonth, 3);
    EXPECT_EQ(now.wDay, 1);
    EXPECT_EQ(now.wDayOfWeek, 3);
    EXPECT_EQ(now.wSecond, 56);
    EXPECT_EQ(now.wMilliseconds, 789);
}

} // namespace
