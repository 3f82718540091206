// The kernel object's life: one current at a time, its own real clock when given none.
#include "core_fixture.h"

namespace ntemu::test {
namespace {

VOID countRun(PKDPC, PVOID context, PVOID, PVOID) {
    ++*static_cast<int*>(context);
}

TEST(KernelTest, CurrentFollowsTheKernelAndARealClockIsOwned) {
    EXPECT_EQ(Kernel::currentOrNull(), nullptr);
    {
        Kernel kernel;
        EXPECT_EQ(&Kernel::current(), &kernel);
        EXPECT_FALSE(kernel.clock().isVirtual());
        EXPECT_EQ(kernel.options().processors, 2u);
        int runs = 0;
        KTIMER timer;
        KDPC dpc;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, countRun, &runs);
        LARGE_INTEGER longAgo;
        longAgo.QuadPart = 0;
        KeSetTimer(&timer, longAgo, &dpc);
        kernel.settle();
        EXPECT_EQ(runs, 1);
    }
    EXPECT_EQ(Kernel::currentOrNull(), nullptr);
}

TEST(KernelTest, OneProcessorRunsEverythingInOrder) {
    VirtualClock clock(1);
    KernelOptions options;
    options.clock = &clock;
    options.processors = 1;
    Kernel kernel(options);
    int runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, countRun, &runs);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -kMillisecond;
    KeSetTimer(&timer, due, &dpc);
    clock.advance(kMillisecond);
    EXPECT_EQ(runs, 1);
}

} // namespace
} // namespace ntemu::test
