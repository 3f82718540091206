// Spin locks: IRQL rules, owner tracking, the cancel spin lock, lock-order cycles, and real
// mutual exclusion between threads.
#include "core_fixture.h"

#include <cstdio>
#include <thread>
#include <vector>

namespace ntemu::test {
namespace {

class SpinlockTest : public KernelFixture {
protected:
    SpinlockTest() {
        KeInitializeSpinLock(&a);
        KeInitializeSpinLock(&b);
    }
    KSPIN_LOCK a;
    KSPIN_LOCK b;
};

TEST_F(SpinlockTest, AcquireRaisesToDispatchAndReleaseRestores) {
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(a, 0u) << "a held lock's word names its owner";
    KeAcquireSpinLockAtDpcLevel(&b);
    EXPECT_EQ(irql::heldLockCount(), 2u);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(SpinlockTest, WrongIrqlIsReported) {
    KeAcquireSpinLockAtDpcLevel(&a);
    EXPECT_EQ(verifier::consume(Check::IrqlNotExact), 1u);
    KeReleaseSpinLockFromDpcLevel(&a);
    EXPECT_EQ(verifier::consume(Check::IrqlNotExact), 1u);

    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KfLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(verifier::consume(Check::SpinLockReleaseIrql), 1u);
    EXPECT_EQ(a, 0u) << "the lock is still released";

    irql::set(16);
    KeAcquireSpinLock(&a, &old);
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), 16);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(verifier::consume(Check::SpinLockReleaseIrql), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), 16);
    irql::set(PASSIVE_LEVEL);
}

TEST_F(SpinlockTest, RecursionIsReportedNotDeadlockedAndStaysBalanced) {
    KIRQL outer;
    KIRQL inner;
    KeAcquireSpinLock(&a, &outer);
    KeAcquireSpinLock(&a, &inner);
    EXPECT_EQ(verifier::consume(Check::SpinLockRecursion), 1u);
    KeReleaseSpinLock(&a, inner);
    EXPECT_NE(a, 0u) << "the inner release must not free the outer hold";
    KeReleaseSpinLock(&a, outer);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(SpinlockTest, ReleaseByNonOwnerIsReportedAndIgnored) {
    irql::set(DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&a);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::SpinLockNotOwned);
    EXPECT_NE(reports[0].detail.find("not held"), std::string::npos);

    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    std::thread other([&] {
        irql::set(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&a);
    });
    other.join();
    EXPECT_EQ(verifier::consume(Check::SpinLockNotOwned), 1u);
    EXPECT_NE(a, 0u) << "a foreign release must not free the lock";
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(SpinlockTest, CancelSpinLockIsOneOrdinaryLock) {
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(*Kernel::cancelSpinLock(), 0u);
    KIRQL again;
    IoAcquireCancelSpinLock(&again);
    EXPECT_EQ(verifier::consume(Check::SpinLockRecursion), 1u);
    IoReleaseCancelSpinLock(again);
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(*Kernel::cancelSpinLock(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinlockTest, InvertedOrderIsReportedNamingBothLocks) {
    kernel().nameSpinLock(&a, "LockA");
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(verifier::pendingCount(), 0u);

    KeAcquireSpinLock(&b, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::LockOrder);
    EXPECT_NE(reports[0].detail.find("LockA"), std::string::npos);
    char address[32];
    std::snprintf(address, sizeof address, "%#llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&b)));
    EXPECT_NE(reports[0].detail.find(address), std::string::npos);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
}

TEST_F(SpinlockTest, DeclaredOrderCatchesTheFirstInversion) {
    kernel().declareLockOrder(&a, Kernel::cancelSpinLock());
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    KeAcquireSpinLockAtDpcLevel(&a);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::LockOrder);
    EXPECT_NE(reports[0].detail.find("cancel spin lock"), std::string::npos);
    KeReleaseSpinLockFromDpcLevel(&a);
    IoReleaseCancelSpinLock(old);

    kernel().declareLockOrder(Kernel::cancelSpinLock(), &a);
    EXPECT_EQ(verifier::consume(Check::LockOrder), 1u) << "a contradicting declaration";
}

TEST_F(SpinlockTest, LongerCyclesAreFound) {
    KSPIN_LOCK c;
    KeInitializeSpinLock(&c);
    kernel().declareLockOrder(&a, &b);
    kernel().declareLockOrder(&b, &c);
    KIRQL old;
    KeAcquireSpinLock(&c, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    EXPECT_EQ(verifier::consume(Check::LockOrder), 1u);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&c, old);
}

TEST_F(SpinlockTest, FreedLocksLeaveTheOrderGraph) {
    struct Pair {
        KSPIN_LOCK first;
        KSPIN_LOCK second;
    } pair{};
    kernel().declareLockOrder(&pair.first, &pair.second);
    kernel().checkFreedRange(&pair, sizeof pair, "ExFreePool");
    KIRQL old;
    KeAcquireSpinLock(&pair.second, &old);
    KeAcquireSpinLockAtDpcLevel(&pair.first);
    EXPECT_EQ(verifier::pendingCount(), 0u) << "storage reused for new locks has no history";
    KeReleaseSpinLockFromDpcLevel(&pair.first);
    KeReleaseSpinLock(&pair.second, old);
}

TEST_F(SpinlockTest, ConcurrencyLockExcludesOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kIterations = 20000;
    long counter = 0; // deliberately not atomic: only the spin lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&a, &old);
                long seen = counter;
                counter = seen + 1;
                KeReleaseSpinLock(&a, old);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kIterations);
    EXPECT_EQ(a, 0u);
}

} // namespace
} // namespace ntemu::test
