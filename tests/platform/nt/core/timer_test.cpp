// Kernel timers and delays on the virtual clock: expiry order, re-arming, cancelling, the stale
// DPC after a re-arm, tick quantisation and periodic timers.
#include "core_fixture.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace ntemu::test {
namespace {

LARGE_INTEGER relative(Ticks100ns interval) {
    LARGE_INTEGER due;
    due.QuadPart = -interval;
    return due;
}

// Each timer DPC appends its id and the interrupt time at which it ran.
struct Log {
    std::mutex mutex;
    std::vector<std::pair<int, Ticks100ns>> entries;
    std::vector<int> ids() {
        std::lock_guard lock(mutex);
        std::vector<int> out;
        for (auto& e : entries)
            out.push_back(e.first);
        return out;
    }
    std::vector<Ticks100ns> times() {
        std::lock_guard lock(mutex);
        std::vector<Ticks100ns> out;
        for (auto& e : entries)
            out.push_back(e.second);
        return out;
    }
};

struct Timed {
    Log* log;
    int id;
    KTIMER timer;
    KDPC dpc;
};

VOID logDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* t = static_cast<Timed*>(context);
    std::lock_guard lock(t->log->mutex);
    t->log->entries.emplace_back(t->id, static_cast<Ticks100ns>(KeQueryInterruptTime()));
}

class TimerTest : public KernelFixture {
protected:
    explicit TimerTest(Ticks100ns tick = 0) : KernelFixture(tick) {}
    void prepare(Timed& t, int id) {
        t.log = &log;
        t.id = id;
        KeInitializeTimer(&t.timer);
        KeInitializeDpc(&t.dpc, logDpc, &t);
    }
    Log log;
};

TEST_F(TimerTest, TimersExpireInDueOrderEachAtItsTime) {
    Timed t[3];
    for (int i = 0; i < 3; ++i)
        prepare(t[i], i);
    EXPECT_FALSE(KeSetTimer(&t[0].timer, relative(30 * kMillisecond), &t[0].dpc));
    EXPECT_FALSE(KeSetTimer(&t[1].timer, relative(10 * kMillisecond), &t[1].dpc));
    EXPECT_FALSE(KeSetTimer(&t[2].timer, relative(20 * kMillisecond), &t[2].dpc));
    clock().advance(100 * kMillisecond);
    EXPECT_EQ(log.ids(), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(log.times(),
              (std::vector<Ticks100ns>{10 * kMillisecond, 20 * kMillisecond, 30 * kMillisecond}));
    EXPECT_TRUE(KeReadStateTimer(&t[0].timer));
    EXPECT_FALSE(t[0].timer.Header.Inserted);
}

TEST_F(TimerTest, RearmingReplacesADueTimeAndReportsWhetherItWasSet) {
    Timed t;
    prepare(t, 7);
    KeSetTimer(&t.timer, relative(10 * kMillisecond), &t.dpc);
    EXPECT_TRUE(KeSetTimer(&t.timer, relative(50 * kMillisecond), &t.dpc));
    clock().advance(40 * kMillisecond);
    EXPECT_TRUE(log.ids().empty()) << "the replaced due time never fires";
    clock().advance(10 * kMillisecond);
    EXPECT_EQ(log.times(), (std::vector<Ticks100ns>{50 * kMillisecond}));
    EXPECT_FALSE(KeSetTimer(&t.timer, relative(kMillisecond), &t.dpc)) << "expired is not set";
    EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "setting clears the signal";
    clock().advance(kMillisecond);
    EXPECT_EQ(log.ids().size(), 2u);
}

TEST_F(TimerTest, CancelIsTrueOnlyForASetTimer) {
    Timed t;
    prepare(t, 1);
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    KeSetTimer(&t.timer, relative(10 * kMillisecond), &t.dpc);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    clock().advance(20 * kMillisecond);
    EXPECT_TRUE(log.ids().empty());
    KeSetTimer(&t.timer, relative(10 * kMillisecond), &t.dpc);
    clock().advance(10 * kMillisecond);
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    EXPECT_EQ(log.ids().size(), 1u);
}

TEST_F(TimerTest, PastDueTimeSignalsAndQueuesAtOnce) {
    Timed t;
    prepare(t, 3);
    LARGE_INTEGER longAgo;
    longAgo.QuadPart = 0;
    EXPECT_FALSE(KeSetTimer(&t.timer, longAgo, &t.dpc));
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    kernel().settle();
    EXPECT_EQ(log.times(), (std::vector<Ticks100ns>{0}));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
}

TEST_F(TimerTest, AbsoluteDueTimeIsSystemTime) {
    Timed t;
    prepare(t, 4);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 5 * kMillisecond;
    KeSetTimer(&t.timer, due, &t.dpc);
    clock().advance(4 * kMillisecond);
    EXPECT_TRUE(log.ids().empty());
    clock().advance(kMillisecond);
    EXPECT_EQ(log.times(), (std::vector<Ticks100ns>{5 * kMillisecond}));
}

TEST_F(TimerTest, PeriodicTimerRearmsItself) {
    Timed t;
    prepare(t, 5);
    KeSetTimerEx(&t.timer, relative(10 * kMillisecond), 5, &t.dpc);
    clock().advance(21 * kMillisecond);
    EXPECT_EQ(log.times(),
              (std::vector<Ticks100ns>{10 * kMillisecond, 15 * kMillisecond, 20 * kMillisecond}));
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    clock().advance(20 * kMillisecond);
    EXPECT_EQ(log.ids().size(), 3u);

    KeSetTimerEx(&t.timer, relative(kMillisecond), -1, nullptr);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    EXPECT_EQ(t.timer.Period, 0);
    KeCancelTimer(&t.timer);
}

// A timer DPC still in its routine when the timer is re-armed: the re-arm reports an expired
// timer, the stale run sees the new state, and the new due time brings a second run.
struct Stale {
    Gate gate;
    std::atomic<int> generation{1};
    std::vector<int> seen;
    std::mutex mutex;
};

VOID staleDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<Stale*>(context);
    s->gate.arrive();
    s->gate.waitOpen();
    std::lock_guard lock(s->mutex);
    s->seen.push_back(s->generation);
}

TEST_F(TimerTest, StaleDpcAfterRearmSeesTheNewState) {
    Stale s;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, staleDpc, &s);
    KeSetTimer(&timer, relative(10 * kMillisecond), &dpc);
    std::thread advancing([&] { clock().advance(10 * kMillisecond); });
    ASSERT_TRUE(s.gate.waitArrivals(1));
    s.generation = 2;
    EXPECT_FALSE(KeSetTimer(&timer, relative(10 * kMillisecond), &dpc));
    s.gate.open();
    advancing.join();
    EXPECT_TRUE(timer.Header.Inserted) << "the re-arm is still pending";
    clock().advance(10 * kMillisecond);
    std::lock_guard lock(s.mutex);
    EXPECT_EQ(s.seen, (std::vector<int>{2, 2}));
}

TEST_F(TimerTest, TimerInFreedMemoryIsReportedAndNeverFires) {
    Timed t;
    prepare(t, 6);
    KeSetTimer(&t.timer, relative(10 * kMillisecond), &t.dpc);
    kernel().checkFreedRange(&t.timer, sizeof t.timer, "ExFreePool");
    EXPECT_EQ(verifier::consume(Check::TimerInFreedMemory), 1u);
    EXPECT_FALSE(t.timer.Header.Inserted);

    Timed other;
    prepare(other, 8);
    KeSetTimer(&other.timer, relative(10 * kMillisecond), &t.dpc);
    kernel().checkFreedRange(&t.dpc, sizeof t.dpc, "ExFreePool");
    EXPECT_EQ(verifier::consume(Check::DpcInFreedMemory), 1u) << "a set timer aims at it";
    clock().advance(20 * kMillisecond);
    EXPECT_TRUE(log.ids().empty());
}

TEST_F(TimerTest, DelayAdvancesTheVirtualClockAndIsRefusedAtDispatch) {
    LARGE_INTEGER interval = relative(3 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * kMillisecond));

    KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_NE(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(verifier::consume(Check::SleepAtDispatch), 1u);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * kMillisecond));
    KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(TimerTest, DelayFiresTimersFallingDueMeanwhile) {
    Timed t;
    prepare(t, 9);
    KeSetTimer(&t.timer, relative(2 * kMillisecond), &t.dpc);
    LARGE_INTEGER interval = relative(5 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(log.times(), (std::vector<Ticks100ns>{2 * kMillisecond}));
}

class TimerTickedTimerTest : public TimerTest {
protected:
    TimerTickedTimerTest() : TimerTest(10 * kMillisecond) {}
};

TEST_F(TimerTickedTimerTest, ExpiryWaitsForTheNextTick) {
    Timed t[2];
    prepare(t[0], 0);
    prepare(t[1], 1);
    KeSetTimer(&t[0].timer, relative(10), &t[0].dpc); // the 1 us of a time-out of 0
    KeSetTimer(&t[1].timer, relative(15 * kMillisecond), &t[1].dpc);
    clock().advance(10 * kMillisecond - 1);
    EXPECT_TRUE(log.ids().empty());
    clock().advance(1);
    EXPECT_EQ(log.ids(), (std::vector<int>{0}));
    clock().advance(10 * kMillisecond);
    EXPECT_EQ(log.times(), (std::vector<Ticks100ns>{10 * kMillisecond, 20 * kMillisecond}));
}

TEST_F(TimerTickedTimerTest, DelayLastsUntilTheNextTick) {
    LARGE_INTEGER interval = relative(1000);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(10 * kMillisecond));
}

} // namespace
} // namespace ntemu::test
