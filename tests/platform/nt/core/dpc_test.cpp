// DPCs: queuing rules, where and how routines run, re-queuing while running, and the checks
// made around them.
#include "core_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace ntemu::test {
namespace {

using DpcTest = KernelFixture;

struct Seen {
    std::atomic<int> runs{0};
    PVOID arg1 = nullptr;
    PVOID arg2 = nullptr;
    PVOID context = nullptr;
    KIRQL irql = 0xFF;
    ULONG processor = 99;
    std::thread::id thread;
};

VOID recordDpc(PKDPC, PVOID context, PVOID arg1, PVOID arg2) {
    auto* seen = static_cast<Seen*>(context);
    seen->context = context;
    seen->arg1 = arg1;
    seen->arg2 = arg2;
    seen->irql = KeGetCurrentIrql();
    seen->processor = KeGetCurrentProcessorNumber();
    seen->thread = std::this_thread::get_id();
    ++seen->runs;
}

VOID holdDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* gate = static_cast<Gate*>(context);
    gate->arrive();
    gate->waitOpen();
}

TEST_F(DpcTest, RunsAtDispatchOnAProcessorThreadWithItsArguments) {
    Seen seen;
    KDPC dpc;
    KeInitializeDpc(&dpc, recordDpc, &seen);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &seen.arg1, &seen.arg2));
    kernel().settle();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.context, &seen);
    EXPECT_EQ(seen.arg1, &seen.arg1);
    EXPECT_EQ(seen.arg2, &seen.arg2);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen.processor, 0u) << "queued from a request thread";
    EXPECT_NE(seen.thread, std::this_thread::get_id()) << "never run inline";
    EXPECT_EQ(dpc.DpcData, nullptr);
}

TEST_F(DpcTest, SecondInsertWhileQueuedIsFalseAndKeepsTheFirstArguments) {
    Gate gate;
    KDPC blocker;
    KeInitializeDpc(&blocker, holdDpc, &gate);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(gate.waitArrivals(1));

    Seen seen;
    KDPC dpc;
    KeInitializeDpc(&dpc, recordDpc, &seen);
    int first = 1;
    int second = 2;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &first, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, &second, &second));
    EXPECT_EQ(seen.runs, 0) << "queued behind the blocker on the same processor";
    gate.open();
    kernel().settle();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.arg1, &first);
    EXPECT_EQ(seen.arg2, nullptr);
}

TEST_F(DpcTest, RemoveQueueDpcTakesAQueuedDpcBack) {
    Gate gate;
    KDPC blocker;
    KeInitializeDpc(&blocker, holdDpc, &gate);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(gate.waitArrivals(1));
    Seen seen;
    KDPC dpc;
    KeInitializeDpc(&dpc, recordDpc, &seen);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    gate.open();
    kernel().settle();
    EXPECT_EQ(seen.runs, 0);
}

// The timer engine queues on the last processor; the test thread queues the same DPC again on
// processor 0 while the first run is still in its routine, so both run at once.
struct Overlap {
    Gate gate;
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<int> runs{0};
    std::vector<ULONG> processors = std::vector<ULONG>(2, 99);
};

VOID overlapDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* o = static_cast<Overlap*>(context);
    int now = ++o->inside;
    int most = o->mostInside;
    while (now > most && !o->mostInside.compare_exchange_weak(most, now)) {
    }
    o->processors[o->runs++] = KeGetCurrentProcessorNumber();
    o->gate.arrive();
    o->gate.waitOpen();
    --o->inside;
}

TEST_F(DpcTest, RequeuedWhileRunningRunsAgainOnTheOtherProcessor) {
    Overlap o;
    KDPC dpc;
    KeInitializeDpc(&dpc, overlapDpc, &o);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -kMillisecond;
    KeSetTimer(&timer, due, &dpc);
    std::thread advancing([&] { clock().advance(kMillisecond); });
    ASSERT_TRUE(o.gate.waitArrivals(1));
    EXPECT_EQ(dpc.DpcData, nullptr) << "the DPC left its queue before its routine ran";
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    ASSERT_TRUE(o.gate.waitArrivals(2));
    o.gate.open();
    advancing.join();
    kernel().settle();
    EXPECT_EQ(o.mostInside, 2);
    EXPECT_EQ(o.processors[0], 1u);
    EXPECT_EQ(o.processors[1], 0u);
}

struct Chain {
    KDPC second;
    Seen seen;
};

VOID queueSecond(PKDPC, PVOID context, PVOID, PVOID) {
    auto* chain = static_cast<Chain*>(context);
    KeInsertQueueDpc(&chain->second, nullptr, nullptr);
}

TEST_F(DpcTest, AProcessorQueuesOnItself) {
    Chain chain;
    KeInitializeDpc(&chain.second, recordDpc, &chain.seen);
    KDPC first;
    KeInitializeDpc(&first, queueSecond, &chain);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -kMillisecond;
    KeSetTimer(&timer, due, &first);
    clock().advance(kMillisecond);
    EXPECT_EQ(chain.seen.runs, 1);
    EXPECT_EQ(chain.seen.processor, 1u) << "timer DPCs run on the last processor";
}

VOID raiseAndReturn(PKDPC, PVOID, PVOID, PVOID) {
    KfRaiseIrql(HIGH_LEVEL);
}

VOID returnHoldingLock(PKDPC, PVOID context, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

TEST_F(DpcTest, UnbalancedRoutineIsReported) {
    KDPC dpc;
    KeInitializeDpc(&dpc, raiseAndReturn, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    kernel().settle();
    EXPECT_EQ(verifier::consume(Check::IrqlUnbalanced), 1u);

    Seen seen;
    KDPC next;
    KeInitializeDpc(&next, recordDpc, &seen);
    KeInsertQueueDpc(&next, nullptr, nullptr);
    kernel().settle();
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL) << "the processor is back at DISPATCH_LEVEL";

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(&dpc, returnHoldingLock, &lock);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    kernel().settle();
    EXPECT_EQ(verifier::consume(Check::IrqlUnbalanced), 1u);
}

TEST_F(DpcTest, QueuedDpcInFreedMemoryIsReportedAndNeverRuns) {
    Gate gate;
    KDPC blocker;
    KeInitializeDpc(&blocker, holdDpc, &gate);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    ASSERT_TRUE(gate.waitArrivals(1));
    Seen seen;
    struct Extension {
        int before;
        KDPC dpc;
    } extension{};
    KeInitializeDpc(&extension.dpc, recordDpc, &seen);
    KeInsertQueueDpc(&extension.dpc, nullptr, nullptr);
    kernel().checkFreedRange(&extension, sizeof extension, "IoDeleteDevice");
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::DpcInFreedMemory);
    EXPECT_EQ(reports[0].routine, "IoDeleteDevice");
    gate.open();
    kernel().settle();
    EXPECT_EQ(seen.runs, 0);
}

VOID countDpc(PKDPC, PVOID context, PVOID, PVOID) {
    ++*static_cast<std::atomic<long>*>(context);
}

TEST_F(DpcTest, ConcurrencyEveryAcceptedInsertRunsOnce) {
    std::atomic<long> runs{0};
    std::atomic<long> accepted{0};
    KDPC dpc;
    KeInitializeDpc(&dpc, countDpc, &runs);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i)
                accepted += KeInsertQueueDpc(&dpc, nullptr, nullptr);
        });
    for (auto& t : threads)
        t.join();
    kernel().settle();
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(runs, accepted);
}

TEST_F(DpcTest, SettleRunsDrainsUntilAWholePassIsIdle) {
    int calls = 0;
    kernel().addDrain([&] { return ++calls < 3; });
    kernel().settle();
    EXPECT_EQ(calls, 3);
    std::vector<const char*> seen;
    kernel().addUnloadCheck([&](PDRIVER_OBJECT, const char* routine) { seen.push_back(routine); });
    kernel().runUnloadChecks(nullptr, "DriverUnload");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_STREQ(seen[0], "DriverUnload");
}

} // namespace
} // namespace ntemu::test
