// Cancellation: IoCancelIrp and the cancel-routine contract, requests cancelled when their
// thread exits or their process ends, CancelIo, the special IRP pool, and a stress run of
// completion racing cancellation.
#include "io_fixture.h"

#include <map>
#include <random>
#include <thread>

using namespace ntemu;

namespace iotest {
namespace {

class CancelTest : public IoFixture {};

TEST_F(CancelTest, ThreadExitCancelsItsPendingRequests) {
    Thread& other = process->createThread();
    Handle handle = openDevice({GENERIC_READ | GENERIC_WRITE, 3, true});
    auto mine = sendAsync(*thread, handle, kPend);
    auto theirs = sendAsync(other, handle, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    ASSERT_TRUE(other.waitForPending(1));
    thread->exit();
    EXPECT_EQ(mine.get().status, STATUS_CANCELLED);
    EXPECT_EQ(thread->pendingCount(), 0u);
    EXPECT_EQ(other.pendingCount(), 1u);
    // The thread stays usable after exit.
    EXPECT_EQ(reply(handle, STATUS_SUCCESS, 0, nullptr, 0).status, STATUS_SUCCESS);
    completePendingFromDpc(device());
    EXPECT_EQ(theirs.get().status, STATUS_SUCCESS);
}

TEST_F(CancelTest, TerminateCancelsThenCleansUpAndClosesEveryHandle) {
    Thread& other = process->createThread();
    Handle first = openDevice();
    Handle second = openDevice();
    config().cleanupCancels = false; // only the thread exits may cancel
    auto a = sendAsync(*thread, first, kPend);
    auto b = sendAsync(other, second, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    ASSERT_TRUE(other.waitForPending(1));
    process->terminate();
    EXPECT_EQ(a.get().status, STATUS_CANCELLED);
    EXPECT_EQ(b.get().status, STATUS_CANCELLED);
    EXPECT_EQ(process->handleCount(), 0u);
    // Per file object: the request (cancelled by the exits), then CLEANUP, then CLOSE.
    std::map<PFILE_OBJECT, std::vector<UCHAR>> perFile;
    {
        std::lock_guard guard(state().mutex);
        for (const Event& event : state().events)
            perFile[event.file].push_back(event.major);
    }
    ASSERT_EQ(perFile.size(), 2u);
    for (auto& [file, seen] : perFile)
        EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP,
                                            IRP_MJ_CLOSE}));
    EXPECT_EQ(state().cancellations, 2);
}

TEST_F(CancelTest, CancelIoTakesOnlyTheRequestsOfThatHandle) {
    Thread& other = process->createThread();
    Handle first = openDevice();
    Handle second = openDevice();
    auto a = sendAsync(*thread, first, kPend);
    auto b = sendAsync(other, second, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    ASSERT_TRUE(other.waitForPending(1));
    process->cancelIo(first);
    EXPECT_EQ(a.get().status, STATUS_CANCELLED);
    EXPECT_EQ(other.pendingCount(), 1u);
    completePendingFromDpc(device());
    EXPECT_EQ(b.get().status, STATUS_SUCCESS);
}

TEST_F(CancelTest, RequestWithoutCancelRoutineOnlyGetsTheFlag) {
    Handle handle = openDevice();
    ULONG out = 0;
    thread->deviceIoControl(handle, kLeaveIrp, nullptr, 0, &out, sizeof out);
    EXPECT_EQ(verifier::consume(Check::DispatchLeftIrp), 1u);
    PIRP irp;
    {
        std::lock_guard guard(state().mutex);
        irp = state().leftIrp;
    }
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    completeLeftIrp();
}

TEST_F(CancelTest, ExitGivesUpOnARequestTheDriverKeepsAndItsLateCompletionWritesNothing) {
    io->setCancelBound(20);
    Handle handle = openDevice();
    ULONG out = 0x11;
    auto result = sendAsync(*thread, handle, kPendUncancellable, 0, &out);
    ASSERT_TRUE(thread->waitForPending(1));
    thread->exit();
    EXPECT_EQ(result.get().status, STATUS_CANCELLED);
    EXPECT_EQ(thread->pendingCount(), 0u);
    EXPECT_EQ(io->liveIrpCount(), 1u);
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    EXPECT_EQ(majors().back(), IRP_MJ_CLEANUP); // the kept IRP still holds the file object

    completeLeftIrpFromDpc();
    kernel->settle();
    EXPECT_EQ(out, 0x11u);
    EXPECT_EQ(io->liveIrpCount(), 0u);
    EXPECT_EQ(majors().back(), IRP_MJ_CLOSE);
}

TEST_F(CancelTest, CancelRoutineKeepingTheCancelLockIsReported) {
    Handle handle = openDevice();
    auto result = sendAsync(*thread, handle, kPendBadCancel);
    ASSERT_TRUE(thread->waitForPending(1));
    thread->exit();
    EXPECT_EQ(result.get().status, STATUS_CANCELLED);
    EXPECT_EQ(verifier::consume(Check::CancelLockHeld), 1u);
    // The lock was given back: a normal cancellation still works.
    auto again = sendAsync(*thread, handle, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    process->cancelIo(handle);
    EXPECT_EQ(again.get().status, STATUS_CANCELLED);
}

TEST_F(CancelTest, SpecialPoolCatchesAnIrpTouchedAfterCompletion) {
    restart(true);
    Handle handle = openDevice();
    IoResult result =
        thread->deviceIoControl(handle, kTouchAfterCompletion, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::IrpTouchedAfterCompletion);
    EXPECT_NE(reports[0].detail.find("IRP 0x"), std::string::npos);
    // Ordinary requests work on the special pool, buffered output included.
    ULONG out = 0;
    EXPECT_EQ(reply(handle, STATUS_SUCCESS, 4, &out, sizeof out).information, 4u);
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

TEST_F(CancelTest, FreeListIrpsAreReused) {
    Handle handle = openDevice();
    ULONG out = 0;
    PIRP first = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto result = sendAsync(*thread, handle, kLeaveIrp, 0, &out);
        EXPECT_EQ(result.get().status, STATUS_SUCCESS);
        EXPECT_EQ(verifier::consume(Check::DispatchLeftIrp), 1u);
        PIRP irp;
        {
            std::lock_guard guard(state().mutex);
            irp = state().leftIrp;
        }
        if (!first)
            first = irp;
        EXPECT_EQ(irp, first) << i;
        completeLeftIrp();
        kernel->settle();
    }
}

// Several user threads on several handles keep requests pending while a DPC completes them
// and other threads exit or cancel; every request must end exactly once.
TEST_F(CancelTest, ConcurrencyCompletionRacesCancellation) {
    constexpr int kSenders = 4;
    constexpr int kRequestsEach = 150;
    std::vector<Thread*> users;
    std::vector<Handle> handles;
    for (int i = 0; i < kSenders; ++i) {
        users.push_back(&process->createThread());
        OpenOptions options;
        options.overlapped = (i % 2) == 0;
        handles.push_back(openDevice(options));
    }
    PDEVICE_OBJECT dev = device();
    std::atomic<int> finished{0}, succeeded{0}, cancelled{0}, other{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&, i] {
            for (int n = 0; n < kRequestsEach; ++n) {
                ULONG out = 0;
                IoResult result =
                    users[i]->deviceIoControl(handles[i], kPend, nullptr, 0, &out, sizeof out);
                if (result.status == STATUS_SUCCESS && out == kCompletedMarker)
                    ++succeeded;
                else if (result.status == STATUS_CANCELLED)
                    ++cancelled;
                else
                    ++other;
            }
            ++finished;
        });
    }
    std::thread completer([&] {
        while (finished < kSenders)
            completePendingFromDpc(dev);
    });
    std::thread canceller([&] {
        std::mt19937 random(7);
        while (finished < kSenders) {
            int who = static_cast<int>(random() % kSenders);
            if (random() % 2)
                users[who]->exit();
            else
                process->cancelIo(handles[who]);
        }
    });
    for (auto& sender : senders)
        sender.join();
    completer.join();
    canceller.join();
    kernel->settle();

    EXPECT_EQ(other, 0);
    EXPECT_EQ(succeeded + cancelled, kSenders * kRequestsEach);
    EXPECT_EQ(state().completions, succeeded.load());
    EXPECT_EQ(state().cancellations, cancelled.load());
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

} // namespace
} // namespace iotest
