// The real and the virtual clock, with the due-ordered list of armed alarms they share.
#include "ntemu/clock.h"

#include <cassert>
#include <chrono>
#include <ctime>
#include <sys/prctl.h>

namespace ntemu {

namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochIn1601 = 116'444'736'000'000'000;

int64_t hostSystemTime() {
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochIn1601 +
           std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

// Timer slack of 1 ns: without it a short sleep wakes tens of microseconds late.
void tightenTimerSlack() {
    thread_local bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        done = true;
    }
}

} // namespace

void AlarmList::insert(ClockAlarm& alarm) {
    ClockAlarm* prev = nullptr;
    ClockAlarm* cur = m_head;
    while (cur && cur->due <= alarm.due) {
        prev = cur;
        cur = cur->next;
    }
    alarm.prev = prev;
    alarm.next = cur;
    if (cur)
        cur->prev = &alarm;
    if (prev)
        prev->next = &alarm;
    else
        m_head = &alarm;
    alarm.armed = true;
}

bool AlarmList::disarm(std::unique_lock<std::mutex>& lock, ClockAlarm& alarm) {
    const bool wasArmed = remove(alarm);
    // A fire that disarms its own alarm does not wait for itself.
    m_fired.wait(
        lock, [&] { return m_firing != &alarm || m_firingThread == std::this_thread::get_id(); });
    return wasArmed;
}

void AlarmList::fireHead(std::unique_lock<std::mutex>& lock) {
    ClockAlarm* head = m_head;
    remove(*head);
    m_firing = head;
    m_firingThread = std::this_thread::get_id();
    lock.unlock();
    head->fire(head);
    lock.lock();
    m_firing = nullptr;
    m_fired.notify_all();
}

bool AlarmList::remove(ClockAlarm& alarm) {
    if (!alarm.armed)
        return false;
    if (alarm.prev)
        alarm.prev->next = alarm.next;
    else
        m_head = alarm.next;
    if (alarm.next)
        alarm.next->prev = alarm.prev;
    alarm.next = alarm.prev = nullptr;
    alarm.armed = false;
    return true;
}

// ---------------------------------------------------------------------------------------------

namespace {
const auto kRealClockStart = std::chrono::steady_clock::now();
}

RealClock::RealClock() : m_thread([this] { run(); }) {}

RealClock::~RealClock() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

Ticks100ns RealClock::now() const {
    auto elapsed = std::chrono::steady_clock::now() - kRealClockStart;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

int64_t RealClock::systemTime() const {
    return hostSystemTime();
}

void RealClock::arm(ClockAlarm& alarm, Ticks100ns due) {
    {
        std::lock_guard lock(m_mutex);
        m_alarms.remove(alarm);
        alarm.due = due;
        m_alarms.insert(alarm);
    }
    m_wake.notify_all();
}

bool RealClock::disarm(ClockAlarm& alarm) {
    std::unique_lock lock(m_mutex);
    return m_alarms.disarm(lock, alarm);
}

void RealClock::sleepFor(Ticks100ns interval) {
    if (interval <= 0)
        return;
    tightenTimerSlack();
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + nanoseconds(interval * 100);
    // Sleep to just short of the deadline, then spin: a wake-up is tens of microseconds late.
    const auto wakeEarly = deadline - microseconds(60);
    if (steady_clock::now() < wakeEarly) {
        auto ns = duration_cast<nanoseconds>(wakeEarly.time_since_epoch()).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
    }
    while (steady_clock::now() < deadline) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void RealClock::run() {
    tightenTimerSlack();
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        ClockAlarm* head = m_alarms.first();
        if (!head) {
            m_wake.wait(lock);
            continue;
        }
        Ticks100ns now = this->now();
        if (head->due > now) {
            m_wake.wait_for(lock, std::chrono::nanoseconds((head->due - now) * 100));
            continue;
        }
        m_alarms.fireHead(lock);
    }
}

// ---------------------------------------------------------------------------------------------

VirtualClock::VirtualClock(int64_t systemTimeAtStart)
    : m_systemAtStart(systemTimeAtStart ? systemTimeAtStart : hostSystemTime()) {}

Ticks100ns VirtualClock::now() const {
    std::lock_guard lock(m_mutex);
    return m_now;
}

int64_t VirtualClock::systemTime() const {
    return m_systemAtStart + now();
}

void VirtualClock::arm(ClockAlarm& alarm, Ticks100ns due) {
    std::lock_guard lock(m_mutex);
    m_alarms.remove(alarm);
    alarm.due = due;
    m_alarms.insert(alarm);
}

bool VirtualClock::disarm(ClockAlarm& alarm) {
    std::unique_lock lock(m_mutex);
    return m_alarms.disarm(lock, alarm);
}

void VirtualClock::sleepFor(Ticks100ns interval) {
    if (interval > 0)
        advanceTo(now() + interval);
}

void VirtualClock::advance(Ticks100ns interval) {
    advanceTo(now() + (interval > 0 ? interval : 0));
}

void VirtualClock::advanceTo(Ticks100ns when) {
    std::lock_guard advancing(m_advanceMutex);
    for (;;) {
        std::unique_lock lock(m_mutex);
        ClockAlarm* head = m_alarms.first();
        if (!head || head->due > when) {
            if (when > m_now)
                m_now = when;
            break;
        }
        if (head->due > m_now)
            m_now = head->due;
        m_alarms.fireHead(lock);
        auto settle = m_settle;
        lock.unlock();
        if (settle)
            settle();
    }
    std::function<void()> settle;
    {
        std::lock_guard lock(m_mutex);
        settle = m_settle;
    }
    if (settle)
        settle();
}

void VirtualClock::setSettleHook(std::function<void()> hook) {
    std::lock_guard lock(m_mutex);
    m_settle = std::move(hook);
}

} // namespace ntemu
