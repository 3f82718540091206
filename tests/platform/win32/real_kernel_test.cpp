// The layer over the real system calls, run in a child process from which CAP_SYS_TIME has been
// removed first, so that the machine's clock cannot change whatever the layer does.
#include "capability_drop.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace win32;

// Child steps; the child's exit code names the first that did not behave.
enum Step : int {
    kAllWell = 0,
    kCapabilityStillHeld = 90,
    kLookup,
    kToken,
    kEnableResult,
    kEnableError,
    kSetResult,
    kSetError,
    kInvalidError,
    kDisableAll,
};

int runWithoutSystemTime() {
    if (!win32test::dropSystemTimeCapability())
        return kCapabilityStillHeld;
    SystemApi& system = systemApi();
    TOKEN_PRIVILEGES request{1, {{LUID{}, SE_PRIVILEGE_ENABLED}}};
    if (system.LookupPrivilegeValueA(nullptr, SE_SYSTEMTIME_NAME, &request.Privileges[0].Luid) !=
        TRUE)
        return kLookup;
    HANDLE token = nullptr;
    if (system.OpenProcessToken(system.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) !=
        TRUE)
        return kToken;
    if (system.AdjustTokenPrivileges(token, FALSE, &request, 64, nullptr, nullptr) != TRUE)
        return kEnableResult;
    if (system.GetLastError() != ERROR_NOT_ALL_ASSIGNED)
        return kEnableError;
    // The clock's own reading: even a layer that let this through would move it by nothing.
    SYSTEMTIME now{};
    system.GetSystemTime(&now);
    if (system.SetSystemTime(&now) != FALSE)
        return kSetResult;
    if (system.GetLastError() != ERROR_PRIVILEGE_NOT_HELD)
        return kSetError;
    const SYSTEMTIME invalid{2026, 2, 0, 30, 0, 0, 0, 0};
    if (system.SetSystemTime(&invalid) != FALSE || system.GetLastError() != ERROR_INVALID_PARAMETER)
        return kInvalidError;
    if (system.AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr) != TRUE ||
        system.GetLastError() != ERROR_SUCCESS || system.CloseHandle(token) != TRUE)
        return kDisableAll;
    return kAllWell;
}

TEST(RealKernelTest, WithoutTheCapabilityEnablingAssignsNothingAndSettingIsRefused) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(runWithoutSystemTime());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kAllWell);
}

TEST(RealKernelTest, GetSystemTimeGivesAValidTime) {
    SYSTEMTIME now{};
    systemApi().GetSystemTime(&now);
    EXPECT_TRUE(isValidSystemTime(now));
    EXPECT_LT(now.wDayOfWeek, 7);
}

} // namespace
