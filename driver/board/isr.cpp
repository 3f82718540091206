// The board device's interrupt service routine and the event ring it fills, with the routines
// that run in step with it (ring reads, ring reset, FIFO exchanges of requests).
#include "board_protocol.h"
#include "vornpci_device.h"

namespace {

PUSHORT RingAdvance(CVORNpci* Device, PUSHORT Position) {
    ++Position;
    return Position == Device->EventRing + VORN_EVENT_RING_WORDS ? Device->EventRing : Position;
}

// Frames a drain before an exchange takes out of the FIFO at most: more than the FIFO holds.
constexpr ULONG kDrainFrames = 128;

// A slow board shows a byte a few status reads after it has it: a few quick polls see it.
BOOLEAN FifoByteShows(ULONG_PTR Port) {
    for (ULONG poll = 0; poll < VORN_FIFO_SPIN_POLLS; ++poll)
        if (!(vornReadRegister(Port, StatusPort) & FifoEmpty))
            return TRUE;
    return FALSE;
}

// A slow board raises the event interrupt a little before its FIFO shows the byte; with the
// event source on, a few quick status polls tell such an event from an entry for another
// device on a shared line.
BOOLEAN EventByteComing(ULONG_PTR Port, USHORT Status) {
    return (Status & ExtIntrEnable) && FifoByteShows(Port);
}

} // namespace

// Reads one event frame from the FIFO into the ring; a full ring gives up its oldest frame for
// it. An event whose bytes stop coming is dropped whole. Device IRQL, in step with the ring's
// readers.
BOOLEAN CVORNpci::PushEventFromFifo(CVORNpci* Device) {
    USHORT frame[FifoFrameBytes];
    if (readFIFO(Device->PortBase(), frame, FifoFrameBytes) != VORN_SUCCESS)
        return FALSE;
    if (Device->EventRingFrames == VORN_EVENT_RING_FRAMES) {
        for (ULONG i = 0; i < FifoFrameBytes; ++i)
            Device->EventRingTail = RingAdvance(Device, Device->EventRingTail);
        --Device->EventRingFrames;
    }
    for (USHORT word : frame) {
        *Device->EventRingHead = word;
        Device->EventRingHead = RingAdvance(Device, Device->EventRingHead);
    }
    ++Device->EventRingFrames;
    return TRUE;
}

// Interrupt service routine: serves one source per call, heartbeat before match before event.
// Returns FALSE when the board raised nothing (a shared line). Device IRQL.
BOOLEAN CVORNpci::VORNpciIsr(PKINTERRUPT, PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    const ULONG_PTR port = device->PortBase();
    const USHORT status = vornReadRegister(port, StatusPort);
    if (status & HeartIntr) {
        vornWriteRegister(port, IntAckPort, IntAckHeart);
        KeInsertQueueDpc(&device->HeartbeatDpc, nullptr, nullptr);
        return TRUE;
    }
    if (status & MatchIntr) {
        vornWriteRegister(port, IntAckPort, IntAckMatch);
        KeInsertQueueDpc(&device->MatchDpc, nullptr, nullptr);
        return TRUE;
    }
    if ((status & FifoEmpty) && !EventByteComing(port, status))
        return (status & ExtIntrEnable) ? ParkEventSource(device, port) : FALSE;
    if (device->FifoExchangeActive) {
        // The FIFO holds a request's answer, or an event that came as the exchange ended and
        // switched the event source back on. The answer is not ours to take, and the event
        // waits: the source goes off until the exchange's end switches it on again.
        if (!(status & ExtIntrEnable))
            return FALSE;
        DIS_EXT_INTR(port);
        return TRUE;
    }
    PushEventFromFifo(device);
    if (__atomic_load_n(&device->EventWaitArmed, __ATOMIC_ACQUIRE))
        KeInsertQueueDpc(&device->EventDpc, nullptr, nullptr);
    return TRUE;
}

// With the event source on, the line up and the FIFO still showing empty after the quick
// polls, the interrupt is either a slow board's event whose byte has not shown yet or another
// device's on a shared line. Disowning it would leave a slow board's line asserted for good, so
// the event source goes off (the line drops if it was ours) and a DPC switches it on again:
// by then the byte shows, or the line rises once more and the status reads go on.
BOOLEAN CVORNpci::ParkEventSource(CVORNpci* Device, ULONG_PTR Port) {
    DIS_EXT_INTR(Port);
    Device->EventSourceParked = 1;
    KeInsertQueueDpc(&Device->EventSourceDpc, nullptr, nullptr);
    return TRUE;
}

VOID CVORNpci::VORNpciDpcForEventSource(PKDPC, PVOID Context, PVOID, PVOID) {
    static_cast<CVORNpci*>(Context)->SynchronizeWithIsr(ResumeEventSourceSync);
}

// A request's FIFO exchange switches the source on itself when it ends.
BOOLEAN CVORNpci::ResumeEventSourceSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    if (device->EventSourceParked && !device->FifoExchangeActive)
        ENB_EXT_INTR(device->PortBase());
    device->EventSourceParked = 0;
    return TRUE;
}

BOOLEAN CVORNpci::SourcesOffSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    vornWriteRegister(device->PortBase(), ControlPort, 0);
    device->EventSourceParked = 0;
    return TRUE;
}

// The device object's DPC, which the interrupt service routine never requests.
VOID CVORNpci::VORNpciDpcForIsr(PKDPC, PDEVICE_OBJECT, PIRP, PVOID) {}

// In step with the interrupt service routine: takes the oldest frame into LastEvent.
BOOLEAN CVORNpci::PopEventSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    if (device->EventRingFrames == 0)
        return FALSE;
    for (USHORT& word : device->LastEvent) {
        word = *device->EventRingTail;
        device->EventRingTail = RingAdvance(device, device->EventRingTail);
    }
    --device->EventRingFrames;
    return TRUE;
}

// As PopEventSync; with the ring empty, arms the event DPC for the next event instead, so that
// no event can slip in between the look and the arming.
BOOLEAN CVORNpci::PopOrArmSync(PVOID Context) {
    if (PopEventSync(Context))
        return TRUE;
    __atomic_store_n(&static_cast<CVORNpci*>(Context)->EventWaitArmed, UCHAR(1), __ATOMIC_RELEASE);
    return FALSE;
}

BOOLEAN CVORNpci::RingHoldsEventSync(PVOID Context) {
    return static_cast<CVORNpci*>(Context)->EventRingFrames != 0;
}

BOOLEAN CVORNpci::ResetRingSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    device->EventRingHead = device->EventRing;
    device->EventRingTail = device->EventRing;
    device->EventRingFrames = 0;
    return TRUE;
}

// Before a request's FIFO exchange: events already in the FIFO go to the ring (the exchange
// would flush them), then the event source goes off and the routine keeps off the FIFO.
BOOLEAN CVORNpci::FifoExchangeOnSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    const ULONG_PTR port = device->PortBase();
    BOOLEAN queued = FALSE;
    // A slow FIFO hides an event's first byte for a few reads; the exchange's flush would not
    // see it either, and would read the event as its answer.
    for (ULONG frames = 0; frames < kDrainFrames; ++frames) {
        if (!FifoByteShows(port))
            break;
        if (!PushEventFromFifo(device))
            break;
        queued = TRUE;
    }
    if (queued && __atomic_load_n(&device->EventWaitArmed, __ATOMIC_ACQUIRE))
        KeInsertQueueDpc(&device->EventDpc, nullptr, nullptr);
    DIS_EXT_INTR(port);
    device->FifoExchangeActive = 1;
    return TRUE;
}

// After the exchange: the routine reads the FIFO again and the event source is on.
BOOLEAN CVORNpci::FifoExchangeOffSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    device->FifoExchangeActive = 0;
    ENB_EXT_INTR(device->PortBase());
    return TRUE;
}

// PASSIVE_LEVEL, holding BoardMutex.
VOID CVORNpci::SetFifoExchange(BOOLEAN Active) {
    SynchronizeWithIsr(Active ? FifoExchangeOnSync : FifoExchangeOffSync);
}

VOID CVORNpci::SynchronizeWithIsr(PKSYNCHRONIZE_ROUTINE Routine) {
    if (InterruptObject != nullptr)
        KeSynchronizeExecution(InterruptObject, Routine, this);
    else
        Routine(this);
}

// The board's ring is emptied (flush request) in step with the interrupt service routine.
// Caller holds DeviceLock, or runs before the interrupt is connected.
VOID CVORNpci::ResetEventRing() {
    SynchronizeWithIsr(ResetRingSync);
}
