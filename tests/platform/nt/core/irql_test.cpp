// IRQL per thread, raise and lower rules, and the balance check around driver routines.
#include "core_fixture.h"

#include <thread>

namespace ntemu::test {
namespace {

using IrqlTest = KernelFixture;

TEST_F(IrqlTest, RaiseAndLowerFollowTheRules) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    EXPECT_EQ(KfRaiseIrql(APC_LEVEL), DISPATCH_LEVEL);
    EXPECT_EQ(verifier::consume(Check::RaiseToLower), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "a raise downwards must not lower";

    KeLowerIrql(HIGH_LEVEL);
    EXPECT_EQ(verifier::consume(Check::LowerToHigher), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "a lower upwards must not raise";

    KfRaiseIrql(HIGH_LEVEL + 1);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, EachThreadHasItsOwnIrql) {
    KfRaiseIrql(DISPATCH_LEVEL);
    KIRQL seen = 0xFF;
    std::thread other([&] { seen = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);
    KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, RoutineChecksReportTheRoutineAndLevels) {
    irql::checkAtMost("SomeRoutine", DISPATCH_LEVEL);
    irql::checkExactly("OtherRoutine", PASSIVE_LEVEL);
    EXPECT_EQ(verifier::pendingCount(), 0u);

    KfRaiseIrql(DISPATCH_LEVEL);
    irql::checkAtMost("SomeRoutine", APC_LEVEL);
    irql::checkExactly("OtherRoutine", PASSIVE_LEVEL);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].check, Check::IrqlTooHigh);
    EXPECT_EQ(reports[0].routine, "SomeRoutine");
    EXPECT_NE(reports[0].detail.find("IRQL 2"), std::string::npos);
    EXPECT_EQ(reports[1].check, Check::IrqlNotExact);
    EXPECT_EQ(reports[1].routine, "OtherRoutine");
    KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, GuardReportsUnbalancedIrqlAndRestoresIt) {
    {
        DriverCallGuard guard("BalancedRoutine");
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        KfLowerIrql(old);
    }
    EXPECT_EQ(verifier::pendingCount(), 0u);
    {
        DriverCallGuard guard("LeakyRoutine");
        KfRaiseIrql(DISPATCH_LEVEL);
    }
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::IrqlUnbalanced);
    EXPECT_EQ(reports[0].routine, "LeakyRoutine");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, GuardReportsALockLeftHeld) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    {
        DriverCallGuard guard("KeepsLock");
        KeAcquireSpinLock(&lock, &old);
        irql::set(PASSIVE_LEVEL);
    }
    EXPECT_EQ(verifier::consume(Check::IrqlUnbalanced), 1u);
    EXPECT_EQ(irql::heldLockCount(), 1u);
    irql::set(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(irql::heldLockCount(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, RaiseStatusThrowsItsStatusAndChecksIrql) {
    try {
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        FAIL() << "ExRaiseStatus returned";
    } catch (const NtStatusException& e) {
        EXPECT_EQ(e.Status, STATUS_INSUFFICIENT_RESOURCES);
    }
    KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_THROW(ExRaiseStatus(STATUS_NO_MEMORY), NtStatusException);
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    KfLowerIrql(PASSIVE_LEVEL);
}

} // namespace
} // namespace ntemu::test
