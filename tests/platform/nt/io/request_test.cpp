// Buffered device control, the dispatch-return and completion checks, pending requests
// completed by a timer DPC, and the CLEANUP / CLOSE sequence.
#include "io_fixture.h"

#include <array>
#include <future>
#include <thread>

using namespace ntemu;

namespace iotest {
namespace {

class RequestTest : public IoFixture {};

TEST_F(RequestTest, BufferedRoundTripCopiesInformationBytesAndShowsTheFill) {
    Handle handle = openDevice();
    std::array<unsigned char, 16> out;
    out.fill(0x11);
    // The system buffer holds the 8-byte input, then 0xCD up to the output length.
    IoResult result = reply(handle, STATUS_SUCCESS, 12, out.data(), out.size());
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 12u);
    ReplyInput echoed;
    std::memcpy(&echoed, out.data(), sizeof echoed);
    EXPECT_EQ(echoed.information, 12u);
    for (size_t i = 8; i < 12; ++i)
        EXPECT_EQ(out[i], 0xCD) << i;
    for (size_t i = 12; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0x11) << i;

    // A warning still copies; an error copies nothing.
    out.fill(0x11);
    result = reply(handle, STATUS_BUFFER_OVERFLOW, 4, out.data(), out.size());
    EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.information, 4u);
    EXPECT_NE(out[0], 0x11);
    out.fill(0x11);
    result = reply(handle, STATUS_DEVICE_NOT_READY, 8, out.data(), out.size());
    EXPECT_EQ(result.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(out[0], 0x11);
}

TEST_F(RequestTest, InformationPastAShortOutputBufferIsReportedAndClipped) {
    Handle handle = openDevice();
    std::array<unsigned char, 8> out;
    out.fill(0x11);
    IoResult result = reply(handle, STATUS_SUCCESS, 6, out.data(), 4);
    EXPECT_EQ(verifier::consume(Check::InformationOverrun), 1u);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(out[4], 0x11); // nothing written past the 4 bytes given

    // A null output pointer forces the output length to 0: nothing is copied, nothing reported.
    result = reply(handle, STATUS_SUCCESS, 6, nullptr, 8);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_FALSE(verifier::has(Check::InformationOverrun));
}

TEST_F(RequestTest, MethodsOtherThanBufferedAreNotEmulated) {
    Handle handle = openDevice();
    EXPECT_EQ(thread->deviceIoControl(handle, kNeither, nullptr, 0, nullptr, 0).status,
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(verifier::consume(Check::NotImplemented), 1u);
}

TEST_F(RequestTest, EachBrokenDispatchOrCompletionRuleIsReported) {
    struct Case {
        ULONG code;
        Check check;
        NTSTATUS status;
    };
    const Case cases[] = {
        {kCompleteTwice, Check::DoubleCompletion, STATUS_SUCCESS},
        {kCompleteWithCancelRoutine, Check::CompleteWithCancelRoutine, STATUS_SUCCESS},
        {kCompletePendingStatus, Check::CompleteWithPendingStatus, STATUS_PENDING},
        {kMarkThenFail, Check::PendingNotReturned, STATUS_CANCELLED},
        {kPendingUnmarked, Check::PendingNotMarked, STATUS_SUCCESS},
        {kStatusMismatch, Check::DispatchStatusMismatch, STATUS_SUCCESS},
        {kCompleteAboveDispatch, Check::IrqlTooHigh, STATUS_SUCCESS},
    };
    Handle handle = openDevice();
    for (const Case& c : cases) {
        IoResult result = thread->deviceIoControl(handle, c.code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(result.status, c.status) << checkName(c.check);
        auto reports = verifier::take();
        ASSERT_EQ(reports.size(), 1u) << checkName(c.check);
        EXPECT_EQ(reports[0].check, c.check);
    }
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

TEST_F(RequestTest, IrpLeftByDispatchIsReportedAndTidiedWhenCompletedLater) {
    Handle handle = openDevice();
    ULONG out = 0;
    IoResult result = thread->deviceIoControl(handle, kLeaveIrp, nullptr, 0, &out, sizeof out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(verifier::consume(Check::DispatchLeftIrp), 1u);
    EXPECT_EQ(io->liveIrpCount(), 1u);
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    EXPECT_EQ(majors().back(), IRP_MJ_CLEANUP); // the left IRP still holds the file object

    completeLeftIrp();
    kernel->settle();
    EXPECT_EQ(io->liveIrpCount(), 0u);
    EXPECT_EQ(majors().back(), IRP_MJ_CLOSE);
    EXPECT_EQ(out, 0u); // the caller had stopped waiting
}

TEST_F(RequestTest, LastReferenceGoingInADpcSendsCloseAtPassiveFromAWorker) {
    Handle handle = openDevice();
    thread->deviceIoControl(handle, kLeaveIrp, nullptr, 0, nullptr, 0);
    EXPECT_EQ(verifier::consume(Check::DispatchLeftIrp), 1u);
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    completeLeftIrpFromDpc();
    kernel->settle();
    std::lock_guard guard(state().mutex);
    ASSERT_EQ(state().events.back().major, IRP_MJ_CLOSE);
    EXPECT_EQ(state().events.back().irql, PASSIVE_LEVEL);
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

TEST_F(RequestTest, PendingRequestIsCompletedByATimerDpc) {
    Handle handle = openDevice();
    ULONG out = 0;
    auto result = sendAsync(*thread, handle, kPendTimer, LONG(-10 * kMillisecond), &out);
    ASSERT_TRUE(thread->waitForPending(1));
    EXPECT_EQ(thread->pendingCount(), 1u);
    clock.advance(9 * kMillisecond);
    EXPECT_EQ(thread->pendingCount(), 1u);
    clock.advance(1 * kMillisecond);
    IoResult done = result.get();
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, sizeof(ULONG));
    EXPECT_EQ(out, kCompletedMarker);
    EXPECT_EQ(thread->pendingCount(), 0u);
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

// The hook hears of the completion where it happens (the timer DPC), with the output already
// in the caller's buffer, and the caller returns only after it.
TEST_F(RequestTest, CompletionHookRunsInTheCompletingDpcBeforeTheCallerReturns) {
    struct Heard {
        const ULONG* output = nullptr;
        ULONG seen = 0;
        IoResult result{};
        KIRQL irql = 0;
        std::thread::id thread;
        static void run(void* context, const IoResult& result) {
            auto* self = static_cast<Heard*>(context);
            self->seen = *self->output;
            self->result = result;
            self->irql = KeGetCurrentIrql();
            self->thread = std::this_thread::get_id();
        }
    };
    Handle handle = openDevice();
    ULONG out = 0;
    Heard heard;
    heard.output = &out;
    const LONG due = LONG(-1 * kMillisecond);
    auto result = std::async(std::launch::async, [&] {
        IoResult done = thread->deviceIoControl(handle, kPendTimer, &due, sizeof due, &out,
                                                sizeof out, {&Heard::run, &heard});
        EXPECT_NE(heard.thread, std::thread::id()) << "the hook ran first";
        EXPECT_NE(heard.thread, std::this_thread::get_id());
        return done;
    });
    ASSERT_TRUE(thread->waitForPending(1));
    clock.advance(1 * kMillisecond);
    IoResult done = result.get();
    EXPECT_EQ(heard.seen, kCompletedMarker);
    EXPECT_EQ(heard.result.status, done.status);
    EXPECT_EQ(heard.result.information, sizeof(ULONG));
    EXPECT_EQ(heard.irql, DISPATCH_LEVEL);
    EXPECT_EQ(io->liveIrpCount(), 0u);
}

TEST_F(RequestTest, CloseSendsCleanupThenClose) {
    Handle first = openDevice();
    Handle second = openDevice();
    EXPECT_EQ(process->close(first), STATUS_SUCCESS);
    EXPECT_EQ(process->close(second), STATUS_SUCCESS);
    std::vector<Event> events;
    {
        std::lock_guard guard(state().mutex);
        events = state().events;
    }
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[2].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(events[3].major, IRP_MJ_CLOSE);
    EXPECT_EQ(events[2].file, events[0].file);
    EXPECT_EQ(events[3].file, events[0].file);
    EXPECT_EQ(events[4].file, events[1].file);
    EXPECT_EQ(process->handleCount(), 0u);
}

TEST_F(RequestTest, CloseWaitsForTheLastPendingRequest) {
    config().cleanupCancels = false;
    Handle handle = openDevice();
    ULONG out = 0;
    auto result = sendAsync(*thread, handle, kPend, 0, &out);
    ASSERT_TRUE(thread->waitForPending(1));
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    EXPECT_EQ(majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}));

    completePendingFromDpc(device());
    EXPECT_EQ(result.get().status, STATUS_SUCCESS);
    kernel->settle();
    EXPECT_EQ(majors().back(), IRP_MJ_CLOSE);
    EXPECT_EQ(device()->ReferenceCount, 0);
}

TEST_F(RequestTest, CleanupCancelsWhatTheDriverHolds) {
    Handle handle = openDevice();
    auto result = sendAsync(*thread, handle, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    EXPECT_EQ(result.get().status, STATUS_CANCELLED);
    EXPECT_EQ(majors().back(), IRP_MJ_CLOSE);
}

TEST_F(RequestTest, SynchronousHandleRunsOneRequestAtATime) {
    Thread& other = process->createThread();
    Handle handle = openDevice();
    auto first = sendAsync(*thread, handle, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    auto second = sendAsync(other, handle, kPend);
    // The second request waits in the I/O manager; the driver has seen only one.
    EXPECT_FALSE(other.waitForPending(1, 50));
    completePendingFromDpc(device());
    EXPECT_EQ(first.get().status, STATUS_SUCCESS);
    ASSERT_TRUE(other.waitForPending(1));
    completePendingFromDpc(device());
    EXPECT_EQ(second.get().status, STATUS_SUCCESS);
}

TEST_F(RequestTest, OverlappedHandleLetsRequestsRunSideBySide) {
    Thread& other = process->createThread();
    OpenOptions options;
    options.overlapped = true;
    Handle handle = openDevice(options);
    auto first = sendAsync(*thread, handle, kPend);
    auto second = sendAsync(other, handle, kPend);
    ASSERT_TRUE(thread->waitForPending(1));
    ASSERT_TRUE(other.waitForPending(1));
    completePendingFromDpc(device());
    EXPECT_EQ(first.get().status, STATUS_SUCCESS);
    EXPECT_EQ(second.get().status, STATUS_SUCCESS);
    EXPECT_EQ(state().completions, 2);
}

} // namespace
} // namespace iotest
