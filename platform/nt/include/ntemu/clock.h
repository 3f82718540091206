// The one time source of the emulated machine: kernel timers, delays and the board model all
// read it. Real in production, virtual (advanced by hand) in tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace ntemu {

// Time in 100 ns units since the clock started (the kernel's interrupt time).
using Ticks100ns = int64_t;

constexpr Ticks100ns kMicrosecond = 10;
constexpr Ticks100ns kMillisecond = 10'000;
constexpr Ticks100ns kSecond = 10'000'000;

// An alarm lives in its owner's storage (a kernel timer, a board model) so that arming one never
// allocates. The clock links it while armed; fire runs with no clock lock held.
struct ClockAlarm {
    void (*fire)(ClockAlarm* self) = nullptr;
    void* context = nullptr;
    Ticks100ns due = 0;
    ClockAlarm* next = nullptr;
    ClockAlarm* prev = nullptr;
    bool armed = false;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual Ticks100ns now() const = 0;
    // System time (UTC) in 100 ns units since 1601-01-01, for absolute due times.
    virtual int64_t systemTime() const = 0;
    // Arms (or re-arms) an alarm for `due`. On the real clock an alarm already due fires at
    // once; on the virtual clock at the next advance (advance(0) fires it without moving time).
    virtual void arm(ClockAlarm& alarm, Ticks100ns due) = 0;
    // Returns whether the alarm was armed. If another thread is firing it right now, waits for
    // that fire to return, so the owner may free the alarm afterwards (a fire may disarm its own
    // alarm without waiting for itself).
    virtual bool disarm(ClockAlarm& alarm) = 0;
    // Blocks the calling thread for `interval`. The virtual clock advances itself by it.
    virtual void sleepFor(Ticks100ns interval) = 0;
    virtual bool isVirtual() const = 0;
};

// Shared bookkeeping of armed alarms, ordered by due time, and of the one being fired, so that
// disarming waits for a fire under way on another thread. Callers hold their clock's mutex.
class AlarmList {
public:
    void insert(ClockAlarm& alarm);
    bool remove(ClockAlarm& alarm);
    ClockAlarm* first() const { return m_head; }
    // Removes `alarm` and waits while another thread fires it; whether it was armed.
    bool disarm(std::unique_lock<std::mutex>& lock, ClockAlarm& alarm);
    // Takes the head off the list and fires it with the lock released.
    void fireHead(std::unique_lock<std::mutex>& lock);

private:
    ClockAlarm* m_head = nullptr;
    ClockAlarm* m_firing = nullptr;
    std::thread::id m_firingThread;
    std::condition_variable m_fired;
};

// The host's monotonic clock; alarms fire on a clock thread of their own.
class RealClock final : public Clock {
public:
    RealClock();
    ~RealClock() override;
    Ticks100ns now() const override;
    int64_t systemTime() const override;
    void arm(ClockAlarm& alarm, Ticks100ns due) override;
    bool disarm(ClockAlarm& alarm) override;
    void sleepFor(Ticks100ns interval) override;
    bool isVirtual() const override { return false; }

private:
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    AlarmList m_alarms;
    bool m_stop = false;
    std::thread m_thread;
};

// Test time: stands still until advanced. Advancing fires every alarm that falls due, in due
// order, each at its own time, and after each one lets the machine settle (queued DPCs and
// interrupts run to the end) so that tests see a deterministic order of events.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(int64_t systemTimeAtStart = 0);
    Ticks100ns now() const override;
    int64_t systemTime() const override;
    void arm(ClockAlarm& alarm, Ticks100ns due) override;
    bool disarm(ClockAlarm& alarm) override;
    // Advances the clock by `interval` from the calling thread, so a delay never hangs a test.
    void sleepFor(Ticks100ns interval) override;
    bool isVirtual() const override { return true; }

    void advance(Ticks100ns interval);
    void advanceTo(Ticks100ns when);
    // Called after every alarm fired by an advance; the kernel installs its settle here.
    void setSettleHook(std::function<void()> hook);

private:
    mutable std::mutex m_mutex;
    std::mutex m_advanceMutex; // one advance at a time
    AlarmList m_alarms;
    Ticks100ns m_now = 0;
    int64_t m_systemAtStart;
    std::function<void()> m_settle;
};

} // namespace ntemu
