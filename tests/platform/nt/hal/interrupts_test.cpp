// Interrupt vectors, connection rules, delivery on level-sensitive and latched lines,
// KeSynchronizeExecution, and the unload checks of HAL resources.
#include "hal_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace halfake;
using ntemu::Check;
namespace verifier = ntemu::verifier;
namespace faults = ntemu::faults;

namespace {

// A device with one level-sensitive source: raise() makes an event pending and asserts the
// line; acknowledge() takes every pending event and drops it. Both drive the line with the
// device's lock held, as a device model does.
class IrqDevice {
public:
    explicit IrqDevice(ntemu::bus::IrqLine& line) : m_line(line) {}
    void raise() {
        std::lock_guard lock(m_mutex);
        ++m_pending;
        m_line.setLevel(true);
    }
    unsigned acknowledge() {
        std::lock_guard lock(m_mutex);
        unsigned taken = m_pending;
        m_pending = 0;
        m_line.setLevel(false);
        return taken;
    }

private:
    std::mutex m_mutex;
    ntemu::bus::IrqLine& m_line;
    unsigned m_pending = 0;
};

// A service routine's context: it records each call and claims the interrupt while
// `claimCalls` allows, acknowledging its device when it has one.
struct Isr {
    int id = 0;
    IrqDevice* device = nullptr;
    int claimCalls = 1 << 30;
    int acknowledgeFromCall = 1;
    std::atomic<int> calls{0};
    std::atomic<int> irql{-1};
    std::atomic<bool> onOtherThread{false};
    std::thread::id testThread = std::this_thread::get_id();
    std::mutex* orderMutex = nullptr;
    std::vector<int>* order = nullptr;

    static BOOLEAN routine(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<Isr*>(context);
        int call = ++self->calls;
        self->irql = KeGetCurrentIrql();
        self->onOtherThread = std::this_thread::get_id() != self->testThread;
        if (self->order != nullptr) {
            std::lock_guard lock(*self->orderMutex);
            self->order->push_back(self->id);
        }
        if (call > self->claimCalls)
            return FALSE;
        if (self->device != nullptr && call >= self->acknowledgeFromCall)
            self->device->acknowledge();
        return TRUE;
    }
};

// Spins (bounded in real time, as a safety net) until `flag` is set.
bool waitFor(const std::atomic<bool>& flag) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class InterruptsTest : public HalFixture {
protected:
    NTSTATUS connect(PKINTERRUPT* object, Isr& isr, unsigned irq,
                     KINTERRUPT_MODE mode = LevelSensitive, BOOLEAN share = TRUE) {
        return connectRoutine(object, &Isr::routine, &isr, irq, mode, share);
    }
    NTSTATUS connectRoutine(PKINTERRUPT* object, PKSERVICE_ROUTINE routine, PVOID context,
                            unsigned irq, KINTERRUPT_MODE mode = LevelSensitive,
                            BOOLEAN share = TRUE) {
        KIRQL irql = 0;
        KAFFINITY affinity = 0;
        ULONG vector = HalGetInterruptVector(PCIBus, 0, irq, irq, &irql, &affinity);
        return IoConnectInterrupt(object, routine, context, nullptr, vector, irql, irql, mode,
                                  share, affinity, FALSE);
    }

    std::mutex orderMutex;
    std::vector<int> order;
    void recordOrder(Isr& isr, int id) {
        isr.id = id;
        isr.orderMutex = &orderMutex;
        isr.order = &order;
    }
};

} // namespace

TEST_F(InterruptsTest, VectorsOfPciLines) {
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    EXPECT_EQ(HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity), 0x3Bu);
    EXPECT_EQ(irql, 16);
    EXPECT_EQ(affinity, 0x3u);
    EXPECT_EQ(HalGetInterruptVector(PCIBus, 1, 15, 15, &irql, &affinity), 0x3Fu);
    EXPECT_EQ(irql, 12);
    EXPECT_EQ(HalGetInterruptVector(PCIBus, 0, 0, 0, &irql, &affinity), 0u);
    EXPECT_EQ(HalGetInterruptVector(PCIBus, 0, 16, 16, &irql, &affinity), 0u);
    EXPECT_EQ(HalGetInterruptVector(PCIBus, 2, 11, 11, &irql, &affinity), 0u);

    atIrql(DISPATCH_LEVEL, [&] { HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity); });
    EXPECT_EQ(verifier::consume(Check::IrqlNotExact), 1u);
}

TEST_F(InterruptsTest, ConnectionArgumentsAreChecked) {
    Isr isr;
    PKINTERRUPT object = nullptr;
    const ULONG vector = ntemu::vectorForIrq(11);
    const KIRQL irql = ntemu::irqlForIrq(11);
    auto attempt = [&](ULONG v, KIRQL i, KIRQL sync, KAFFINITY mask) {
        return IoConnectInterrupt(&object, &Isr::routine, &isr, nullptr, v, i, sync, LevelSensitive,
                                  TRUE, mask, FALSE);
    };
    EXPECT_EQ(attempt(vector, irql, irql - 1, 3), STATUS_INVALID_PARAMETER);     // sync below
    EXPECT_EQ(attempt(vector, irql + 1, irql + 1, 3), STATUS_INVALID_PARAMETER); // wrong DIRQL
    EXPECT_EQ(attempt(0x30, 27, 27, 3), STATUS_INVALID_PARAMETER);               // no line 0
    EXPECT_EQ(attempt(0x40, 11, 11, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(attempt(vector, irql, irql, 0x4), STATUS_INVALID_PARAMETER); // no processor
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(hal->connectedInterruptCount(), 0u);

    faults::failNth(ntemu::FaultPoint::IoConnectInterrupt, 1);
    EXPECT_EQ(attempt(vector, irql, irql, 3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(hal->connectedInterruptCount(), 0u);

    // Floating-point state is not saved on x86: warned about, connected anyway.
    ASSERT_EQ(IoConnectInterrupt(&object, &Isr::routine, &isr, nullptr, vector, irql, irql + 2,
                                 LevelSensitive, TRUE, 1, TRUE),
              STATUS_SUCCESS);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    IoDisconnectInterrupt(object);

    atIrql(APC_LEVEL, [&] {
        ASSERT_EQ(attempt(vector, irql, irql, 3), STATUS_SUCCESS);
        IoDisconnectInterrupt(object);
    });
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].routine, "IoConnectInterrupt");
    EXPECT_EQ(reports[1].routine, "IoDisconnectInterrupt");
    EXPECT_EQ(reports[1].check, Check::IrqlNotExact);

    IoDisconnectInterrupt(object); // already gone
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
}

TEST_F(InterruptsTest, SharingNeedsBothSidesAndTheSameMode) {
    Isr a, b;
    PKINTERRUPT first = nullptr, second = nullptr;
    ASSERT_EQ(connect(&first, a, 11), STATUS_SUCCESS);
    EXPECT_EQ(connect(&second, b, 11, LevelSensitive, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(connect(&second, b, 11, Latched, TRUE), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(connect(&second, b, 11), STATUS_SUCCESS);
    EXPECT_EQ(hal->connectedInterruptCount(), 2u);
    IoDisconnectInterrupt(first);
    IoDisconnectInterrupt(second);

    PKINTERRUPT exclusive = nullptr;
    ASSERT_EQ(connect(&exclusive, a, 11, LevelSensitive, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(connect(&second, b, 11), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(connect(&second, b, 10, LevelSensitive, FALSE), STATUS_SUCCESS); // other line
    IoDisconnectInterrupt(exclusive);
    IoDisconnectInterrupt(second);
    EXPECT_EQ(hal->connectedInterruptCount(), 0u);
}

TEST_F(InterruptsTest, LevelLineIsServedAtDeviceIrqlOnTheInterruptThread) {
    IrqDevice device(hal->irqLine(11));
    Isr isr;
    isr.device = &device;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connect(&object, isr, 11), STATUS_SUCCESS);

    device.raise();
    kernel->settle();
    EXPECT_EQ(isr.calls, 1);
    EXPECT_EQ(isr.irql, ntemu::irqlForIrq(11));
    EXPECT_TRUE(isr.onOtherThread);
    EXPECT_FALSE(hal->lineMasked(11));

    device.raise();
    device.raise();
    kernel->settle();
    EXPECT_LE(isr.calls, 3);
    EXPECT_GE(isr.calls, 2);
    IoDisconnectInterrupt(object);
}

namespace {

// A service routine that returns at a raised IRQL.
BOOLEAN unbalancedIsr(PKINTERRUPT, PVOID context) {
    static_cast<IrqDevice*>(context)->acknowledge();
    KfRaiseIrql(HIGH_LEVEL);
    return TRUE;
}

} // namespace

TEST_F(InterruptsTest, RoutineReturningAtAnotherIrqlIsReported) {
    IrqDevice device(hal->irqLine(11));
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, &unbalancedIsr, &device, nullptr, vector, irql, irql,
                                 LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    EXPECT_EQ(verifier::consume(Check::IrqlUnbalanced), 1u);

    // The next interrupt is served at the right IRQL again.
    IoDisconnectInterrupt(object);
    IrqDevice again(hal->irqLine(10));
    Isr isr;
    isr.device = &again;
    ASSERT_EQ(connect(&object, isr, 10), STATUS_SUCCESS);
    again.raise();
    kernel->settle();
    EXPECT_EQ(isr.irql, ntemu::irqlForIrq(10));
    IoDisconnectInterrupt(object);
}

TEST_F(InterruptsTest, SharedLineIsWalkedInConnectionOrderUntilClaimed) {
    IrqDevice device(hal->irqLine(11));
    Isr notMine, mine, after;
    recordOrder(notMine, 1);
    recordOrder(mine, 2);
    recordOrder(after, 3);
    notMine.claimCalls = 0;
    mine.device = &device;
    PKINTERRUPT o1 = nullptr, o2 = nullptr, o3 = nullptr;
    ASSERT_EQ(connect(&o1, notMine, 11), STATUS_SUCCESS);
    ASSERT_EQ(connect(&o2, mine, 11), STATUS_SUCCESS);
    ASSERT_EQ(connect(&o3, after, 11), STATUS_SUCCESS);

    // The first walk stops at the routine that claims; the line is still asserted (that
    // routine acknowledges only on its second call), so the walk starts again from the top.
    mine.acknowledgeFromCall = 2;
    device.raise();
    kernel->settle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
    EXPECT_EQ(after.calls, 0);

    // Disconnecting the first leaves the others in their order.
    IoDisconnectInterrupt(o1);
    order.clear();
    device.raise();
    kernel->settle();
    EXPECT_EQ(order, (std::vector<int>{2}));
    IoDisconnectInterrupt(o2);
    IoDisconnectInterrupt(o3);
}

namespace {

// Claims only when its device had an event pending.
struct PendingIsr {
    IrqDevice* device;
    std::atomic<unsigned> handled{0};
    static BOOLEAN routine(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<PendingIsr*>(context);
        unsigned taken = self->device->acknowledge();
        self->handled += taken;
        return taken != 0;
    }
};

} // namespace

TEST_F(InterruptsTest, DevicesSharingALineEachHoldItAsserted) {
    IrqDevice first(hal->irqLine(11));
    IrqDevice second(hal->irqInput(11));
    PendingIsr isrFirst{&first}, isrSecond{&second};
    PKINTERRUPT objects[2] = {};
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    PendingIsr* isrs[2] = {&isrFirst, &isrSecond};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(IoConnectInterrupt(&objects[i], &PendingIsr::routine, isrs[i], nullptr, vector,
                                     irql, irql, LevelSensitive, TRUE, affinity, FALSE),
                  STATUS_SUCCESS);

    // The first device dropping its request leaves the line asserted for the second.
    second.raise();
    first.raise();
    kernel->settle();
    EXPECT_EQ(isrFirst.handled, 1u);
    EXPECT_EQ(isrSecond.handled, 1u);
    EXPECT_FALSE(hal->lineMasked(11));
    for (PKINTERRUPT object : objects)
        IoDisconnectInterrupt(object);
    EXPECT_THROW(hal->irqInput(16), std::out_of_range);
    EXPECT_THROW(hal->irqLine(0), std::out_of_range);
}

TEST_F(InterruptsTest, UnclaimedLevelLineIsReportedAndMaskedUntilItDrops) {
    IrqDevice device(hal->irqLine(11));
    Isr isr;
    isr.claimCalls = 0;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connect(&object, isr, 11), STATUS_SUCCESS);

    device.raise();
    kernel->settle();
    EXPECT_EQ(isr.calls, 1024); // walked again and again, as NT would, up to the bound
    EXPECT_TRUE(hal->lineMasked(11));
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::UnclaimedInterrupt);
    EXPECT_NE(reports[0].detail.find("IRQ 11"), std::string::npos);

    device.raise(); // still asserted: no new edge, still masked
    kernel->settle();
    EXPECT_EQ(isr.calls, 1024);

    device.acknowledge();
    EXPECT_FALSE(hal->lineMasked(11));
    device.raise();
    kernel->settle();
    EXPECT_EQ(isr.calls, 2048);
    EXPECT_EQ(verifier::consume(Check::UnclaimedInterrupt), 1u);
    IoDisconnectInterrupt(object);
    device.acknowledge();
}

// A device slow to show what it raised (a FIFO byte that shows only after many status reads)
// leaves its routine disowning the interrupt for a while: the line is walked again until the
// routine claims it, and is neither masked nor reported.
namespace {

// Disowns the interrupt until its call `claimFrom`, then takes its device's request.
struct SlowIsr {
    IrqDevice* device;
    int claimFrom;
    std::atomic<int> calls{0};
    static BOOLEAN routine(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<SlowIsr*>(context);
        if (++self->calls < self->claimFrom)
            return FALSE;
        self->device->acknowledge();
        return TRUE;
    }
};

} // namespace

TEST_F(InterruptsTest, LevelLineClaimedAfterManyUnclaimedWalksIsNotMasked) {
    IrqDevice device(hal->irqLine(11));
    SlowIsr slow{&device, 1000};
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, &SlowIsr::routine, &slow, nullptr, vector, irql, irql,
                                 LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    EXPECT_EQ(slow.calls, 1000);
    EXPECT_FALSE(hal->lineMasked(11));
    EXPECT_EQ(verifier::consume(Check::UnclaimedInterrupt), 0u);
    IoDisconnectInterrupt(object);
}

// While the routine looks, the device drops its line and raises it again (another processor
// switching its source off and on): the routine rightly disowns what it saw, and the rise is a
// new interrupt that the next walk serves. It used to be reported and masked as unclaimed.
TEST_F(InterruptsTest, LineThatDropsAndRisesDuringTheWalkIsWalkedAgain) {
    struct Reraising {
        IrqDevice* device;
        std::atomic<int> calls{0};
        static BOOLEAN routine(PKINTERRUPT, PVOID context) {
            auto* self = static_cast<Reraising*>(context);
            if (++self->calls == 1) {
                self->device->acknowledge();
                self->device->raise();
                return FALSE;
            }
            self->device->acknowledge();
            return TRUE;
        }
    };
    IrqDevice device(hal->irqLine(11));
    Reraising isr{&device};
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connectRoutine(&object, &Reraising::routine, &isr, 11), STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    EXPECT_EQ(isr.calls, 2);
    EXPECT_FALSE(hal->lineMasked(11));
    EXPECT_EQ(verifier::consume(Check::UnclaimedInterrupt), 0u);
    IoDisconnectInterrupt(object);
}

TEST_F(InterruptsTest, RoutineClaimingWithoutClearingIsStoppedAsAStorm) {
    IrqDevice device(hal->irqLine(11));
    Isr isr; // claims every time, never acknowledges
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connect(&object, isr, 11), STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    EXPECT_TRUE(hal->lineMasked(11));
    const int calls = isr.calls;
    EXPECT_GE(calls, 1000);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::UnclaimedInterrupt);
    EXPECT_NE(reports[0].detail.find("storm"), std::string::npos);

    device.acknowledge();
    EXPECT_FALSE(hal->lineMasked(11));
    IoDisconnectInterrupt(object);
    EXPECT_EQ(isr.calls, calls);
}

TEST_F(InterruptsTest, LineWithNobodyConnectedIsReportedUntilARoutineConnects) {
    IrqDevice device(hal->irqLine(5));
    device.raise();
    kernel->settle();
    EXPECT_TRUE(hal->lineMasked(5));
    EXPECT_EQ(verifier::consume(Check::UnclaimedInterrupt), 1u);

    // A routine connected to a masked line gets its chance at once.
    Isr isr;
    isr.device = &device;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connect(&object, isr, 5), STATUS_SUCCESS);
    kernel->settle();
    EXPECT_EQ(isr.calls, 1);
    EXPECT_FALSE(hal->lineMasked(5));
    IoDisconnectInterrupt(object);
}

TEST_F(InterruptsTest, LatchedLineWalksEachEdgeUntilAPassClaimsNothing) {
    Isr a, b;
    a.claimCalls = 2;
    b.claimCalls = 0;
    PKINTERRUPT oa = nullptr, ob = nullptr;
    ASSERT_EQ(connect(&oa, a, 7, Latched), STATUS_SUCCESS);
    ASSERT_EQ(connect(&ob, b, 7, Latched), STATUS_SUCCESS);
    auto& line = hal->irqLine(7);

    line.setLevel(true);
    kernel->settle();
    EXPECT_EQ(a.calls, 3); // claimed, claimed, then a pass with no claim
    EXPECT_EQ(b.calls, 3);

    line.setLevel(true); // held high: no new edge, nothing to do, nothing reported
    kernel->settle();
    EXPECT_EQ(a.calls, 3);
    EXPECT_FALSE(hal->lineMasked(7));

    line.setLevel(false);
    line.setLevel(true);
    kernel->settle();
    EXPECT_EQ(a.calls, 4);
    EXPECT_EQ(b.calls, 4);
    line.setLevel(false);

    // A routine that claims on every pass is cut off as a storm.
    a.claimCalls = 1 << 30;
    line.setLevel(true);
    kernel->settle();
    EXPECT_GE(a.calls, 1000);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::UnclaimedInterrupt);
    EXPECT_NE(reports[0].detail.find("storm"), std::string::npos);
    line.setLevel(false);
    IoDisconnectInterrupt(oa);
    IoDisconnectInterrupt(ob);
}

namespace {

struct BlockingIsr {
    IrqDevice* device = nullptr;
    std::atomic<bool> entered{false};
    std::atomic<bool> go{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};

    static BOOLEAN routine(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<BlockingIsr*>(context);
        ++self->calls;
        self->entered = true;
        waitFor(self->go);
        self->device->acknowledge();
        self->finished = true;
        return TRUE;
    }
};

} // namespace

TEST_F(InterruptsTest, DisconnectWaitsForTheRoutineAndStopsNewCalls) {
    IrqDevice device(hal->irqLine(11));
    BlockingIsr isr;
    isr.device = &device;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connectRoutine(&object, &BlockingIsr::routine, &isr, 11), STATUS_SUCCESS);
    device.raise();
    ASSERT_TRUE(waitFor(isr.entered));

    std::atomic<bool> calling{false};
    bool finishedWhenReturned = false;
    std::thread disconnecter([&] {
        calling = true;
        IoDisconnectInterrupt(object);
        finishedWhenReturned = isr.finished;
    });
    ASSERT_TRUE(waitFor(calling));
    isr.go = true;
    disconnecter.join();
    EXPECT_TRUE(finishedWhenReturned);
    EXPECT_EQ(hal->connectedInterruptCount(), 0u);

    device.raise(); // nobody left to call
    kernel->settle();
    EXPECT_EQ(isr.calls, 1);
    EXPECT_EQ(verifier::consume(Check::UnclaimedInterrupt), 1u);
    device.acknowledge();
}

namespace {

// A service routine that disconnects its own interrupt object (at DIRQL, which is reported).
struct SelfDisconnecting {
    IrqDevice* device = nullptr;
    PKINTERRUPT object = nullptr;
    static BOOLEAN isr(PKINTERRUPT interrupt, PVOID context) {
        auto* self = static_cast<SelfDisconnecting*>(context);
        IoDisconnectInterrupt(interrupt);
        self->device->acknowledge();
        return TRUE;
    }
};

} // namespace

TEST_F(InterruptsTest, RoutineDisconnectingItselfIsFreedAfterItReturns) {
    IrqDevice device(hal->irqLine(11));
    SelfDisconnecting self;
    self.device = &device;
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    ASSERT_EQ(IoConnectInterrupt(&self.object, &SelfDisconnecting::isr, &self, nullptr, vector,
                                 irql, irql, LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    EXPECT_EQ(verifier::consume(Check::IrqlNotExact), 1u);
    EXPECT_EQ(hal->connectedInterruptCount(), 0u);
}

namespace {

struct SyncContext {
    std::atomic<int> irql{-1};
    int result = TRUE;
    static BOOLEAN routine(PVOID context) {
        auto* self = static_cast<SyncContext*>(context);
        self->irql = KeGetCurrentIrql();
        return static_cast<BOOLEAN>(self->result);
    }
};

} // namespace

namespace {

// A service routine that queues DPCs as a driver's does; each DPC records where it ran.
struct DpcQueuingIsr {
    struct Run {
        const char* what;
        std::thread::id thread;
        KIRQL irql;
        ULONG processor;
    };
    IrqDevice* device = nullptr;
    KDPC medium{};
    KDPC high{};
    std::mutex mutex;
    std::vector<Run> runs;
    BOOLEAN secondInsert = TRUE;
    std::atomic<bool> serviced{false};

    void note(const char* what) {
        std::lock_guard lock(mutex);
        runs.push_back(
            {what, std::this_thread::get_id(), KeGetCurrentIrql(), KeGetCurrentProcessorNumber()});
    }
    static VOID dpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<DpcQueuingIsr*>(context);
        self->note(dpc == &self->high ? "high" : "medium");
    }
    static BOOLEAN isr(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<DpcQueuingIsr*>(context);
        self->device->acknowledge();
        KeInsertQueueDpc(&self->medium, nullptr, nullptr);
        self->secondInsert = KeInsertQueueDpc(&self->medium, nullptr, nullptr);
        KeInsertQueueDpc(&self->high, nullptr, nullptr);
        self->note("isr");
        self->serviced = true;
        return TRUE;
    }
};

// Holds processor 0 in a DPC until released, and notes its end among the isr's runs.
struct ProcessorHolder {
    DpcQueuingIsr* isr = nullptr;
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    static VOID dpc(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<ProcessorHolder*>(context);
        self->holding = true;
        waitFor(self->release);
        self->isr->note("held");
    }
};

} // namespace

// As on NT, the DPCs a service routine queues on its processor run there when it returns,
// in the interrupt's own context: high importance first, a DPC queued twice once.
TEST_F(InterruptsTest, DpcsQueuedByTheRoutineRunInItsContextWhenItReturns) {
    IrqDevice device(hal->irqLine(11));
    DpcQueuingIsr isr;
    isr.device = &device;
    KeInitializeDpc(&isr.medium, &DpcQueuingIsr::dpc, &isr);
    KeInitializeDpc(&isr.high, &DpcQueuingIsr::dpc, &isr);
    isr.high.Importance = 2; // HighImportance
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connectRoutine(&object, &DpcQueuingIsr::isr, &isr, 11), STATUS_SUCCESS);

    device.raise();
    kernel->settle();
    ASSERT_EQ(isr.runs.size(), 3u);
    EXPECT_FALSE(isr.secondInsert);
    EXPECT_STREQ(isr.runs[0].what, "isr");
    EXPECT_STREQ(isr.runs[1].what, "high");
    EXPECT_STREQ(isr.runs[2].what, "medium");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(isr.runs[i].thread, isr.runs[0].thread) << "no switch to another thread";
        EXPECT_EQ(isr.runs[i].irql, DISPATCH_LEVEL);
        EXPECT_EQ(isr.runs[i].processor, 0u);
    }
    IoDisconnectInterrupt(object);
}

// An interrupt that arrives while a DPC runs on the processor preempts it: the DPCs it queues
// run after that one, on the processor, never beside it.
TEST_F(InterruptsTest, DpcsOfAnInterruptDuringARunningDpcFollowIt) {
    IrqDevice device(hal->irqLine(11));
    DpcQueuingIsr isr;
    isr.device = &device;
    KeInitializeDpc(&isr.medium, &DpcQueuingIsr::dpc, &isr);
    KeInitializeDpc(&isr.high, &DpcQueuingIsr::dpc, &isr);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connectRoutine(&object, &DpcQueuingIsr::isr, &isr, 11), STATUS_SUCCESS);
    ProcessorHolder holder;
    holder.isr = &isr;
    KDPC holding;
    KeInitializeDpc(&holding, &ProcessorHolder::dpc, &holder);
    KeInsertQueueDpc(&holding, nullptr, nullptr);
    ASSERT_TRUE(waitFor(holder.holding));

    device.raise();
    ASSERT_TRUE(waitFor(isr.serviced));
    holder.release = true;
    kernel->settle();
    ASSERT_EQ(isr.runs.size(), 4u);
    EXPECT_STREQ(isr.runs[0].what, "isr");
    EXPECT_STREQ(isr.runs[1].what, "held");
    EXPECT_EQ(isr.runs[2].thread, isr.runs[1].thread) << "on the processor's thread";
    EXPECT_EQ(isr.runs[3].thread, isr.runs[1].thread);
    IoDisconnectInterrupt(object);
}

TEST_F(InterruptsTest, SynchronizeExecutionRunsAtSynchronizeIrql) {
    Isr isr;
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, &Isr::routine, &isr, nullptr, vector, irql, irql + 1,
                                 LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    SyncContext sync;
    EXPECT_TRUE(KeSynchronizeExecution(object, &SyncContext::routine, &sync));
    EXPECT_EQ(sync.irql, irql + 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    sync.result = FALSE;
    atIrql(DISPATCH_LEVEL, [&] {
        EXPECT_FALSE(KeSynchronizeExecution(object, &SyncContext::routine, &sync));
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
    EXPECT_EQ(verifier::pendingCount(), 0u);

    atIrql(HIGH_LEVEL, [&] { KeSynchronizeExecution(object, &SyncContext::routine, &sync); });
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
    EXPECT_EQ(sync.irql, HIGH_LEVEL);
    IoDisconnectInterrupt(object);
}

namespace {

// A service routine that synchronizes with itself: on NT this spins for ever.
struct SelfSynchronizing {
    IrqDevice* device = nullptr;
    PKINTERRUPT object = nullptr;
    SyncContext sync;
    static BOOLEAN isr(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<SelfSynchronizing*>(context);
        KeSynchronizeExecution(self->object, &SyncContext::routine, &self->sync);
        self->device->acknowledge();
        return TRUE;
    }
};

} // namespace

TEST_F(InterruptsTest, SynchronizingFromTheOwnServiceRoutineIsReportedNotHung) {
    IrqDevice device(hal->irqLine(11));
    SelfSynchronizing self;
    self.device = &device;
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    ASSERT_EQ(IoConnectInterrupt(&self.object, &SelfSynchronizing::isr, &self, nullptr, vector,
                                 irql, irql, LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    device.raise();
    kernel->settle();
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::SpinLockRecursion);
    EXPECT_EQ(reports[0].routine, "KeSynchronizeExecution");
    EXPECT_EQ(self.sync.irql, irql);

    // Afterwards the lock is free again for the driver side.
    SyncContext outside;
    EXPECT_TRUE(KeSynchronizeExecution(self.object, &SyncContext::routine, &outside));
    IoDisconnectInterrupt(self.object);
}

TEST_F(InterruptsTest, UnloadReportsAndReleasesWhatTheDriverStillHolds) {
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(assignTiming(&driver, &device, &list), STATUS_SUCCESS);
    ExFreePool(list);
    PHYSICAL_ADDRESS memory;
    memory.QuadPart = kTimingMemory;
    PVOID window = MmMapIoSpace(memory, 0x80, MmNonCached);
    ASSERT_NE(window, nullptr);
    Isr isr;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(connect(&object, isr, kTimingIrq), STATUS_SUCCESS);

    // Another driver's claim and interrupt on another line are not this driver's.
    Isr otherIsr;
    PCM_RESOURCE_LIST otherList = nullptr;
    ASSERT_EQ(HalAssignSlotResources(&registryPath, nullptr, &otherDriver, &otherDevice, PCIBus, 0,
                                     kBridgeSlot, &otherList),
              STATUS_SUCCESS);
    ExFreePool(otherList);
    {
        CM_RESOURCE_LIST irqList;
        std::memset(&irqList, 0, sizeof irqList);
        irqList.Count = 1;
        irqList.List[0].PartialResourceList.Count = 1;
        auto& d = irqList.List[0].PartialResourceList.PartialDescriptors[0];
        d.Type = CmResourceTypeInterrupt;
        d.ShareDisposition = CmResourceShareShared;
        d.u.Interrupt.Level = 9;
        BOOLEAN conflict = FALSE;
        ASSERT_EQ(IoReportResourceUsage(nullptr, &otherDriver, &irqList, sizeof irqList, nullptr,
                                        nullptr, 0, FALSE, &conflict),
                  STATUS_SUCCESS);
    }
    PKINTERRUPT otherObject = nullptr;
    ASSERT_EQ(connect(&otherObject, otherIsr, 9), STATUS_SUCCESS);

    kernel->runUnloadChecks(&driver, "DriverUnload");
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 3u);
    for (const auto& report : reports) {
        EXPECT_EQ(report.check, Check::ResourceLeak);
        EXPECT_EQ(report.routine, "DriverUnload");
    }
    EXPECT_NE(reports[0].detail.find("IRQ 11"), std::string::npos);
    EXPECT_NE(reports[1].detail.find("mapping"), std::string::npos);
    EXPECT_NE(reports[2].detail.find("claim"), std::string::npos);
    EXPECT_EQ(hal->connectedInterruptCount(), 1u);
    EXPECT_EQ(hal->mappingCount(), 0u);
    EXPECT_EQ(hal->claimCount(), 2u);

    IoDisconnectInterrupt(otherObject);
    kernel->runUnloadChecks(&otherDriver, "DriverUnload");
    EXPECT_EQ(verifier::consume(Check::ResourceLeak), 2u);
    EXPECT_EQ(hal->claimCount(), 0u);
}

namespace {

// Service routine and DPC of the concurrency cases: the routine takes the device's pending
// events and hands them to its DPC, which counts them.
struct Counting {
    IrqDevice* device = nullptr;
    KDPC dpc;
    std::atomic<unsigned> handedOver{0};
    std::atomic<unsigned> counted{0};
    std::atomic<unsigned> calls{0};
    std::atomic<unsigned> emptyCalls{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};

    // Each side stays inside for a while, so that an overlap would be seen.
    void enter() {
        if (inside.fetch_add(1) != 0)
            ++overlaps;
        for (int i = 0; i < 20; ++i)
            std::this_thread::yield();
    }
    void leave() { inside.fetch_sub(1); }

    static BOOLEAN isr(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<Counting*>(context);
        self->enter();
        ++self->calls;
        unsigned taken = self->device->acknowledge();
        if (taken == 0)
            ++self->emptyCalls;
        self->handedOver += taken;
        KeInsertQueueDpc(&self->dpc, nullptr, nullptr);
        self->leave();
        return taken != 0;
    }
    static void dpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<Counting*>(context);
        self->counted += self->handedOver.exchange(0);
    }
    static BOOLEAN synchronized(PVOID context) {
        auto* self = static_cast<Counting*>(context);
        self->enter();
        self->leave();
        return TRUE;
    }
};

} // namespace

TEST_F(InterruptsTest, ConcurrencyDeviceThreadLosesNothing) {
    IrqDevice device(hal->irqLine(11));
    Counting counting;
    counting.device = &device;
    KeInitializeDpc(&counting.dpc, &Counting::dpcRoutine, &counting);
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, 11, 11, &irql, &affinity);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, &Counting::isr, &counting, nullptr, vector, irql, irql,
                                 LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);

    constexpr unsigned kEvents = 5000;
    std::atomic<bool> deviceDone{false};
    std::thread deviceThread([&] {
        for (unsigned i = 0; i < kEvents; ++i)
            device.raise();
        deviceDone = true;
    });
    // Meanwhile the driver side synchronizes with its routine, as a dispatch routine does.
    unsigned synchronized = 0;
    while (!deviceDone || synchronized < 500) {
        KeSynchronizeExecution(object, &Counting::synchronized, &counting);
        ++synchronized;
    }
    deviceThread.join();
    kernel->settle();

    EXPECT_EQ(counting.counted.load(), kEvents);
    EXPECT_EQ(counting.emptyCalls.load(), 0u);
    EXPECT_LE(counting.calls.load(), kEvents);
    EXPECT_GE(counting.calls.load(), 1u);
    EXPECT_EQ(counting.overlaps.load(), 0);
    EXPECT_FALSE(hal->lineMasked(11));
    IoDisconnectInterrupt(object);
}
