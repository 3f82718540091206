// Pool with tags: IRQL rules, fill pattern, guards, bad frees, leaks by tag, and failure
// injection.
#include "core_fixture.h"

#include "ntemu/faults.h"

namespace ntemu::test {
namespace {

constexpr ULONG kDrFw = 0x77467244;  // "DrFw" as pool dumps show it
constexpr ULONG kOther = 0x3174734B; // "Kst1"

class PoolTest : public KernelFixture {
protected:
    ~PoolTest() override { faults::clear(); }
};

TEST_F(PoolTest, BlocksAreFilledRegisteredAndReleased) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 40, kDrFw));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    size_t zeros = 0;
    for (int i = 0; i < 40; ++i)
        zeros += p[i] == 0;
    EXPECT_EQ(zeros, 0u) << "fresh pool is not initialised, and must not look zeroed";
    EXPECT_EQ(kernel().poolBlockCount(kDrFw), 1u);
    auto blocks = kernel().poolBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].bytes, 40u);
    EXPECT_EQ(blocks[0].type, PagedPool);
    EXPECT_EQ(blocks[0].address, p);
    ExFreePool(p);
    EXPECT_EQ(kernel().poolBlockCount(kDrFw), 0u);

    void* page = ExAllocatePool(NonPagedPool, 8192);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
    ExFreePoolWithTag(page, 0x656E6F4E);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(PoolTest, PagedPoolAboveApcAndNonPagedAboveDispatchAreReported) {
    KfRaiseIrql(DISPATCH_LEVEL);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kDrFw);
    EXPECT_EQ(verifier::pendingCount(), 0u);
    void* paged = ExAllocatePoolWithTag(PagedPool, 16, kDrFw);
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    ExFreePool(paged);
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    ExFreePool(nonPaged);
    EXPECT_EQ(verifier::pendingCount(), 0u);
    KfLowerIrql(PASSIVE_LEVEL);

    EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(3), 16, kDrFw), nullptr);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
}

TEST_F(PoolTest, ZeroBytesIsReportedButAllocated) {
    void* p = ExAllocatePoolWithTag(PagedPool, 0, kDrFw);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(verifier::consume(Check::PoolZeroBytes), 1u);
    ExFreePool(p);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(PoolTest, BadFreesAreReportedAndIgnored) {
    int notPool = 0;
    ExFreePool(&notPool);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::PoolBadFree);
    EXPECT_NE(reports[0].detail.find("not allocated"), std::string::npos);

    void* p = ExAllocatePoolWithTag(PagedPool, 24, kDrFw);
    void* keep = ExAllocatePoolWithTag(PagedPool, 24, kDrFw);
    ExFreePool(p);
    ExFreePool(p);
    reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::PoolBadFree);
    EXPECT_NE(reports[0].detail.find("already freed"), std::string::npos);
    EXPECT_EQ(kernel().poolBlockCount(kDrFw), 1u) << "the second free touched nothing else";

    ExFreePool(nullptr);
    EXPECT_EQ(verifier::consume(Check::PoolBadFree), 1u);
    ExFreePoolWithTag(keep, kOther);
    EXPECT_EQ(verifier::consume(Check::PoolBadFree), 1u) << "wrong tag";
    EXPECT_EQ(kernel().poolBlockCount(kDrFw), 0u) << "a valid block is still freed";
}

TEST_F(PoolTest, OverrunIsFoundOnFree) {
    auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kDrFw));
    p[10] = 'x';
    ExFreePool(p);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::PoolOverrun);
    EXPECT_NE(reports[0].detail.find("DrFw"), std::string::npos);
}

TEST_F(PoolTest, LeaksAreReportedByTagWithCountAndBytes) {
    void* a = ExAllocatePoolWithTag(PagedPool, 32, kDrFw);
    void* b = ExAllocatePoolWithTag(PagedPool, 64, kDrFw);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_EQ(kernel().reportPoolLeaks("DriverUnload"), 3u);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 2u);
    bool sawDrFw = false;
    for (auto& r : reports) {
        EXPECT_EQ(r.check, Check::PoolLeak);
        EXPECT_EQ(r.routine, "DriverUnload");
        if (r.detail.find("'DrFw' (0x77467244)") != std::string::npos) {
            sawDrFw = true;
            EXPECT_NE(r.detail.find("2 block(s), 96 byte(s)"), std::string::npos) << r.detail;
        }
    }
    EXPECT_TRUE(sawDrFw);
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_EQ(kernel().reportPoolLeaks("DriverUnload"), 0u);
}

TEST_F(PoolTest, NthAllocationCanBeMadeToFail) {
    faults::failNth(FaultPoint::PoolAllocation, 2);
    void* first = ExAllocatePoolWithTag(PagedPool, 8, kDrFw);
    void* second = ExAllocatePoolWithTag(PagedPool, 8, kDrFw);
    void* third = ExAllocatePoolWithTag(PagedPool, 8, kDrFw);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(kernel().poolBlockCount(kDrFw), 2u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(PoolTest, FreeingStorageTakesItsTimerOut) {
    auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kDrFw));
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * kMillisecond;
    KeSetTimer(timer, due, nullptr);
    ExFreePool(timer);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::TimerInFreedMemory);
    EXPECT_EQ(reports[0].routine, "ExFreePool");
    clock().advance(20 * kMillisecond);
}

} // namespace
} // namespace ntemu::test
