// The real system clock for a step, and the real pacer that SIGTERM stops.
#include "one_shot.h"
#include "real_pacer.h"

#include "board_time.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace vornsync {

namespace {

class KernelClock final : public SystemClock {
public:
    bool maySet() override {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (syscall(SYS_capget, &header, data) != 0)
            return true; // the step itself then says whether it may
        return (data[0].effective & (1u << CAP_SYS_TIME)) != 0;
    }

    int stepBy(int64_t offsetNanos) override {
        const timespec offset = fromNanos(offsetNanos);
        timex change{};
        change.modes = ADJ_SETOFFSET | ADJ_NANO;
        change.time.tv_sec = offset.tv_sec;
        change.time.tv_usec = offset.tv_nsec; // nanoseconds under ADJ_NANO
        return clock_adjtime(CLOCK_REALTIME, &change) < 0 ? errno : 0;
    }
};

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void requestStop(int) {
    g_stopRequested = 1;
}

} // namespace

SystemClock& systemClock() {
    static KernelClock clock;
    return clock;
}

void stopOnTermination() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a sleep ends at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool stopRequested() {
    return g_stopRequested != 0;
}

int64_t RealPacer::monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return toNanos(now);
}

bool RealPacer::sleepUntil(int64_t deadline) {
    const timespec until = fromNanos(deadline);
    while (!stopRequested()) {
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != EINTR)
            return !stopRequested();
    }
    return false;
}

} // namespace vornsync
