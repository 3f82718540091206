// Tests of CIrpQueue in both modes, driven through the I/O manager by the test driver's
// start-I/O device: order, busy and idle, flushes, the claim of the current request,
// deferred completion and cancellation at every stage.
#include "system_fixture.h"

#include <atomic>
#include <vector>

using namespace drvfwtest;

namespace {

std::vector<ULONG> startedIds(QueueDevice& device) {
    std::vector<ULONG> ids;
    for (const StartRecord& record : device.starts())
        ids.push_back(record.id);
    return ids;
}

// Keeps DPC processor 0, where the DPCs queued from a test thread run, busy while it lives, so
// that DPCs queued meanwhile wait behind it.
class ProcessorHold {
public:
    ProcessorHold() {
        KeInitializeDpc(&m_dpc, Hold, this);
        KeInsertQueueDpc(&m_dpc, nullptr, nullptr);
    }
    ~ProcessorHold() {
        m_release = true;
        waitFor(m_done);
    }

private:
    static void waitFor(const std::atomic<bool>& flag) {
        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!flag.load() && std::chrono::steady_clock::now() < bound)
            std::this_thread::yield();
    }
    static VOID Hold(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<ProcessorHold*>(context);
        waitFor(self->m_release);
        self->m_done = true;
    }

    KDPC m_dpc{};
    std::atomic<bool> m_release{false};
    std::atomic<bool> m_done{false};
};

class QueueTest : public SystemFixture, public testing::WithParamInterface<bool> {
protected:
    virtual DriverConfig config() { return DriverConfig{1, GetParam()}; }

    void SetUp() override {
        driverConfig() = config();
        boot();
        ASSERT_EQ(load(QueueDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(g_devices.size(), 1u);
        m_device = static_cast<QueueDevice*>(g_devices[0]);
        m_handle = open(u"\\\\.\\FwQueue0", FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_NE(m_handle, 0u);
    }

    // Sends a request and waits until the driver holds it, so that requests queue in the
    // order in which they were sent.
    std::unique_ptr<Request> send(ULONG id, ntemu::Handle handle = 0, ULONG code = kIoctlQueue) {
        auto request = std::make_unique<Request>(process(), handle ? handle : m_handle, id, code);
        EXPECT_TRUE(request->pending()) << "request " << id;
        return request;
    }

    // Sends a request that the dispatch routine queues only once it has been cancelled.
    std::unique_ptr<Request> sendCancelledBeforeQueued(ULONG id, ULONG code) {
        const int arrived = g_waitingForCancel.load() + 1;
        auto request = std::make_unique<Request>(process(), m_handle, id, code);
        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (g_waitingForCancel.load() < arrived && std::chrono::steady_clock::now() < bound)
            std::this_thread::yield();
        request->cancel();
        return request;
    }

    // Marks the queue busy as if a request were in progress.
    void holdBusy() {
        m_device->IrpQueue.AcquireQueueLock();
        m_device->IrpQueue.DeviceQueue.Busy = TRUE;
        m_device->IrpQueue.ReleaseQueueLock();
    }

    bool idle() {
        return m_device->IrpQueue.GetCurrentIrp() == nullptr &&
               !m_device->IrpQueue.DeviceQueue.Busy;
    }

    QueueDevice* m_device = nullptr;
    ntemu::Handle m_handle = 0;
};

INSTANTIATE_TEST_SUITE_P(Modes, QueueTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Legacy" : "Queue"; });

TEST_P(QueueTest, StartsAtOnceWhenIdleAndThenInOrder) {
    auto first = send(1);
    ASSERT_EQ(m_device->startCount(), 1u);
    StartRecord started = m_device->starts()[0];
    EXPECT_EQ(started.id, 1u);
    EXPECT_EQ(started.irql, DISPATCH_LEVEL);
    EXPECT_NE(m_device->IrpQueue.GetCurrentIrp(), nullptr);

    auto second = send(2), third = send(3), fourth = send(4);
    EXPECT_EQ(m_device->startCount(), 1u);
    for (ULONG expected = 1; expected <= 4; ++expected)
        EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), expected);
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 0u);
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1, 2, 3, 4}));
    for (auto* request : {first.get(), second.get(), third.get(), fourth.get()}) {
        EXPECT_EQ(request->status(), STATUS_SUCCESS);
        EXPECT_EQ(request->echoed(), request->id());
    }
    EXPECT_TRUE(idle());

    Request again(process(), m_handle, 5, kIoctlQueueAndFinish);
    EXPECT_EQ(again.status(), STATUS_SUCCESS);
    EXPECT_EQ(again.echoed(), 5u);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, CleanupCancelsOnlyTheClosingFilesRequests) {
    ntemu::Handle other = open(u"\\\\.\\FwQueue0", FILE_SHARE_READ);
    auto a1 = send(11), b1 = send(21, other), a2 = send(12), b2 = send(22, other);
    ASSERT_EQ(process().close(m_handle), STATUS_SUCCESS);
    EXPECT_EQ(a1->status(), STATUS_CANCELLED);
    EXPECT_EQ(a2->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 2u);
    // The cancelled current request started the next one of the other file.
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{11, 21}));
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 21u);
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 22u);
    EXPECT_EQ(b1->status(), STATUS_SUCCESS);
    EXPECT_EQ(b2->status(), STATUS_SUCCESS);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, FlushOfAllCancelsWaitingAndCurrentRequests) {
    auto first = send(1), second = send(2), third = send(3);
    m_device->IrpQueue.FlushQueue(nullptr);
    for (auto* request : {first.get(), second.get(), third.get()})
        EXPECT_EQ(request->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 0u);
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1}));
    EXPECT_TRUE(idle());
    m_device->IrpQueue.FlushQueue(nullptr); // an idle queue has nothing to flush
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, CancelledCurrentRequestStartsTheNext) {
    auto first = send(1), second = send(2);
    first->cancel();
    EXPECT_EQ(first->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 1u);
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1, 2}));
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 2u);
    EXPECT_EQ(second->status(), STATUS_SUCCESS);
}

TEST_P(QueueTest, CancelledWaitingRequestLeavesTheQueueIntact) {
    auto first = send(1), second = send(2), third = send(3);
    second->cancel();
    EXPECT_EQ(second->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 2u);
    // The request in progress is untouched, and the cancelled one never starts.
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1}));
    EXPECT_FALSE(first->done());
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 1u);
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 3u);
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1, 3}));
    EXPECT_EQ(first->status(), STATUS_SUCCESS);
    EXPECT_EQ(third->status(), STATUS_SUCCESS);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, CancelIoEndsEveryRequestOfTheHandle) {
    ntemu::Handle other = open(u"\\\\.\\FwQueue0", FILE_SHARE_READ);
    auto mine1 = send(1), theirs = send(2, other), mine2 = send(3);
    process().cancelIo(m_handle);
    EXPECT_EQ(mine1->status(), STATUS_CANCELLED);
    EXPECT_EQ(mine2->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 1u);
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), 2u);
    EXPECT_EQ(theirs->status(), STATUS_SUCCESS);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, RequestCancelledBeforeItIsQueuedIsCompletedOnce) {
    for (ULONG code : {kIoctlQueueCancelled, kIoctlQueueCancelledWithRoutine}) {
        auto early = sendCancelledBeforeQueued(7, code);
        EXPECT_EQ(early->status(), STATUS_CANCELLED);
        // Completed by the driver, not given up by the caller.
        EXPECT_EQ(io().liveIrpCount(), 0u);
        // Legacy mode never starts it; the other mode starts it on the idle queue and its
        // start-I/O routine gives it up when it finds it cancelled.
        if (GetParam()) {
            EXPECT_EQ(m_device->startCount(), 0u);
        }
        EXPECT_TRUE(idle());
    }
    auto next = send(8);
    EXPECT_EQ(startedIds(*m_device).back(), 8u);
    m_device->completeCurrent(STATUS_SUCCESS);
    EXPECT_EQ(next->status(), STATUS_SUCCESS);
}

TEST_P(QueueTest, DeferredCompletionStartsTheNextFromADpc) {
    auto first = send(1), second = send(2);
    EXPECT_EQ(m_device->completeCurrent(STATUS_IO_TIMEOUT, true), 1u);
    kernel().settle();
    EXPECT_EQ(first->status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(startedIds(*m_device), (std::vector<ULONG>{1, 2}));
    EXPECT_EQ(m_device->starts()[1].irql, DISPATCH_LEVEL);
    EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS, true), 2u);
    kernel().settle();
    EXPECT_EQ(second->status(), STATUS_SUCCESS);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, DeferredCompletionsBeforeTheDpcRunsAreEachCompletedOnce) {
    auto first = send(1), second = send(2);
    {
        ProcessorHold hold;
        EXPECT_EQ(m_device->completeCurrent(STATUS_IO_TIMEOUT, true), 1u);
        // The driver starts the next request itself and hands it over too, all before the
        // queue's DPC has run.
        m_device->StartNextPacket();
        EXPECT_EQ(m_device->completeCurrent(STATUS_DEVICE_NOT_READY, true), 2u);
        EXPECT_FALSE(first->done());
    }
    kernel().settle();
    EXPECT_EQ(first->status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(second->status(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(io().liveIrpCount(), 0u);
    EXPECT_TRUE(idle());
}

TEST_P(QueueTest, CurrentRequestIsClaimedOnce) {
    CIrpQueue& queue = m_device->IrpQueue;
    EXPECT_TRUE(queue.IsCurrentIrpClaimed()); // nothing in progress
    EXPECT_TRUE(queue.RescindCurrentIrpClaim());
    auto first = send(1), second = send(2);
    EXPECT_FALSE(queue.IsCurrentIrpClaimed());
    EXPECT_TRUE(queue.IsCurrentIrpClaimed());
    EXPECT_TRUE(queue.RescindCurrentIrpClaim());
    EXPECT_FALSE(queue.RescindCurrentIrpClaim());
    EXPECT_FALSE(queue.IsCurrentIrpClaimed());
    m_device->completeCurrent(STATUS_SUCCESS);
    // Starting a request resets the claim in the queue's own mode only.
    EXPECT_EQ(queue.IsCurrentIrpClaimed(), GetParam() ? TRUE : FALSE);
    m_device->completeCurrent(STATUS_SUCCESS);
    EXPECT_EQ(first->status(), STATUS_SUCCESS);
    EXPECT_EQ(second->status(), STATUS_SUCCESS);
}

TEST_P(QueueTest, HelpersWalkAndUnlinkInOrder) {
    auto first = send(1), second = send(2), third = send(3), fourth = send(4);
    CIrpQueue& queue = m_device->IrpQueue;
    queue.AcquireQueueLock();
    std::vector<ULONG> walked;
    for (PIRP irp = GetFirstIrp(&queue.DeviceQueue); irp; irp = GetNextIrp(&queue.DeviceQueue, irp))
        walked.push_back(*static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer));
    PIRP head = GetIrpFromHead(&queue.DeviceQueue);
    PIRP next = GetFirstIrp(&queue.DeviceQueue);
    RemoveIrp(&queue.DeviceQueue, next);
    EXPECT_FALSE(head->Tail.Overlay.DeviceQueueEntry.Inserted);
    EXPECT_FALSE(next->Tail.Overlay.DeviceQueueEntry.Inserted);
    PutIrpAtTail(&queue.DeviceQueue, next);
    PutIrpAtTail(&queue.DeviceQueue, head);
    std::vector<ULONG> reordered;
    for (PIRP irp = GetFirstIrp(&queue.DeviceQueue); irp; irp = GetNextIrp(&queue.DeviceQueue, irp))
        reordered.push_back(*static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer));
    queue.ReleaseQueueLock();
    EXPECT_EQ(walked, (std::vector<ULONG>{2, 3, 4}));
    EXPECT_EQ(reordered, (std::vector<ULONG>{4, 3, 2}));
    for (ULONG id : {1u, 4u, 3u, 2u})
        EXPECT_EQ(m_device->completeCurrent(STATUS_SUCCESS), id);
}

// A driver without a start-I/O routine: the queue ends every request it starts itself, and
// one that was cancelled before it started ends as cancelled instead of blocking the queue.
class QueueWithoutStartIoTest : public QueueTest {
protected:
    DriverConfig config() override { return DriverConfig{1, GetParam(), false}; }
};

INSTANTIATE_TEST_SUITE_P(Modes, QueueWithoutStartIoTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Legacy" : "Queue"; });

TEST_P(QueueWithoutStartIoTest, RequestCancelledBeforeItStartsIsCompletedOnce) {
    for (ULONG code : {kIoctlQueueCancelled, kIoctlQueueCancelledWithRoutine}) {
        auto early = sendCancelledBeforeQueued(7, code);
        EXPECT_EQ(early->status(), STATUS_CANCELLED) << std::hex << code;
        EXPECT_EQ(io().liveIrpCount(), 0u);
        EXPECT_TRUE(idle());
    }
    Request next(process(), m_handle, 8);
    EXPECT_EQ(next.status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(idle());
}

TEST_P(QueueWithoutStartIoTest, RequestCancelledWhileWaitingWithoutRoutineIsCompletedOnce) {
    holdBusy();
    auto waiting = send(1, 0, kIoctlQueueWithoutRoutine);
    process().cancelIo(m_handle);
    // The request in progress ends; the cancelled one is next.
    m_device->StartNextPacket();
    EXPECT_EQ(waiting->status(), STATUS_CANCELLED);
    EXPECT_EQ(io().liveIrpCount(), 0u);
    EXPECT_TRUE(idle());
}

} // namespace
