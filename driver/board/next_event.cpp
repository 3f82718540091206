// The next-event request: any number of callers wait at once for the first logged event after
// the sequence number each already has, each with its own time-out.
//
// Hand-over: a pending request sits in NextEventWaiters with its cancel routine set. A DPC
// completes it only after taking its cancel routine away (CheckIrpCanceled) and unlinking it
// under DeviceLock; a cancel routine that has been called owns its request and unlinks it under
// DeviceLock. The handler links the request and sets its cancel routine in one hold of
// DeviceLock. So every request is completed exactly once.
#include "vornpci_device.h"

#include "vornpci_records.h"

namespace {

CVORNpci* DeviceOf(PVOID Context) {
    return static_cast<CVORNpci*>(Context);
}

PIRP IrpOfLink(PLIST_ENTRY Link) {
    return CONTAINING_RECORD(Link, IRP, Tail.Overlay.ListEntry);
}

vornpci::SequencedEventRecord* RecordOf(PIRP Irp) {
    return static_cast<vornpci::SequencedEventRecord*>(Irp->AssociatedIrp.SystemBuffer);
}

ULONGLONG DeadlineOf(PIRP Irp) {
    return ULONGLONG(reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[0]));
}

VOID SetDeadline(PIRP Irp, ULONGLONG Deadline) {
    static_assert(sizeof(ULONG_PTR) >= sizeof(ULONGLONG));
    Irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(ULONG_PTR(Deadline));
}

} // namespace

// PASSIVE_LEVEL. The dispatch routine has checked the lengths.
NTSTATUS CVORNpci::VORNpciIoctlNextEvent(PIRP Irp) {
    vornpci::SequencedEventRecord* record = RecordOf(Irp);
    const ULONGLONG deadline = KeQueryInterruptTime() + ULONGLONG(record->timeoutMs) * 10000;
    const KIRQL irql = KfAcquireSpinLock(&DeviceLock);
    const NTSTATUS status = FindLogged(record->afterSequence, record, TRUE);
    if (status != STATUS_PENDING) {
        DisarmNextEventIfIdle();
        KfReleaseSpinLock(&DeviceLock, irql);
        return status;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    SetDeadline(Irp, deadline);
    InsertTailList(&NextEventWaiters, &Irp->Tail.Overlay.ListEntry);
    if (!SetCancelRoutine(Irp, VORNpciNextEventCancelCallback)) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        DisarmNextEventIfIdle();
        KfReleaseSpinLock(&DeviceLock, irql);
        CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    ArmNextEventTimer(deadline);
    KfReleaseSpinLock(&DeviceLock, irql);
    return STATUS_PENDING;
}

// Caller holds DeviceLock. With no request left waiting, logged events no longer queue the DPC.
VOID CVORNpci::DisarmNextEventIfIdle() {
    if (IsListEmpty(&NextEventWaiters))
        __atomic_store_n(&NextEventArmed, UCHAR(0), __ATOMIC_RELEASE);
}

// Caller holds DeviceLock. The timer is set for the earliest deadline of the waiting requests.
VOID CVORNpci::ArmNextEventTimer(ULONGLONG Deadline) {
    if (NextEventTmrDue != 0 && NextEventTmrDue <= Deadline)
        return;
    NextEventTmrDue = Deadline;
    const ULONGLONG now = KeQueryInterruptTime();
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(Deadline > now ? Deadline - now : 1);
    KeSetTimer(&NextEventTmr, due, &NextEventTmrDpc);
}

// Completes every waiting request whose event is logged or whose time is up; the rest wait on,
// the timer set for the earliest of them. DISPATCH_LEVEL.
VOID CVORNpci::ServeNextEventWaiters() {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KefAcquireSpinLockAtDpcLevel(&DeviceLock);
    const ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG earliest = 0;
    for (PLIST_ENTRY link = NextEventWaiters.Flink; link != &NextEventWaiters;) {
        PIRP irp = IrpOfLink(link);
        link = link->Flink;
        NTSTATUS status = FindLogged(RecordOf(irp)->afterSequence, RecordOf(irp), FALSE);
        if (status == STATUS_PENDING && DeadlineOf(irp) <= now)
            status = STATUS_DEVICE_NOT_READY;
        if (status == STATUS_PENDING) {
            if (earliest == 0 || DeadlineOf(irp) < earliest)
                earliest = DeadlineOf(irp);
            continue;
        }
        if (CheckIrpCanceled(irp))
            continue; // its cancel routine owns it and unlinks it
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = NT_SUCCESS(status) ? sizeof(vornpci::SequencedEventRecord) : 0;
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    DisarmNextEventIfIdle();
    NextEventTmrDue = 0;
    if (earliest != 0)
        ArmNextEventTimer(earliest);
    else
        KeCancelTimer(&NextEventTmr);
    KefReleaseSpinLockFromDpcLevel(&DeviceLock);
    while (!IsListEmpty(&done)) {
        PIRP irp = IrpOfLink(RemoveHeadList(&done));
        CompleteIrp(irp, irp->IoStatus.Status, IO_NO_INCREMENT);
    }
}

VOID CVORNpci::VORNpciDpcForNextEvent(PKDPC, PVOID Context, PVOID, PVOID) {
    DeviceOf(Context)->ServeNextEventWaiters();
}

VOID CVORNpci::VORNpciDpcForNextEventTmr(PKDPC, PVOID Context, PVOID, PVOID) {
    DeviceOf(Context)->ServeNextEventWaiters();
}

// Entered holding the cancel spin lock, which is given up before DeviceLock is taken (the lock
// order is DeviceLock first). The request is still linked: only its cancel routine unlinks a
// request whose cancel routine has not been taken away.
VOID CVORNpci::VORNpciNextEventCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CVORNpci* device = DeviceOf(DeviceObject->DeviceExtension);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    const KIRQL irql = KfAcquireSpinLock(&device->DeviceLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    device->DisarmNextEventIfIdle();
    KfReleaseSpinLock(&device->DeviceLock, irql);
    Irp->IoStatus.Information = 0;
    device->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}
