// The virtual clock's ordering and settling, and the fault-injection counters.
#include "ntemu/clock.h"
#include "ntemu/faults.h"
#include "ntemu/verifier.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace ntemu;

namespace {

struct Recorder {
    ClockAlarm alarm;
    std::vector<std::pair<int, Ticks100ns>>* log = nullptr;
    VirtualClock* clock = nullptr;
    int id = 0;

    Recorder(VirtualClock& c, std::vector<std::pair<int, Ticks100ns>>& l, int i)
        : log(&l), clock(&c), id(i) {
        alarm.context = this;
        alarm.fire = [](ClockAlarm* a) {
            auto* self = static_cast<Recorder*>(a->context);
            self->log->push_back({self->id, self->clock->now()});
        };
    }
};

} // namespace

TEST(ClockFaultsTest, VirtualClockFiresAlarmsInDueOrderEachAtItsOwnTime) {
    VirtualClock clock;
    std::vector<std::pair<int, Ticks100ns>> log;
    Recorder a(clock, log, 1), b(clock, log, 2), c(clock, log, 3);
    clock.arm(c.alarm, 30);
    clock.arm(a.alarm, 10);
    clock.arm(b.alarm, 20);
    clock.advance(25);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], std::make_pair(1, Ticks100ns{10}));
    EXPECT_EQ(log[1], std::make_pair(2, Ticks100ns{20}));
    EXPECT_EQ(clock.now(), 25);
    EXPECT_TRUE(clock.disarm(c.alarm));
    EXPECT_FALSE(clock.disarm(c.alarm));
    clock.advance(100);
    EXPECT_EQ(log.size(), 2u);
}

TEST(ClockFaultsTest, VirtualClockRearmingMovesTheAlarmAndEqualDueTimesKeepArmingOrder) {
    VirtualClock clock;
    std::vector<std::pair<int, Ticks100ns>> log;
    Recorder a(clock, log, 1), b(clock, log, 2);
    clock.arm(a.alarm, 50);
    clock.arm(b.alarm, 50);
    clock.arm(a.alarm, 70);
    clock.arm(a.alarm, 50);
    clock.advance(60);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].first, 2);
    EXPECT_EQ(log[1].first, 1);
}

TEST(ClockFaultsTest, VirtualClockAlarmArmedInThePastFiresAtTheNextAdvanceWithoutMovingTime) {
    VirtualClock clock;
    clock.advance(100);
    std::vector<std::pair<int, Ticks100ns>> log;
    Recorder a(clock, log, 1);
    clock.arm(a.alarm, 5);
    EXPECT_TRUE(log.empty());
    clock.advance(0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].second, 100);
}

TEST(ClockFaultsTest, VirtualClockSleepAdvancesTheClockAndSettlesAfterEveryFire) {
    VirtualClock clock;
    int settles = 0;
    clock.setSettleHook([&] { ++settles; });
    std::vector<std::pair<int, Ticks100ns>> log;
    Recorder a(clock, log, 1);
    clock.arm(a.alarm, 1000);
    clock.sleepFor(kMillisecond);
    EXPECT_EQ(clock.now(), kMillisecond);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(settles, 2); // once after the fire, once at the end of the advance
}

TEST(ClockFaultsTest, VirtualClockSystemTimeFollowsTheVirtualTime) {
    VirtualClock clock(1'000'000);
    clock.advance(kSecond);
    EXPECT_EQ(clock.systemTime(), 1'000'000 + kSecond);
}

TEST(ClockFaultsTest, VirtualClockConcurrencyThreadsSleepingTogetherNeverLoseTime) {
    VirtualClock clock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                Ticks100ns before = clock.now();
                clock.sleepFor(10);
                EXPECT_GE(clock.now(), before + 10);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_GE(clock.now(), 200 * 10);
}

TEST(ClockFaultsTest, RealClockFiresAnAlarmAndSleepsAtLeastItsInterval) {
    RealClock clock;
    std::mutex mutex;
    std::condition_variable fired;
    bool done = false;
    struct Ctx {
        std::mutex* m;
        std::condition_variable* cv;
        bool* flag;
    } ctx{&mutex, &fired, &done};
    ClockAlarm alarm;
    alarm.context = &ctx;
    alarm.fire = [](ClockAlarm* a) {
        auto* c = static_cast<Ctx*>(a->context);
        std::lock_guard lock(*c->m);
        *c->flag = true;
        c->cv->notify_all();
    };
    clock.arm(alarm, clock.now() + kMillisecond);
    std::unique_lock lock(mutex);
    EXPECT_TRUE(fired.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
    lock.unlock();
    Ticks100ns before = clock.now();
    clock.sleepFor(100 * kMicrosecond);
    EXPECT_GE(clock.now() - before, 100 * kMicrosecond);
}

TEST(ClockFaultsTest, NthCallFailsOnceAndFromNthFailsUntilCleared) {
    faults::clear();
    faults::failNth(FaultPoint::IoCreateDevice, 2);
    EXPECT_FALSE(faults::shouldFail(FaultPoint::IoCreateDevice));
    EXPECT_TRUE(faults::shouldFail(FaultPoint::IoCreateDevice));
    EXPECT_FALSE(faults::shouldFail(FaultPoint::IoCreateDevice));
    EXPECT_FALSE(faults::shouldFail(FaultPoint::MmMapIoSpace));
    faults::failFrom(FaultPoint::MmMapIoSpace, 1);
    EXPECT_TRUE(faults::shouldFail(FaultPoint::MmMapIoSpace));
    EXPECT_TRUE(faults::shouldFail(FaultPoint::MmMapIoSpace));
    EXPECT_EQ(faults::calls(FaultPoint::MmMapIoSpace), 3u);
    faults::clear();
    EXPECT_FALSE(faults::shouldFail(FaultPoint::MmMapIoSpace));
}

TEST(ClockFaultsTest, VerifierReportsAreKeptUntilConsumedAndNameTheirRoutine) {
    verifier::report(Check::PoolLeak, "DriverUnload", "tag DrFw: 1 block");
    verifier::report(Check::LockOrder, "KfAcquireSpinLock");
    EXPECT_TRUE(verifier::has(Check::PoolLeak));
    EXPECT_EQ(verifier::consume(Check::PoolLeak), 1u);
    auto rest = verifier::take();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].text(), "verifier: LockOrder in KfAcquireSpinLock");
    EXPECT_EQ(verifier::pendingCount(), 0u);
}
