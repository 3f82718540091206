// Kernel device queues: the busy flag, FIFO order, Inserted marks and the idle-queue rules.
#include "core_fixture.h"

namespace ntemu::test {
namespace {

class DevqueueTest : public KernelFixture {
protected:
    DevqueueTest() {
        KeInitializeDeviceQueue(&queue);
        irql::set(DISPATCH_LEVEL);
    }
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY entries[3]{};
};

TEST_F(DevqueueTest, FirstInsertStartsTheRestQueueInOrder) {
    EXPECT_FALSE(KeInsertDeviceQueue(&queue, &entries[0]));
    EXPECT_TRUE(queue.Busy);
    EXPECT_FALSE(entries[0].Inserted);
    EXPECT_TRUE(IsListEmpty(&queue.DeviceListHead));
    EXPECT_TRUE(KeInsertDeviceQueue(&queue, &entries[1]));
    EXPECT_TRUE(KeInsertDeviceQueue(&queue, &entries[2]));
    EXPECT_TRUE(entries[1].Inserted);

    EXPECT_EQ(KeRemoveDeviceQueue(&queue), &entries[1]);
    EXPECT_FALSE(entries[1].Inserted);
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), &entries[2]);
    EXPECT_TRUE(queue.Busy) << "busy while the removed entry is being worked on";
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
    EXPECT_FALSE(queue.Busy);
    EXPECT_EQ(queue.Lock, 0u);
    EXPECT_EQ(verifier::pendingCount(), 0u);
}

TEST_F(DevqueueTest, RemoveFromAnIdleQueueIsReported) {
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
    EXPECT_EQ(verifier::consume(Check::DeviceQueueNotBusy), 1u);
    EXPECT_FALSE(queue.Busy);
}

TEST_F(DevqueueTest, RemoveEntryNeverChangesBusy) {
    irql::set(PASSIVE_LEVEL);
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &entries[0])) << "idle queue: quietly FALSE";
    EXPECT_EQ(verifier::pendingCount(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    irql::set(DISPATCH_LEVEL);
    KeInsertDeviceQueue(&queue, &entries[0]);
    KeInsertDeviceQueue(&queue, &entries[1]);
    KeInsertDeviceQueue(&queue, &entries[2]);
    EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &entries[1]));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &entries[1]));
    EXPECT_FALSE(entries[1].Inserted);
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), &entries[2]);
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &entries[0]))
        << "the started entry is not queued";
    EXPECT_TRUE(queue.Busy);
}

TEST_F(DevqueueTest, InsertAndRemoveNeedExactlyDispatch) {
    irql::set(PASSIVE_LEVEL);
    KeInsertDeviceQueue(&queue, &entries[0]);
    KeRemoveDeviceQueue(&queue);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].check, Check::IrqlNotExact);
    EXPECT_EQ(reports[0].routine, "KeInsertDeviceQueue");
    EXPECT_EQ(reports[1].routine, "KeRemoveDeviceQueue");
}

} // namespace
} // namespace ntemu::test
