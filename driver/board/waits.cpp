// The three timed waits of the board device (event, heartbeat, match): their handlers, the
// interrupt and time-out DPCs and the cancel routines.
//
// Hand-over: a pending wait sits in its kind's slot with its cancel routine set. A DPC may
// complete it only after taking it out of the slot under DeviceLock and removing its cancel
// routine (CheckIrpCanceled); a cancel routine that has been called owns its request and
// empties the slot under DeviceLock before completing it. The handler publishes the request,
// sets its cancel routine and arms the timer in one hold of DeviceLock. So each wait is
// completed exactly once, and nobody reads it after its completion.
#include "board_protocol.h"
#include "vornpci_device.h"

#include "vornpci_records.h"

struct CVORNpci::WaitKind {
    PIRP CVORNpci::*Slot;
    KTIMER CVORNpci::*Timer;
    KDPC CVORNpci::*TimerDpc;
    PDRIVER_CANCEL CancelRoutine;
    BOOLEAN IsEvent;
};

namespace {

const CVORNpci::WaitKind* EventKind();
const CVORNpci::WaitKind* HeartKind();
const CVORNpci::WaitKind* MatchKind();

CVORNpci* DeviceOf(PVOID Context) {
    return static_cast<CVORNpci*>(Context);
}

ULONG Bcd(USHORT Word) {
    return ((Word >> 4) & 0x0F) * 10 + (Word & 0x0F);
}

VOID Disarm(CVORNpci* Device) {
    __atomic_store_n(&Device->EventWaitArmed, UCHAR(0), __ATOMIC_RELEASE);
}

// The due time of a time-out: relative, so negative, in 100 ns units. Computed in 64 bits: a
// time-out of any number of milliseconds waits that long.
LARGE_INTEGER DueTimeOf(ULONG TimeoutMs) {
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(ULONGLONG(TimeoutMs) * 10000 + 10);
    return due;
}

} // namespace

VOID CVORNpci::DecodeLastEvent(PIRP Irp) {
    auto* record = static_cast<vornpci::EventWaitRecord*>(Irp->AssociatedIrp.SystemBuffer);
    const USHORT* w = LastEvent;
    record->dayOfYear = USHORT((w[2] & 0x0F) * 100 + Bcd(w[3]));
    record->hours = UCHAR(Bcd(w[4]));
    record->minutes = UCHAR(Bcd(w[5]));
    ULONG micros = 0;
    for (int i = 6; i < 10; ++i)
        micros = micros * 100 + Bcd(w[i]);
    record->microsInMinute = micros;
}

// Sets an interrupt enable bit in ControlShadow and writes the whole shadow to the board. The
// board lock keeps the write from falling inside a query's off-and-on of the event source, and
// the write is made in step with the interrupt service routine.
VOID CVORNpci::WriteControlShadow(UCHAR EnableBit) {
    BoardExchange(FALSE, [&](ULONG_PTR) {
        ControlShadow = UCHAR(ControlShadow | EnableBit);
        SynchronizeWithIsr(WriteControlSync);
        return VORN_SUCCESS;
    });
}

// The common wait handler; the dispatch routine has switched the source on and checked the
// lengths. PASSIVE_LEVEL.
NTSTATUS CVORNpci::StartWait(const WaitKind& Kind, PIRP Irp) {
    const ULONG timeoutMs = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
    const KIRQL irql = KfAcquireSpinLock(&DeviceLock);
    if (Kind.IsEvent && KeSynchronizeExecution(InterruptObject, PopOrArmSync, this)) {
        DecodeLastEvent(Irp);
        KfReleaseSpinLock(&DeviceLock, irql);
        return STATUS_SUCCESS;
    }
    PIRP& slot = this->*Kind.Slot;
    if (slot != nullptr) {
        KfReleaseSpinLock(&DeviceLock, irql);
        return STATUS_INVALID_PARAMETER;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    slot = Irp;
    if (!SetCancelRoutine(Irp, Kind.CancelRoutine)) {
        slot = nullptr;
        if (Kind.IsEvent)
            Disarm(this);
        KfReleaseSpinLock(&DeviceLock, irql);
        CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    KeSetTimer(&(this->*Kind.Timer), DueTimeOf(timeoutMs), &(this->*Kind.TimerDpc));
    KfReleaseSpinLock(&DeviceLock, irql);
    return STATUS_PENDING;
}

NTSTATUS CVORNpci::VORNpciIoctlWaitEvent(PIRP Irp) {
    return StartWait(*EventKind(), Irp);
}

NTSTATUS CVORNpci::VORNpciIoctlWaitHeart(PIRP Irp) {
    return StartWait(*HeartKind(), Irp);
}

NTSTATUS CVORNpci::VORNpciIoctlWaitMatch(PIRP Irp) {
    return StartWait(*MatchKind(), Irp);
}

// Caller holds DeviceLock at DISPATCH_LEVEL. The slot's request, now the caller's to complete,
// or null when the slot is empty or a cancel routine owns its request.
PIRP CVORNpci::ClaimSlot(const WaitKind& Kind) {
    PIRP& slot = this->*Kind.Slot;
    PIRP irp = slot;
    if (irp == nullptr || CheckIrpCanceled(irp))
        return nullptr;
    slot = nullptr;
    KeCancelTimer(&(this->*Kind.Timer));
    return irp;
}

VOID CVORNpci::CompleteWait(PIRP Irp, NTSTATUS Status) {
    CompleteIrp(Irp, Status, IO_NO_INCREMENT);
}

// Event DPC: hands the oldest event to the pending wait. An event is taken off the ring only
// when a wait receives it; without one it stays queued. DISPATCH_LEVEL.
VOID CVORNpci::VORNpciDpcForEvent(PKDPC, PVOID Context, PVOID, PVOID) {
    CVORNpci* device = DeviceOf(Context);
    KefAcquireSpinLockAtDpcLevel(&device->DeviceLock);
    PIRP irp = nullptr;
    if (device->EventIrp != nullptr &&
        KeSynchronizeExecution(device->InterruptObject, RingHoldsEventSync, device))
        irp = device->ClaimSlot(*EventKind());
    if (irp != nullptr) {
        // Only readers holding DeviceLock take frames, so the one seen above is still there.
        KeSynchronizeExecution(device->InterruptObject, PopEventSync, device);
        Disarm(device);
        device->DecodeLastEvent(irp);
        irp->IoStatus.Information = sizeof(vornpci::EventWaitRecord);
    }
    KefReleaseSpinLockFromDpcLevel(&device->DeviceLock);
    if (irp != nullptr)
        device->CompleteWait(irp, STATUS_SUCCESS);
}

VOID CVORNpci::VORNpciDpcForHeartbeat(PKDPC, PVOID Context, PVOID, PVOID) {
    CVORNpci* device = DeviceOf(Context);
    KefAcquireSpinLockAtDpcLevel(&device->DeviceLock);
    PIRP irp = device->ClaimSlot(*HeartKind());
    KefReleaseSpinLockFromDpcLevel(&device->DeviceLock);
    if (irp != nullptr)
        device->CompleteWait(irp, STATUS_SUCCESS);
}

VOID CVORNpci::VORNpciDpcForMatch(PKDPC, PVOID Context, PVOID, PVOID) {
    CVORNpci* device = DeviceOf(Context);
    KefAcquireSpinLockAtDpcLevel(&device->DeviceLock);
    PIRP irp = device->ClaimSlot(*MatchKind());
    KefReleaseSpinLockFromDpcLevel(&device->DeviceLock);
    if (irp != nullptr) {
        irp->IoStatus.Information = 0;
        device->CompleteWait(irp, STATUS_SUCCESS);
    }
}

// A time-out: completes the kind's wait with STATUS_DEVICE_NOT_READY. A call queued by an
// expiry that a later wait has since re-armed over finds the timer unsignalled and leaves the
// new wait alone. DISPATCH_LEVEL.
VOID CVORNpci::TimerExpired(PVOID Context, const WaitKind& Kind) {
    CVORNpci* device = DeviceOf(Context);
    KefAcquireSpinLockAtDpcLevel(&device->DeviceLock);
    PIRP irp = nullptr;
    if (KeReadStateTimer(&(device->*Kind.Timer)))
        irp = device->ClaimSlot(Kind);
    if (irp != nullptr && Kind.IsEvent)
        Disarm(device);
    KefReleaseSpinLockFromDpcLevel(&device->DeviceLock);
    if (irp != nullptr) {
        irp->IoStatus.Information = 0;
        device->CompleteWait(irp, STATUS_DEVICE_NOT_READY);
    }
}

VOID CVORNpci::VORNpciWaitDpcForEventTmr(PKDPC, PVOID Context, PVOID, PVOID) {
    TimerExpired(Context, *EventKind());
}

VOID CVORNpci::VORNpciWaitDpcForHeartTmr(PKDPC, PVOID Context, PVOID, PVOID) {
    TimerExpired(Context, *HeartKind());
}

VOID CVORNpci::VORNpciWaitDpcForMatchTmr(PKDPC, PVOID Context, PVOID, PVOID) {
    TimerExpired(Context, *MatchKind());
}

// Entered holding the cancel spin lock, which is given up before DeviceLock is taken (the lock
// order is DeviceLock first).
VOID CVORNpci::CancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, const WaitKind& Kind) {
    CVORNpci* device = DeviceOf(DeviceObject->DeviceExtension);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    const KIRQL irql = KfAcquireSpinLock(&device->DeviceLock);
    PIRP& slot = device->*Kind.Slot;
    if (slot == Irp) {
        slot = nullptr;
        KeCancelTimer(&(device->*Kind.Timer));
        if (Kind.IsEvent)
            Disarm(device);
    }
    KfReleaseSpinLock(&device->DeviceLock, irql);
    Irp->IoStatus.Information = 0;
    device->CompleteWait(Irp, STATUS_CANCELLED);
}

VOID CVORNpci::VORNpciEventCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CancelWait(DeviceObject, Irp, *EventKind());
}

VOID CVORNpci::VORNpciHeartCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CancelWait(DeviceObject, Irp, *HeartKind());
}

VOID CVORNpci::VORNpciMatchCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CancelWait(DeviceObject, Irp, *MatchKind());
}

namespace {

const CVORNpci::WaitKind kEventKind{&CVORNpci::EventIrp, &CVORNpci::EventTmr,
                                    &CVORNpci::EventTmrDpc, CVORNpci::VORNpciEventCancelCallback,
                                    TRUE};
const CVORNpci::WaitKind kHeartKind{&CVORNpci::HeartIrp, &CVORNpci::HeartTmr,
                                    &CVORNpci::HeartTmrDpc, CVORNpci::VORNpciHeartCancelCallback,
                                    FALSE};
const CVORNpci::WaitKind kMatchKind{&CVORNpci::MatchIrp, &CVORNpci::MatchTmr,
                                    &CVORNpci::MatchTmrDpc, CVORNpci::VORNpciMatchCancelCallback,
                                    FALSE};

const CVORNpci::WaitKind* EventKind() {
    return &kEventKind;
}
const CVORNpci::WaitKind* HeartKind() {
    return &kHeartKind;
}
const CVORNpci::WaitKind* MatchKind() {
    return &kMatchKind;
}

} // namespace
