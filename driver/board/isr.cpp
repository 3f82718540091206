// The board device's interrupt service routine and the event ring it fills, with the routines
// that run in step with it (ring reads, ring reset, control register writes, FIFO exchanges).
#include "board_protocol.h"
#include "vornpci_device.h"

namespace {

PUSHORT RingAdvance(CVORNpci* Device, PUSHORT Position) {
    ++Position;
    return Position == Device->EventRing + VORN_EVENT_RING_WORDS ? Device->EventRing : Position;
}

} // namespace

// Numbers and logs the frame just read if it can be an event's, and puts it into the ring (a
// full ring gives up its oldest frame for it, counted) and wakes an armed wait. In step with
// the interrupt service routine and the ring's readers.
VOID CVORNpci::KeepFrame(CVORNpci* Device) {
    if (!vornIsEventFrame(Device->FrameBytes))
        return;
    NumberAndLog(Device);
    if (Device->EventRingFrames == VORN_EVENT_RING_FRAMES) {
        ++Device->RingDrops;
        for (ULONG i = 0; i < FifoFrameBytes; ++i)
            Device->EventRingTail = RingAdvance(Device, Device->EventRingTail);
        --Device->EventRingFrames;
    }
    for (USHORT word : Device->FrameBytes) {
        *Device->EventRingHead = word;
        Device->EventRingHead = RingAdvance(Device, Device->EventRingHead);
    }
    ++Device->EventRingFrames;
    if (__atomic_load_n(&Device->EventWaitArmed, __ATOMIC_ACQUIRE))
        KeInsertQueueDpc(&Device->EventDpc, nullptr, nullptr);
}

BOOLEAN CVORNpci::KeepFrameSync(PVOID Context) {
    KeepFrame(static_cast<CVORNpci*>(Context));
    return TRUE;
}

// One byte from the FIFO: first what is owed to a late answer, then the frame being read.
// TRUE when the byte completes a frame, which is then in FrameBytes for the caller to keep.
BOOLEAN CVORNpci::FeedFifoByte(CVORNpci* Device, USHORT Word) {
    if (Device->AnswerTail != 0) {
        --Device->AnswerTail;
        return FALSE;
    }
    Device->FrameBytes[Device->FrameFill++] = Word;
    if (Device->FrameFill < FifoFrameBytes)
        return FALSE;
    Device->FrameFill = 0;
    return TRUE;
}

// Reads the bytes of the current frame that show within the device-IRQL bound. A byte that
// does not show leaves the frame for the next call. TRUE when any byte was read. Device IRQL.
BOOLEAN CVORNpci::TakeFifoBytes(CVORNpci* Device) {
    const ULONG_PTR port = Device->PortBase();
    BOOLEAN read = FALSE;
    while (vornFifoByteShows(port)) {
        read = TRUE;
        if (Device->FrameFill == 0 && Device->AnswerTail == 0)
            BeginFrame(Device);
        if (FeedFifoByte(Device, vornReadRegister(port, DataPort) & 0xFF)) {
            KeepFrame(Device);
            break;
        }
    }
    return read;
}

// Interrupt service routine: serves one source per call, heartbeat before match before event.
// Claims only what the board raised: a pending heartbeat or match, or FIFO bytes that show
// within the device-IRQL bound. A slow FIFO whose byte has not shown yet is disowned; the line
// stays up and the routine is called again until the byte shows. Device IRQL.
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
    if (device->FifoExchangeActive) {
        // The FIFO holds a request's answer, or an event that came as the exchange ended and
        // switched the event source back on. The answer is not ours to take, and the event
        // waits: the source goes off until the exchange's end switches it on again. With the
        // source off, or nothing in the FIFO, the board raised nothing.
        if (!(status & ExtIntrEnable) || ((status & FifoEmpty) && !vornFifoByteShows(port)))
            return FALSE;
        DIS_EXT_INTR(port);
        return TRUE;
    }
    if ((status & FifoEmpty) && !(status & ExtIntrEnable))
        return FALSE;
    return TakeFifoBytes(device);
}

// The device object's DPC, which the interrupt service routine never requests.
VOID CVORNpci::VORNpciDpcForIsr(PKDPC, PDEVICE_OBJECT, PIRP, PVOID) {}

BOOLEAN CVORNpci::SourcesOffSync(PVOID Context) {
    vornWriteRegister(static_cast<CVORNpci*>(Context)->PortBase(), ControlPort, 0);
    return TRUE;
}

// ControlShadow, whole, to the board, in step with the routine's own read-modify-write of the
// control register during an exchange, so that neither write undoes the other.
BOOLEAN CVORNpci::WriteControlSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    vornWriteRegister(device->PortBase(), ControlPort, device->ControlShadow);
    return TRUE;
}

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

// Before a request's FIFO exchange: the event source goes off and the routine keeps off the
// FIFO; the exchange then takes what the FIFO holds (DrainFifo).
BOOLEAN CVORNpci::FifoExchangeOnSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    DIS_EXT_INTR(device->PortBase());
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

// PASSIVE_LEVEL, holding BoardMutex. Events already in the FIFO go to the ring before the
// exchange, which would otherwise flush them or read them as its answer.
VOID CVORNpci::SetFifoExchange(BOOLEAN Active) {
    if (!Active) {
        SynchronizeWithIsr(FifoExchangeOffSync);
        return;
    }
    SynchronizeWithIsr(FifoExchangeOnSync);
    DrainFifo(TRUE);
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
