// The security and time calls on Linux: the system-time privilege is CAP_SYS_TIME, enabled and
// disabled in the effective set within what the permitted set allows; the clock is
// CLOCK_REALTIME. Capabilities belong to the calling thread, which for the single-threaded
// programs that use this layer is the whole process.
#include "win32.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <mutex>
#include <strings.h>

namespace win32 {

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

constexpr uintptr_t kCurrentProcess = ~uintptr_t{0};
constexpr uint32_t kSysTimeBit = 1u << CAP_SYS_TIME; // CAP_SYS_TIME lies in the first word

bool isSystemTimeLuid(const LUID& luid) {
    return luid.LowPart == SE_SYSTEMTIME_PRIVILEGE && luid.HighPart == 0;
}

struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

class LinuxSystem final : public SystemApi {
public:
    explicit LinuxSystem(KernelCalls kernel) : m_kernel(std::move(kernel)) {}

    BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid) override {
        if (systemName != nullptr && systemName[0] != '\0')
            return fail(ERROR_NOT_SUPPORTED);
        if (name == nullptr || luid == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        if (strcasecmp(name, SE_SYSTEMTIME_NAME) != 0)
            return fail(ERROR_NO_SUCH_PRIVILEGE);
        *luid = LUID{SE_SYSTEMTIME_PRIVILEGE, 0};
        return TRUE;
    }

    HANDLE GetCurrentProcess() override { return reinterpret_cast<HANDLE>(kCurrentProcess); }

    BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) override {
        if (reinterpret_cast<uintptr_t>(process) != kCurrentProcess)
            return fail(ERROR_INVALID_HANDLE);
        if (token == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        std::lock_guard lock(m_mutex);
        m_nextToken += 4;
        m_tokens[m_nextToken] = desiredAccess;
        *token = reinterpret_cast<HANDLE>(m_nextToken);
        return TRUE;
    }

    BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                               DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                               DWORD* returnLength) override;

    BOOL SetSystemTime(const SYSTEMTIME* time) override {
        if (time == nullptr || !isValidSystemTime(*time))
            return fail(ERROR_INVALID_PARAMETER);
        const timespec target = systemTimeToUnix(*time);
        if (m_kernel.clockSettime(CLOCK_REALTIME, &target) != 0)
            return fail(errno == EPERM ? ERROR_PRIVILEGE_NOT_HELD : ERROR_INVALID_PARAMETER);
        return TRUE;
    }

    void GetSystemTime(SYSTEMTIME* time) override {
        timespec now{};
        if (time == nullptr)
            return;
        if (m_kernel.clockGettime(CLOCK_REALTIME, &now) != 0 || !unixToSystemTime(now, time))
            *time = SYSTEMTIME{};
    }

    DWORD GetLastError() override { return t_lastError; }

    void Sleep(DWORD milliseconds) override { m_kernel.sleep(milliseconds); }

    BOOL CloseHandle(HANDLE handle) override {
        std::lock_guard lock(m_mutex);
        if (m_tokens.erase(reinterpret_cast<uintptr_t>(handle)) == 0)
            return fail(ERROR_INVALID_HANDLE);
        return TRUE;
    }

private:
    static BOOL fail(DWORD error) {
        t_lastError = error;
        return FALSE;
    }

    // ERROR_SUCCESS when `token` is open with privilege-adjusting access.
    DWORD checkToken(HANDLE token) {
        std::lock_guard lock(m_mutex);
        const auto found = m_tokens.find(reinterpret_cast<uintptr_t>(token));
        if (found == m_tokens.end())
            return ERROR_INVALID_HANDLE;
        return (found->second & TOKEN_ADJUST_PRIVILEGES) != 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }

    KernelCalls m_kernel;
    std::mutex m_mutex;
    std::map<uintptr_t, DWORD> m_tokens; // open token handles and their access
    uintptr_t m_nextToken = 0;
};

// The system-time privilege's new capability words for one adjustment; notAllAssigned is set
// when an entry names a privilege the process cannot have.
void applyEntries(const TOKEN_PRIVILEGES& state, __user_cap_data_struct& caps,
                  bool& notAllAssigned) {
    for (DWORD i = 0; i < state.PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = (&state.Privileges[0])[i];
        if (!isSystemTimeLuid(entry.Luid)) {
            notAllAssigned = true;
        } else if ((entry.Attributes & SE_PRIVILEGE_REMOVED) != 0) {
            caps.effective &= ~kSysTimeBit;
            caps.permitted &= ~kSysTimeBit;
        } else if ((entry.Attributes & SE_PRIVILEGE_ENABLED) == 0) {
            caps.effective &= ~kSysTimeBit;
        } else if ((caps.permitted & kSysTimeBit) != 0) {
            caps.effective |= kSysTimeBit;
        } else {
            notAllAssigned = true;
        }
    }
}

BOOL LinuxSystem::AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                                        DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                                        DWORD* returnLength) {
    if (const DWORD error = checkToken(token); error != ERROR_SUCCESS)
        return fail(error);
    if ((!disableAll && newState == nullptr) || (previousState != nullptr && !returnLength))
        return fail(ERROR_INVALID_PARAMETER);
    Capabilities caps;
    if (m_kernel.capget(&caps.header, caps.data) != 0)
        return fail(ERROR_ACCESS_DENIED);
    const __user_cap_data_struct before = caps.data[0];
    bool notAllAssigned = false;
    if (disableAll)
        caps.data[0].effective &= ~kSysTimeBit;
    else
        applyEntries(*newState, caps.data[0], notAllAssigned);
    const bool changed =
        caps.data[0].effective != before.effective || caps.data[0].permitted != before.permitted;
    if (previousState != nullptr) {
        // Only a privilege whose state changes is recorded, as Windows does.
        const DWORD count = changed ? 1 : 0;
        *returnLength = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                           count * sizeof(LUID_AND_ATTRIBUTES));
        if (bufferLength < *returnLength)
            return fail(ERROR_INSUFFICIENT_BUFFER);
        previousState->PrivilegeCount = count;
        if (count != 0) {
            const bool wasEnabled = (before.effective & kSysTimeBit) != 0;
            previousState->Privileges[0] = {LUID{SE_SYSTEMTIME_PRIVILEGE, 0},
                                            wasEnabled ? SE_PRIVILEGE_ENABLED : 0};
        }
    }
    if (changed && m_kernel.capset(&caps.header, caps.data) != 0)
        return fail(errno == EPERM ? ERROR_PRIVILEGE_NOT_HELD : ERROR_INVALID_PARAMETER);
    t_lastError = notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
    return TRUE;
}

void sleepMilliseconds(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1'000'000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace

KernelCalls KernelCalls::system() {
    KernelCalls calls;
    calls.capget = [](__user_cap_header_struct* header, __user_cap_data_struct* data) {
        return static_cast<int>(syscall(SYS_capget, header, data));
    };
    calls.capset = [](__user_cap_header_struct* header, const __user_cap_data_struct* data) {
        return static_cast<int>(syscall(SYS_capset, header, data));
    };
    calls.clockSettime = [](clockid_t clock, const timespec* time) {
        return clock_settime(clock, time);
    };
    calls.clockGettime = [](clockid_t clock, timespec* time) { return clock_gettime(clock, time); };
    calls.sleep = sleepMilliseconds;
    return calls;
}

std::unique_ptr<SystemApi> makeLinuxSystem(KernelCalls kernel) {
    return std::make_unique<LinuxSystem>(std::move(kernel));
}

SystemApi& systemApi() {
    static const std::unique_ptr<SystemApi> system = makeLinuxSystem(KernelCalls::system());
    return *system;
}

} // namespace win32
