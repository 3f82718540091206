// The three timed waits on the virtual clock: queued events, time-outs, one wait per kind,
// heartbeat and match together, cancellation, and the event ring.
#include "driver_fixture.h"

#include "board_protocol.h"

#include <atomic>
#include <thread>

namespace vornpcitest {
namespace {

using namespace vornpci;
using namespace vorntest;
using ntemu::kMillisecond;

class WaitsTest : public DriverTest {
protected:
    void settle() { m_host.system().kernel().settle(); }
    // One external event, tagged now, then `gap` of board time.
    void strobe(ntemu::Ticks100ns gap = kMillisecond) {
        board().strobeEvent();
        settle();
        clock().advance(gap);
    }
    EventWaitRecord waitEventNow(NTSTATUS expected = STATUS_SUCCESS) {
        Bytes output(12);
        ntemu::IoResult result = send(IOCTL_VORNPCI_WAIT_EVENT, eventWait(777), output);
        EXPECT_EQ(result.status, expected);
        return valueOf<EventWaitRecord>(output);
    }
    // A raw write of a register through the poke request.
    void poke(uint16_t offset, uint16_t value) {
        MemObj memory{offset, value};
        Bytes input = bytesOf(memory);
        input.resize(8);
        Bytes none;
        ASSERT_EQ(send(IOCTL_VORNPCI_POKE, input, none).status, STATUS_SUCCESS);
    }
    // A wait for event with time-out 0: the oldest queued event, or the time-out.
    std::unique_ptr<AsyncRequest> pollEvent() {
        auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), 12);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!wait->done() && wait->thread().pendingCount() == 0 &&
               std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        if (!wait->done())
            clock().advance(ntemu::kMicrosecond);
        wait->result();
        return wait;
    }
    static Bytes nextEventInput(uint64_t afterSequence, uint32_t timeoutMs) {
        SequencedEventRecord record{};
        record.afterSequence = afterSequence;
        record.timeoutMs = timeoutMs;
        return bytesOf(record);
    }
    // The next-event request for an event already logged.
    SequencedEventRecord nextEventNow(uint64_t afterSequence) {
        Bytes output(sizeof(SequencedEventRecord));
        ntemu::IoResult result =
            send(IOCTL_VORNPCI_NEXT_EVENT, nextEventInput(afterSequence, 60'000), output);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(SequencedEventRecord));
        return valueOf<SequencedEventRecord>(output);
    }
    // Pending at once: on an overlapped handle, any number of them.
    std::unique_ptr<AsyncRequest> startNextEvent(uint64_t afterSequence, uint32_t timeoutMs,
                                                 ntemu::Handle handle) {
        return std::make_unique<AsyncRequest>(*m_process, handle, IOCTL_VORNPCI_NEXT_EVENT,
                                              nextEventInput(afterSequence, timeoutMs),
                                              sizeof(SequencedEventRecord));
    }
    EventCountersRecord eventCounters() {
        Bytes output(sizeof(EventCountersRecord));
        EXPECT_EQ(send(IOCTL_VORNPCI_GET_EVENT_COUNTERS, Bytes(), output).status, STATUS_SUCCESS);
        return valueOf<EventCountersRecord>(output);
    }
    ntemu::Handle openOverlapped() {
        ntemu::Handle handle = 0;
        ntemu::OpenOptions options;
        options.overlapped = true;
        EXPECT_EQ(m_process->open(vornhost::deviceName(0), options, &handle), STATUS_SUCCESS);
        return handle;
    }
};

TEST_F(WaitsTest, QueuedEventIsReturnedAtOnceWithTheTimeoutLeftAsGiven) {
    clock().advance(1500 * kMillisecond);
    strobe();
    Bytes output(12, 0xCC);
    ntemu::IoResult result = send(IOCTL_VORNPCI_WAIT_EVENT, eventWait(12345), output);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 12u);
    auto record = valueOf<EventWaitRecord>(output);
    EXPECT_EQ(record.timeoutMs, 12345u);
    EXPECT_EQ(record.dayOfYear, 365);
    EXPECT_EQ(record.hours, 12);
    EXPECT_EQ(record.minutes, 0);
    EXPECT_GE(record.microsInMinute, 1'500'000u);
    EXPECT_LT(record.microsInMinute, 1'600'000u);
}

TEST_F(WaitsTest, TimeoutZeroEndsAtTheNextTimerExpiryWithOutputUntouched) {
    auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), 12);
    ASSERT_TRUE(wait->pending());
    clock().advance(ntemu::kMicrosecond);
    EXPECT_EQ(wait->result().status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(wait->result().information, 0u);
    EXPECT_EQ(wait->output(), Bytes(12, 0));
}

TEST_F(WaitsTest, LongTimeoutWaitsItsFullLength) {
    auto wait = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(430'000), 0);
    ASSERT_TRUE(wait->pending());
    clock().advance(429'999 * kMillisecond);
    EXPECT_FALSE(wait->done());
    clock().advance(2 * kMillisecond);
    EXPECT_EQ(wait->result().status, STATUS_DEVICE_NOT_READY);
}

TEST_F(WaitsTest, SecondWaitOfAKindIsRefusedAndTheFirstGoesOn) {
    ntemu::Handle second = 0;
    ASSERT_EQ(m_process->open(vornhost::deviceName(0), {}, &second), STATUS_SUCCESS);
    auto first = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(1000), 12);
    ASSERT_TRUE(first->pending());
    Bytes output(12);
    ntemu::IoResult refused = m_process->createThread().deviceIoControl(
        second, IOCTL_VORNPCI_WAIT_EVENT, eventWait(1000).data(), 12, output.data(), 12);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    board().strobeEvent();
    EXPECT_EQ(first->result().status, STATUS_SUCCESS);
    EXPECT_EQ(first->result().information, 12u);
    EXPECT_EQ(valueOf<EventWaitRecord>(first->output()).hours, 12);
    m_process->close(second);
}

TEST_F(WaitsTest, OverlappedHandleGetsOneHeartbeatWaitAtATime) {
    ntemu::Handle overlapped = openOverlapped();
    AsyncRequest first(*m_process, overlapped, IOCTL_VORNPCI_WAIT_HEART, timeoutOf(50), 0);
    ASSERT_TRUE(first.pending());
    AsyncRequest second(*m_process, overlapped, IOCTL_VORNPCI_WAIT_HEART, timeoutOf(50), 0);
    EXPECT_EQ(second.result().status, STATUS_INVALID_PARAMETER);
    clock().advance(51 * kMillisecond);
    EXPECT_EQ(first.result().status, STATUS_DEVICE_NOT_READY);
    m_process->close(overlapped);
}

TEST_F(WaitsTest, HeartbeatAndMatchPendingTogetherEachEndOnItsOwnInterrupt) {
    Bytes none;
    HeartObj heart{1, 0xE5, 0x2710, {}}; // 10,000 Hz / 10,000: once a second, from now
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_HEARTBEAT, bytesOf(heart), none).status, STATUS_SUCCESS);
    MatchObj match{0, {}, 5'500'000, 0, 12, 365};
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_MATCH_TIME, bytesOf(match), none).status, STATUS_SUCCESS);

    // A synchronous handle runs one request at a time: both waits go on an overlapped one.
    ntemu::Handle overlapped = openOverlapped();
    auto heartWait = std::make_unique<AsyncRequest>(*m_process, overlapped,
                                                    IOCTL_VORNPCI_WAIT_HEART, timeoutOf(10'000), 0);
    ASSERT_TRUE(heartWait->pending());
    auto matchWait = std::make_unique<AsyncRequest>(*m_process, overlapped,
                                                    IOCTL_VORNPCI_WAIT_MATCH, timeoutOf(10'000), 0);
    ASSERT_TRUE(matchWait->pending());
    EXPECT_EQ(board().enables(), 0x80 | 0x40 | 0x20);

    clock().advance(1100 * kMillisecond);
    EXPECT_EQ(heartWait->result().status, STATUS_SUCCESS);
    EXPECT_FALSE(matchWait->done());
    clock().advance(4500 * kMillisecond);
    EXPECT_EQ(matchWait->result().status, STATUS_SUCCESS);
    EXPECT_EQ(matchWait->result().information, 0u);
    EXPECT_EQ(board().counters().matches, 1u);
}

TEST_F(WaitsTest, CancellationByThreadExitFreesTheSlot) {
    auto wait = start(IOCTL_VORNPCI_WAIT_MATCH, timeoutOf(60'000), 0);
    ASSERT_TRUE(wait->pending());
    wait->thread().exit();
    EXPECT_EQ(wait->result().status, STATUS_CANCELLED);
    EXPECT_EQ(wait->result().information, 0u);
    auto next = start(IOCTL_VORNPCI_WAIT_MATCH, timeoutOf(5), 0);
    ASSERT_TRUE(next->pending());
    clock().advance(6 * kMillisecond);
    EXPECT_EQ(next->result().status, STATUS_DEVICE_NOT_READY);
}

TEST_F(WaitsTest, CancellationByProcessExit) {
    auto other = m_host.createProcess("other");
    ntemu::Handle handle = 0;
    ntemu::OpenOptions options;
    options.overlapped = true;
    ASSERT_EQ(other->open(vornhost::deviceName(0), options, &handle), STATUS_SUCCESS);
    AsyncRequest event(*other, handle, IOCTL_VORNPCI_WAIT_EVENT, eventWait(60'000), 12);
    AsyncRequest heart(*other, handle, IOCTL_VORNPCI_WAIT_HEART, timeoutOf(60'000), 0);
    ASSERT_TRUE(event.pending());
    ASSERT_TRUE(heart.pending());
    other->terminate();
    EXPECT_EQ(event.result().status, STATUS_CANCELLED);
    EXPECT_EQ(heart.result().status, STATUS_CANCELLED);
    EXPECT_EQ(other->handleCount(), 0u);
    // An event after the cancelled wait stays queued for the next one.
    strobe();
    waitEventNow();
}

TEST_F(WaitsTest, EventsArrivingWhileNobodyWaitsComeOutOldestFirst) {
    strobe(10 * kMillisecond);
    strobe(10 * kMillisecond);
    strobe(10 * kMillisecond);
    uint32_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        EventWaitRecord record = waitEventNow();
        if (i > 0) {
            EXPECT_EQ(record.microsInMinute - previous, 10'000u);
        }
        previous = record.microsInMinute;
    }
    auto fourth = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(100), 12);
    ASSERT_TRUE(fourth->pending());
    board().strobeEvent();
    EXPECT_EQ(fourth->result().status, STATUS_SUCCESS);
    EXPECT_GT(valueOf<EventWaitRecord>(fourth->output()).microsInMinute, previous);
}

TEST_F(WaitsTest, EventsAfterATimeoutStayQueuedForTheNextWait) {
    auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(5), 12);
    ASSERT_TRUE(wait->pending());
    clock().advance(6 * kMillisecond);
    ASSERT_EQ(wait->result().status, STATUS_DEVICE_NOT_READY);
    strobe();
    strobe();
    waitEventNow();
    waitEventNow();
}

TEST_F(WaitsTest, FullRingDropsItsOldestEventsAndNeverReadsEmpty) {
    constexpr unsigned kEvents = VORN_EVENT_RING_FRAMES + 4;
    for (unsigned i = 0; i < kEvents; ++i)
        strobe();
    EventWaitRecord first = waitEventNow();
    std::vector<uint32_t> seen{first.microsInMinute};
    for (unsigned i = 1; i < VORN_EVENT_RING_FRAMES; ++i)
        seen.push_back(waitEventNow().microsInMinute);
    // The four oldest are gone; the rest come out in order, one millisecond apart.
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_EQ(seen[i] - seen[i - 1], 1000u) << i;
    auto next = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), 12);
    ASSERT_TRUE(next->pending());
    clock().advance(kMillisecond);
    EXPECT_EQ(next->result().status, STATUS_DEVICE_NOT_READY);
}

TEST_F(WaitsTest, FiftyQueuedEventsAllComeOut) {
    for (int i = 0; i < 50; ++i)
        strobe();
    for (int i = 0; i < 50; ++i)
        waitEventNow();
    EXPECT_EQ(device().EventRingFrames, 0u);
}

TEST_F(WaitsTest, FlushDropsQueuedEventsAndTheNextWaitWaits) {
    strobe();
    strobe();
    Bytes none;
    ASSERT_EQ(send(IOCTL_VORNPCI_FLUSH_FIFO, Bytes(), none).status, STATUS_SUCCESS);
    auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(3), 12);
    ASSERT_TRUE(wait->pending());
    clock().advance(4 * kMillisecond);
    EXPECT_EQ(wait->result().status, STATUS_DEVICE_NOT_READY);
    strobe();
    waitEventNow();
}

TEST_F(WaitsTest, RefusedWaitStillEnablesItsSourceAndKeepsEventsOn) {
    Bytes none;
    EXPECT_EQ(send(IOCTL_VORNPCI_WAIT_HEART, Bytes(3), none).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(board().enables(), 0x80 | 0x20);
    EXPECT_EQ(send(IOCTL_VORNPCI_WAIT_MATCH, Bytes(8), none).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(board().enables(), 0x80 | 0x40 | 0x20);
    // The event source stayed on: an event is tagged, taken by the interrupt and queued.
    strobe();
    waitEventNow();
}

TEST_F(WaitsTest, InterruptServiceLeavesAnExchangesFifoAlone) {
    const ULONG_PTR port = device().PortBase();
    Bytes none;
    MemObj off{0x00, 0x00};
    Bytes poke = bytesOf(off);
    poke.resize(8);
    ASSERT_EQ(send(IOCTL_VORNPCI_POKE, poke, none).status, STATUS_SUCCESS);
    board().strobeEvent(); // a frame in the FIFO with the event source off: no interrupt
    settle();
    ASSERT_EQ(board().fifoLevel(), 10u);

    // As seen by an entry for another device on a shared line while a query reads its answer.
    device().FifoExchangeActive = 1;
    EXPECT_FALSE(CVORNpci::VORNpciIsr(nullptr, &device()));
    EXPECT_EQ(board().fifoLevel(), 10u);
    device().FifoExchangeActive = 0;
    EXPECT_TRUE(CVORNpci::VORNpciIsr(nullptr, &device()));
    EXPECT_EQ(board().fifoLevel(), 0u);
    // With nothing pending at all the routine does not claim the interrupt.
    EXPECT_FALSE(CVORNpci::VORNpciIsr(nullptr, &device()));
    ENB_EXT_INTR(port);
    waitEventNow();
}

TEST_F(WaitsTest, RawReadOfTheDataRegisterDoesNotSplitAQueuedEvent) {
    Bytes none;
    MemObj off{0x00, 0x00};
    Bytes poke = bytesOf(off);
    poke.resize(8);
    ASSERT_EQ(send(IOCTL_VORNPCI_POKE, poke, none).status, STATUS_SUCCESS);
    board().strobeEvent(); // waits in the FIFO: the event source is off
    settle();
    MemObj data{0x00, 0};
    Bytes peek = bytesOf(data);
    peek.resize(8);
    Bytes output(8);
    ASSERT_EQ(send(IOCTL_VORNPCI_PEEK, peek, output).status, STATUS_SUCCESS);
    // The whole event went to the ring before the raw read, which found the FIFO empty.
    EXPECT_EQ(valueOf<MemObj>(output).value, 0);
    auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), 12);
    if (!wait->done())
        clock().advance(ntemu::kMicrosecond);
    ASSERT_EQ(wait->result().status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<EventWaitRecord>(wait->output()).dayOfYear, 365);
}

// Cancelled while its handler waits for the board: the handler has marked it pending by the
// time it finds the cancel, so it completes it itself and answers STATUS_PENDING (the verifier
// checks that pairing).
TEST_F(WaitsTest, WaitCancelledBeforeItIsParkedEndsCancelled) {
    ASSERT_EQ(KeWaitForSingleObject(&device().BoardMutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    auto wait = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(60'000), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_host.io().liveIrpCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    m_process->cancelIo(m_handle);
    KeReleaseMutex(&device().BoardMutex, FALSE);
    EXPECT_EQ(wait->result().status, STATUS_CANCELLED);
    EXPECT_EQ(device().HeartIrp, nullptr);
    auto next = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(1), 0);
    ASSERT_TRUE(next->pending());
    clock().advance(2 * kMillisecond);
    EXPECT_EQ(next->result().status, STATUS_DEVICE_NOT_READY);
}

// A slow board shows its FIFO empty for some status reads after it raised the event
// interrupt: the routine must still take each event, not disown the interrupt. Slower than the
// routine's quick polls, the line used to go unclaimed and masked, which stranded the event in
// the FIFO and silenced the heartbeat with it.
TEST_F(WaitsTest, SlowFifoStillDeliversEventsAndHeartbeats) {
    for (uint32_t reads : {3u, 1000u}) {
        SCOPED_TRACE(reads);
        board().setFaults({.slowFifoReads = reads});
        strobe();
        strobe();
        // Frames cut short by the slow FIFO are taken up again where they stopped: both come
        // out whole, a millisecond apart.
        uint32_t previous = 0;
        for (int i = 0; i < 2; ++i) {
            auto wait = pollEvent();
            EXPECT_EQ(wait->result().status, STATUS_SUCCESS) << i;
            auto record = valueOf<EventWaitRecord>(wait->output());
            EXPECT_EQ(record.dayOfYear, 365);
            if (i > 0) {
                EXPECT_EQ(record.microsInMinute - previous, 1000u);
            }
            previous = record.microsInMinute;
        }
        EXPECT_FALSE(m_host.system().hal().lineMasked(11));
        EXPECT_EQ(board().fifoLevel(), 0u);
        EXPECT_EQ(board().enables() & 0x80, 0x80) << "the event source stayed off";
    }
    Bytes none;
    HeartObj heart{1, 0xE5, 0x2710, {}}; // once a second, from now
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_HEARTBEAT, bytesOf(heart), none).status, STATUS_SUCCESS);
    auto heartWait = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(10'000), 0);
    clock().advance(1100 * kMillisecond);
    EXPECT_EQ(heartWait->result().status, STATUS_SUCCESS);
}

// An event a slow board still hides when a query starts (here held back by switching the event
// source off with a raw write) goes to the ring first: the query is answered, and the event is
// neither read as the answer nor lost.
TEST_F(WaitsTest, SlowFifoEventBeforeAQueryIsKeptApartFromTheAnswer) {
    board().setFaults({.slowFifoReads = 20});
    MemObj sourceOff{ControlPort, 0};
    Bytes none;
    Bytes poke = bytesOf(sourceOff);
    poke.resize(8);
    ASSERT_EQ(send(IOCTL_VORNPCI_POKE, poke, none).status, STATUS_SUCCESS);
    strobe();
    ASSERT_EQ(board().fifoLevel(), 10u);
    Bytes date(4);
    EXPECT_EQ(send(IOCTL_VORNPCI_GET_DATE, Bytes(4), date).status, STATUS_SUCCESS);
    EXPECT_EQ(valueOf<DateObj>(date).year, board().time().year);
    waitEventNow(STATUS_SUCCESS);
}

// A query that timed out gets its answer after all (here: the query byte reaches the board
// as a stray command). The answer is no event: it used to come back from a wait for event as
// day 100, 00:00 and 72,012 us.
TEST_F(WaitsTest, LateAnswerIsNeverTakenForAnEvent) {
    board().setFaults({.noAnswer = true});
    Bytes date(4);
    ASSERT_EQ(send(IOCTL_VORNPCI_GET_DATE, Bytes(4), date).status, STATUS_IO_TIMEOUT);
    board().setFaults({});
    poke(CommandPort, CMD_GET_DATE);
    settle();
    EXPECT_EQ(board().fifoLevel(), 0u);
    EXPECT_EQ(pollEvent()->result().status, STATUS_DEVICE_NOT_READY);
    strobe();
    EXPECT_EQ(waitEventNow().dayOfYear, 365);
}

// An event tagged after a request's drain and before its query's flush is kept, not flushed.
TEST_F(WaitsTest, QueryKeepsTheEventsItsFlushFinds) {
    poke(ControlPort, 0); // no interrupt takes the event
    ASSERT_EQ(KeWaitForSingleObject(&device().BoardMutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    device().FifoExchangeActive = 1; // as after a request's drain
    board().strobeEvent();
    USHORT frame[FifoFrameBytes];
    EXPECT_EQ(vornQueryExchange(device().PortBase(), CMD_GET_DATE, TRUE, frame), VORN_SUCCESS);
    DIS_EXT_INTR(device().PortBase());
    device().FifoExchangeActive = 0;
    ENB_EXT_INTR(device().PortBase());
    KeReleaseMutex(&device().BoardMutex, FALSE);
    EXPECT_EQ(pollEvent()->result().status, STATUS_SUCCESS);
}

// A wait's enable reaches the board only in step with the interrupt service routine, never
// between the routine's read of the status and its write of the control register, where the
// routine would undo it.
TEST_F(WaitsTest, EnableIsWrittenInStepWithTheInterruptRoutine) {
    struct Holder {
        std::atomic<bool> held{false};
        std::atomic<bool> release{false};
        static BOOLEAN routine(PVOID context) {
            auto* self = static_cast<Holder*>(context);
            self->held = true;
            while (!self->release)
                std::this_thread::yield();
            return TRUE;
        }
    } holder;
    auto holding = std::async(std::launch::async, [&] {
        KeSynchronizeExecution(device().InterruptObject, Holder::routine, &holder);
    });
    while (!holder.held)
        std::this_thread::yield();
    auto wait = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(5), 0);
    // The wait takes the board lock just before its write.
    for (int i = 0; i < 1'000'000 && KeReadStateMutex(&device().BoardMutex) != 0; ++i)
        std::this_thread::yield();
    for (int i = 0; i < 10'000 && !(board().enables() & HeartIntrEnable); ++i)
        std::this_thread::yield();
    EXPECT_EQ(board().enables() & HeartIntrEnable, 0);
    holder.release = true;
    holding.get();
    ASSERT_TRUE(wait->pending());
    EXPECT_EQ(board().enables() & HeartIntrEnable, HeartIntrEnable);
    clock().advance(6 * kMillisecond);
    EXPECT_EQ(wait->result().status, STATUS_DEVICE_NOT_READY);
}

// With the event source on and nothing pending, the interrupt is another device's on the line:
// not claimed, and the event source stays on.
TEST_F(WaitsTest, InterruptWithNothingPendingIsNotClaimed) {
    ASSERT_EQ(board().enables() & ExtIntrEnable, ExtIntrEnable);
    EXPECT_FALSE(CVORNpci::VORNpciIsr(nullptr, &device()));
    EXPECT_EQ(board().enables() & ExtIntrEnable, ExtIntrEnable);
    strobe();
    waitEventNow();
}

// Raised together, the heartbeat is served first; the match stays pending for the next call.
TEST_F(WaitsTest, HeartbeatIsServedBeforeAMatchRaisedWithIt) {
    Bytes none;
    HeartObj heart{1, 0xE5, 0x2710, {}}; // once a second, from now
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_HEARTBEAT, bytesOf(heart), none).status, STATUS_SUCCESS);
    MatchObj match{0, {}, 1'500'000, 0, 12, 365};
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_MATCH_TIME, bytesOf(match), none).status, STATUS_SUCCESS);
    clock().advance(1600 * kMillisecond); // both latch; their interrupts are not enabled
    const auto pending = [&] { return board().readRegister(StatusPort) & (HeartIntr | MatchIntr); };
    ASSERT_EQ(pending(), HeartIntr | MatchIntr);
    EXPECT_TRUE(CVORNpci::VORNpciIsr(nullptr, &device()));
    EXPECT_EQ(pending(), MatchIntr);
    EXPECT_TRUE(CVORNpci::VORNpciIsr(nullptr, &device()));
    EXPECT_EQ(pending(), 0);
}

// Whoever comes first, time-out or cancellation, completes the wait; the verifier (double
// completion, completion with a cancel routine, late touches) sees every hand-over.
TEST_F(WaitsTest, TimeoutAndCancelRaceCompleteEachWaitOnce) {
    for (int round = 0; round < 100; ++round) {
        auto wait = start(IOCTL_VORNPCI_WAIT_HEART, timeoutOf(1), 0);
        ASSERT_TRUE(wait->pending());
        auto cancel = std::async(std::launch::async, [&] { wait->thread().exit(); });
        clock().advance(2 * kMillisecond);
        cancel.get();
        NTSTATUS status = wait->result().status;
        EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_READY) << status;
    }
}

TEST_F(WaitsTest, EventAndCancelRaceCompleteEachWaitOnce) {
    for (int round = 0; round < 100; ++round) {
        auto wait = start(IOCTL_VORNPCI_WAIT_EVENT, eventWait(1000), 12);
        ASSERT_TRUE(wait->pending());
        auto cancel = std::async(std::launch::async, [&] { wait->thread().exit(); });
        board().strobeEvent();
        cancel.get();
        NTSTATUS status = wait->result().status;
        ASSERT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << status;
        settle();
        // A cancelled wait leaves its event queued: take it so the next round starts empty.
        if (status == STATUS_CANCELLED)
            waitEventNow();
        EXPECT_EQ(device().EventRingFrames, 0u);
    }
}

// A storm the FIFO cannot hold while the event source is off: the tags it refused get numbers
// after the frames it holds, so the gap shows where the loss was, not at the first frame read.
TEST_F(WaitsTest, NextEventNumbersEveryEventAndShowsFifoOverflowAsAGapInPlace) {
    constexpr unsigned kHeld = 1024 / FifoFrameBytes;
    poke(0x00, 0x00); // event source off: the storm stays in the FIFO
    board().strobeEvents(kHeld + 48);
    poke(0x00, 0x80);
    settle();
    strobe();
    for (uint64_t sequence = 1; sequence <= kHeld; ++sequence) {
        SequencedEventRecord record = nextEventNow(sequence - 1);
        ASSERT_EQ(record.sequence, sequence);
        ASSERT_EQ(record.droppedBefore, 0u);
    }
    SequencedEventRecord last = nextEventNow(kHeld);
    EXPECT_EQ(last.sequence, kHeld + 49);
    EXPECT_EQ(last.droppedBefore, 48u);
    EXPECT_EQ(last.dayOfYear, 365);
    EXPECT_EQ(last.hours, 12);
    // Any reader starts where it likes and takes nothing from the others.
    EXPECT_EQ(nextEventNow(0).sequence, 1u);
    EXPECT_EQ(nextEventNow(kHeld - 1).sequence, uint64_t(kHeld));
    EventCountersRecord counters = eventCounters();
    EXPECT_EQ(counters.tagged, kHeld + 49);
    EXPECT_EQ(counters.fifoOverflows, 48u);
    EXPECT_EQ(counters.ringDrops, kHeld + 1 - VORN_EVENT_RING_FRAMES);
    EXPECT_EQ(board().counters().eventsTagged, counters.tagged);
    Bytes output(sizeof(SequencedEventRecord));
    EXPECT_EQ(send(IOCTL_VORNPCI_NEXT_EVENT, nextEventInput(kHeld + 50, 0), output).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(WaitsTest, ManyNextEventWaitersAllCompleteOnOneEventOrTheirOwnTimeOut) {
    const ntemu::Handle handle = openOverlapped();
    std::vector<std::unique_ptr<AsyncRequest>> readers;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(startNextEvent(0, 60'000, handle));
        ASSERT_TRUE(readers.back()->pending());
    }
    auto shortWait = startNextEvent(0, 5, handle);
    auto longerWait = startNextEvent(0, 10, handle);
    ASSERT_TRUE(shortWait->pending());
    ASSERT_TRUE(longerWait->pending());
    clock().advance(6 * kMillisecond);
    EXPECT_EQ(shortWait->result().status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(shortWait->result().information, 0u);
    EXPECT_FALSE(longerWait->done());
    clock().advance(5 * kMillisecond);
    EXPECT_EQ(longerWait->result().status, STATUS_DEVICE_NOT_READY);

    board().strobeEvent();
    for (auto& reader : readers) {
        ASSERT_EQ(reader->result().status, STATUS_SUCCESS);
        auto record = valueOf<SequencedEventRecord>(reader->output());
        EXPECT_EQ(record.sequence, 1u);
        EXPECT_EQ(record.droppedBefore, 0u);
    }
    // The wait-for-event request still gets the same event.
    EXPECT_EQ(waitEventNow().dayOfYear, 365);
}

TEST_F(WaitsTest, CancelledNextEventWaiterEndsOnceAndTheOthersGoOn) {
    const ntemu::Handle handle = openOverlapped();
    auto cancelled = startNextEvent(0, 60'000, handle);
    auto other = startNextEvent(0, 60'000, handle);
    ASSERT_TRUE(cancelled->pending());
    ASSERT_TRUE(other->pending());
    cancelled->thread().exit();
    EXPECT_EQ(cancelled->result().status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->result().information, 0u);
    board().strobeEvent();
    EXPECT_EQ(other->result().status, STATUS_SUCCESS);
}

TEST_F(WaitsTest, NextEventAndCancelRaceCompleteEachRequestOnce) {
    for (int round = 0; round < 100; ++round) {
        auto wait = startNextEvent(round, 1000, m_handle);
        ASSERT_TRUE(wait->pending());
        auto cancel = std::async(std::launch::async, [&] { wait->thread().exit(); });
        board().strobeEvent();
        cancel.get();
        NTSTATUS status = wait->result().status;
        ASSERT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << status;
        settle();
    }
    EXPECT_EQ(__atomic_load_n(&device().NextEventArmed, __ATOMIC_ACQUIRE), 0);
}

// The wait-for-event ring is emptied; every event read stays in the log, numbered.
TEST_F(WaitsTest, FlushEmptiesTheWaitRingButNotTheSequencedLog) {
    poke(0x00, 0x00);
    board().strobeEvents(2); // still in the board's FIFO when the flush comes
    poke(0x00, 0x80);
    Bytes none;
    ASSERT_EQ(send(IOCTL_VORNPCI_FLUSH_FIFO, Bytes(), none).status, STATUS_SUCCESS);
    EXPECT_EQ(device().EventRingFrames, 0u);
    EXPECT_EQ(nextEventNow(0).sequence, 1u);
    EXPECT_EQ(nextEventNow(1).sequence, 2u);
}

// Storms past the FIFO's capacity and more events than the log holds: a reader's events and
// its counted drops add up to every event the board tagged.
TEST_F(WaitsTest, DeliveredPlusDroppedEqualsEveryTaggedEventPastCapacity) {
    for (int round = 0; round < 60; ++round) {
        board().strobeEvents(250);
        settle();
    }
    strobe(); // after the last storm's losses, so that they are numbered
    const EventCountersRecord counters = eventCounters();
    uint64_t delivered = 0;
    uint64_t dropped = 0;
    for (uint64_t cursor = 0; cursor < counters.tagged;) {
        SequencedEventRecord record = nextEventNow(cursor);
        ASSERT_EQ(record.sequence, cursor + record.droppedBefore + 1);
        dropped += record.droppedBefore;
        ++delivered;
        cursor = record.sequence;
    }
    EXPECT_LE(delivered, uint64_t(VORN_EVENT_LOG_ENTRIES));
    EXPECT_EQ(delivered + dropped, counters.tagged);
    EXPECT_EQ(counters.tagged, board().counters().eventsTagged);
    EXPECT_EQ(counters.fifoOverflows, board().counters().eventsRefused);
    EXPECT_GT(counters.fifoOverflows, 0u);
}

} // namespace
} // namespace vornpcitest
