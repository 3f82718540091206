// For tests that run real system calls in a child process: removes CAP_SYS_TIME from every
// capability set of the calling process and checks that it is gone, so that nothing the child
// does afterwards, or runs with exec, can change the machine's clock.
#pragma once

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace win32test {

// True only when CAP_SYS_TIME is out of the bounding, permitted, effective, inheritable and
// ambient sets afterwards. Uses only system calls, so it is safe between fork and exec.
inline bool dropSystemTimeCapability() {
    prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned bit = 1u << CAP_SYS_TIME;
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    if (syscall(SYS_capset, &header, data) != 0)
        return false;
    __user_cap_data_struct check[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, check) != 0)
        return false;
    const bool gone = ((check[0].effective | check[0].permitted | check[0].inheritable) & bit) == 0;
    return gone && prctl(PR_CAPBSET_READ, CAP_SYS_TIME, 0, 0, 0) == 0 &&
           prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_TIME, 0, 0) <= 0;
}

} // namespace win32test
