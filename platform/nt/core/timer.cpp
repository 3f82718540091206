// Kernel timers and delays on the shared clock. Inserted timers form one due-ordered list,
// linked through their own TimerListEntry, and one clock alarm stands for its head, so arming a
// timer never allocates. Expiry signals the timer and queues its DPC like KeInsertQueueDpc.
#include "kernel_impl.h"

#include <limits>

namespace ntemu {

namespace detail {

namespace {

constexpr UCHAR kTimerNotificationObject = 8;
// Far enough in the future never to come, far enough from the limit never to overflow.
constexpr Ticks100ns kNever = std::numeric_limits<Ticks100ns>::max() / 4;

Ticks100ns dueOf(const KTIMER* timer) {
    return static_cast<Ticks100ns>(timer->DueTime.QuadPart);
}

PKTIMER headTimer(Kernel::Impl& k) {
    if (IsListEmpty(&k.timerQueue))
        return nullptr;
    return CONTAINING_RECORD(k.timerQueue.Flink, KTIMER, TimerListEntry);
}

// Expiry is noticed only on clock ticks: the first tick at or after `when`.
Ticks100ns quantise(const Kernel::Impl& k, Ticks100ns when) {
    const Ticks100ns tick = k.options.timerTick;
    if (tick <= 0 || when <= 0)
        return when;
    return (when + tick - 1) / tick * tick;
}

// Links the timer in due order (after timers due at the same time) and keeps the alarm on the
// head. timerMutex held.
void insertTimer(Kernel::Impl& k, PKTIMER timer, Ticks100ns due) {
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    PLIST_ENTRY after = k.timerQueue.Blink;
    while (after != &k.timerQueue && dueOf(CONTAINING_RECORD(after, KTIMER, TimerListEntry)) > due)
        after = after->Blink;
    InsertHeadList(after, &timer->TimerListEntry);
    timer->Header.Inserted = TRUE;
    if (headTimer(k) == timer)
        k.clock->arm(k.alarm, due);
}

// timerMutex held. The alarm stays armed for a head that went away: it then fires into an
// empty (or later) queue and re-arms for the new head, which is harmless. Disarming here would
// wait for a fire in progress, which needs timerMutex.
void unlinkTimer(Kernel::Impl& k, PKTIMER timer) {
    const bool wasHead = headTimer(k) == timer;
    RemoveEntryList(&timer->TimerListEntry);
    timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
    timer->Header.Inserted = FALSE;
    if (wasHead)
        if (PKTIMER head = headTimer(k))
            k.clock->arm(k.alarm, dueOf(head));
}

// Signals an expired timer, re-inserts a periodic one and queues its DPC. timerMutex held.
void expire(Kernel::Impl& k, PKTIMER timer, Ticks100ns now, ULONG processor) {
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        Ticks100ns next = quantise(k, dueOf(timer) + timer->Period * kMillisecond);
        if (next <= now)
            next = quantise(k, now + timer->Period * kMillisecond);
        insertTimer(k, timer, next);
    }
    if (timer->Dpc) {
        ULARGE_INTEGER when;
        when.QuadPart = static_cast<ULONGLONG>(k.clock->systemTime());
        queueDpc(k, timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(when.u.LowPart)),
                 reinterpret_cast<PVOID>(static_cast<uintptr_t>(when.u.HighPart)), processor);
    }
}

void onAlarm(ClockAlarm* alarm) {
    auto& k = *static_cast<Kernel::Impl*>(alarm->context);
    std::lock_guard lock(k.timerMutex);
    const Ticks100ns now = k.clock->now();
    const ULONG timerProcessor = static_cast<ULONG>(k.processors.size() - 1);
    while (PKTIMER head = headTimer(k)) {
        if (dueOf(head) > now) {
            k.clock->arm(k.alarm, dueOf(head));
            break;
        }
        unlinkTimer(k, head);
        expire(k, head, now, timerProcessor);
    }
}

// The interrupt time at which a due time (relative if negative, absolute system time if not)
// falls due, before tick quantisation.
Ticks100ns interruptTimeFor(const Clock& clock, LONGLONG dueTime, Ticks100ns now) {
    if (dueTime < 0)
        return dueTime < -kNever ? kNever : now - dueTime;
    const LONGLONG ahead = dueTime - clock.systemTime();
    return ahead > kNever ? kNever : now + ahead;
}

} // namespace

void startTimers(Kernel::Impl& k) {
    InitializeListHead(&k.timerQueue);
    k.alarm.fire = onAlarm;
    k.alarm.context = &k;
}

void stopTimers(Kernel::Impl& k) {
    k.clock->disarm(k.alarm);
    std::lock_guard lock(k.timerMutex);
    InitializeListHead(&k.timerQueue);
}

void removeTimersInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end, const char* routine) {
    auto inside = [begin, end](const void* p, size_t size) {
        const auto at = reinterpret_cast<uintptr_t>(p);
        return at < end && at + size > begin;
    };
    std::vector<std::pair<Check, std::string>> found;
    {
        std::lock_guard lock(k.timerMutex);
        for (PLIST_ENTRY e = k.timerQueue.Flink; e != &k.timerQueue;) {
            PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
            e = e->Flink;
            if (inside(timer, sizeof(KTIMER)))
                found.emplace_back(Check::TimerInFreedMemory,
                                   "timer " + hexAddress(timer) + " is still set");
            else if (timer->Dpc && inside(timer->Dpc, sizeof(KDPC)))
                found.emplace_back(Check::DpcInFreedMemory, "set timer " + hexAddress(timer) +
                                                                " would queue DPC " +
                                                                hexAddress(timer->Dpc));
            else
                continue;
            unlinkTimer(k, timer);
        }
    }
    for (auto& [check, text] : found)
        verifier::report(check, routine, std::move(text));
}

} // namespace detail

} // namespace ntemu

using namespace ntemu;

namespace {

// The processor a DPC queued by the calling thread goes to (see dpc.cpp).
ULONG callerProcessor(Kernel::Impl& k) {
    return detail::t_processorOf == &k ? detail::t_processor : 0;
}

} // namespace

// IRQL <= DISPATCH_LEVEL. A notification timer, not signalled and not set.
VOID KeInitializeTimer(PKTIMER Timer) {
    irql::checkAtMost("KeInitializeTimer", DISPATCH_LEVEL);
    std::memset(Timer, 0, sizeof *Timer);
    Timer->Header.Type = detail::kTimerNotificationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    InitializeListHead(&Timer->Header.WaitListHead);
}

// IRQL <= DISPATCH_LEVEL. Same as KeSetTimerEx with no period.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// IRQL <= DISPATCH_LEVEL. Sets the timer for DueTime (100 ns units, negative relative, else
// absolute system time), then every Period ms; expiry queues Dpc (may be NULL). Returns TRUE
// when the timer was still set, which this call replaces.
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    irql::checkAtMost("KeSetTimerEx", DISPATCH_LEVEL);
    if (Period < 0) {
        verifier::report(Check::InvalidParameter, "KeSetTimerEx",
                         "negative period " + std::to_string(Period) + " treated as none");
        Period = 0;
    }
    Kernel::Impl& k = Kernel::current().impl();
    std::lock_guard lock(k.timerMutex);
    const BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet)
        detail::unlinkTimer(k, Timer);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart >= 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    const Ticks100ns now = k.clock->now();
    const Ticks100ns due = detail::interruptTimeFor(*k.clock, DueTime.QuadPart, now);
    if (due <= now) {
        Timer->DueTime.QuadPart = static_cast<ULONGLONG>(now);
        detail::expire(k, Timer, now, callerProcessor(k));
    } else {
        detail::insertTimer(k, Timer, detail::quantise(k, due));
    }
    return wasSet;
}

// IRQL <= DISPATCH_LEVEL. Returns TRUE when the timer was set and is now cancelled. A DPC the
// timer already queued is neither removed nor waited for.
BOOLEAN KeCancelTimer(PKTIMER Timer) {
    irql::checkAtMost("KeCancelTimer", DISPATCH_LEVEL);
    Kernel::Impl& k = Kernel::current().impl();
    std::lock_guard lock(k.timerMutex);
    if (!Timer->Header.Inserted)
        return FALSE;
    detail::unlinkTimer(k, Timer);
    return TRUE;
}

// Any IRQL. TRUE once the timer has expired (until it is set again).
BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Kernel::Impl& k = Kernel::current().impl();
    std::lock_guard lock(k.timerMutex);
    return Timer->Header.SignalState != 0;
}

// IRQL < DISPATCH_LEVEL. Blocks the thread for Interval (100 ns units, negative relative, else
// absolute system time), rounded up to the timer tick. Only expiry ends the wait here.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    static const char* const routine = "KeDelayExecutionThread";
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        verifier::report(Check::SleepAtDispatch, routine,
                         "delay at IRQL " + std::to_string(KeGetCurrentIrql()));
        return STATUS_UNSUCCESSFUL;
    }
    if (!Interval) {
        verifier::report(Check::InvalidParameter, routine, "no interval");
        return STATUS_INVALID_PARAMETER;
    }
    Kernel::Impl& k = Kernel::current().impl();
    const Ticks100ns now = k.clock->now();
    const Ticks100ns until = detail::interruptTimeFor(*k.clock, Interval->QuadPart, now);
    if (until > now)
        k.clock->sleepFor(detail::quantise(k, until) - now);
    return STATUS_SUCCESS;
}

// Any IRQL. The system time, 100 ns units since 1601-01-01 (UTC).
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = Kernel::current().clock().systemTime();
}

// Any IRQL. Time since the machine started, 100 ns units.
ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(Kernel::current().clock().now());
}
