// CIrpQueue: the device's request queue in its legacy and non-legacy modes.
#include "irpqueue.h"

#include "device.h"

static_assert(sizeof(DRVFW_DEVICE_QUEUE_ENTRY) <= sizeof(IRP::Tail.Overlay.DriverContext),
              "the framework's queue entry fits the IRP's driver-context area");
static_assert(offsetof(DRVFW_DEVICE_QUEUE_ENTRY, Inserted) ==
                  offsetof(KDEVICE_QUEUE_ENTRY, Inserted),
              "the inserted mark is where the kernel keeps it");

namespace {

CDevice* OwningDevice(PDEVICE_OBJECT Device) {
    return static_cast<CDevice*>(Device->DeviceExtension);
}

PIRP IrpOfLink(PLIST_ENTRY Link) {
    return CONTAINING_RECORD(Link, IRP, Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
}

BOOLEAN BelongsTo(PIRP Irp, PFILE_OBJECT File) {
    return File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File;
}

// The I/O manager sets the flag under the cancel spin lock; where the queue looks without that
// lock, it reads the flag atomically.
BOOLEAN CancelFlagOf(PIRP Irp) {
    return __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST);
}

VOID CompleteDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    CIrpQueue::IoCompleteDpc(Dpc, static_cast<CIrpQueue*>(Context), Argument1, Argument2);
}

} // namespace

DRVFW_DEVICE_QUEUE_ENTRY* DrvFwQueueEntry(PIRP Irp) {
    return reinterpret_cast<DRVFW_DEVICE_QUEUE_ENTRY*>(&Irp->Tail.Overlay.DeviceQueueEntry);
}

PIRP GetFirstIrp(PKDEVICE_QUEUE Queue) {
    if (IsListEmpty(&Queue->DeviceListHead))
        return nullptr;
    return IrpOfLink(Queue->DeviceListHead.Flink);
}

PIRP GetNextIrp(PKDEVICE_QUEUE Queue, PIRP Irp) {
    PLIST_ENTRY next = Irp->Tail.Overlay.DeviceQueueEntry.DeviceListEntry.Flink;
    return next == &Queue->DeviceListHead ? nullptr : IrpOfLink(next);
}

VOID RemoveIrp(PKDEVICE_QUEUE, PIRP Irp) {
    RemoveEntryList(&Irp->Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
    Irp->Tail.Overlay.DeviceQueueEntry.Inserted = FALSE;
}

PIRP GetIrpFromHead(PKDEVICE_QUEUE Queue) {
    PIRP irp = GetFirstIrp(Queue);
    if (irp != nullptr)
        RemoveIrp(Queue, irp);
    return irp;
}

VOID PutIrpAtTail(PKDEVICE_QUEUE Queue, PIRP Irp) {
    InsertTailList(&Queue->DeviceListHead, &Irp->Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
    Irp->Tail.Overlay.DeviceQueueEntry.Inserted = TRUE;
    Queue->Busy = TRUE;
}

PIRP RemoveDeviceQueue(PKDEVICE_QUEUE Queue) {
    PIRP irp = GetIrpFromHead(Queue);
    if (irp == nullptr)
        Queue->Busy = FALSE;
    return irp;
}

CIrpQueue::CIrpQueue()
    : StartIoRoutine(nullptr), DeviceObject(nullptr), DeviceQueue{}, CurrentIrp(nullptr),
      LegacyQueuing(1), QueueLockIrql(PASSIVE_LEVEL), CompleteList{},
      CompleteLock(0), CompleteDpc{}, CurrentIrpClaim(0) {
    KeInitializeDeviceQueue(&DeviceQueue);
    InitializeListHead(&CompleteList);
    KeInitializeSpinLock(&CompleteLock);
    KeInitializeDpc(&CompleteDpc, CompleteDpcRoutine, this);
}

CIrpQueue::~CIrpQueue() = default;

VOID CIrpQueue::SetStartIoRoutine(PDRIVER_STARTIO StartIo, PDEVICE_OBJECT Device) {
    StartIoRoutine = StartIo;
    DeviceObject = Device;
    LegacyQueuing = OwningDevice(Device)->LegacyQueuing;
}

PIRP CIrpQueue::GetCurrentIrp() {
    return CurrentIrp;
}
VOID CIrpQueue::SetCurrentIrp(PIRP Irp) {
    CurrentIrp = Irp;
}
VOID CIrpQueue::ClearCurrentIrp() {
    CurrentIrp = nullptr;
}

BOOLEAN CIrpQueue::IsCurrentIrpClaimed() {
    if (InterlockedCompareExchange(&CurrentIrpClaim, 1, 0) != 0)
        return TRUE;
    // No request in progress counts as claimed: there is nothing to take.
    return CurrentIrp == nullptr;
}

BOOLEAN CIrpQueue::RescindCurrentIrpClaim() {
    return InterlockedExchange(&CurrentIrpClaim, 0) != 0;
}

VOID CIrpQueue::AcquireQueueLock() {
    QueueLockIrql = KfAcquireSpinLock(&DeviceQueue.Lock);
}
VOID CIrpQueue::ReleaseQueueLock() {
    KfReleaseSpinLock(&DeviceQueue.Lock, QueueLockIrql);
}
VOID CIrpQueue::AcquireQueueLockAtDpcLevel() {
    KefAcquireSpinLockAtDpcLevel(&DeviceQueue.Lock);
}
VOID CIrpQueue::ReleaseQueueLockFromDpcLevel() {
    KefReleaseSpinLockFromDpcLevel(&DeviceQueue.Lock);
}

BOOLEAN CIrpQueue::RemoveIrpFromQueue(PIRP Irp) {
    return KeRemoveEntryDeviceQueue(&DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
}

BOOLEAN CIrpQueue::RemoveQueuedIrp(PIRP Irp) {
    if (!Irp->Tail.Overlay.DeviceQueueEntry.Inserted)
        return FALSE;
    RemoveIrp(&DeviceQueue, Irp);
    return TRUE;
}

BOOLEAN CIrpQueue::TakeCancelCustody(PIRP Irp) {
    PVOID volatile* key = reinterpret_cast<PVOID volatile*>(&DrvFwQueueEntry(Irp)->Key);
    return InterlockedCompareExchangePointer(key, nullptr, this) == this;
}

BOOLEAN CIrpQueue::InsertDeviceQueue(DRVFW_DEVICE_QUEUE_ENTRY* Entry) {
    if (!DeviceQueue.Busy) {
        DeviceQueue.Busy = TRUE;
        return FALSE;
    }
    PIRP irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry);
    PutIrpAtTail(&DeviceQueue, irp);
    Entry->Key = this;
    return TRUE;
}

// Start-I/O runs at DISPATCH_LEVEL with no framework lock held. A device without a start-I/O
// routine cannot serve a started request, so the queue completes it itself rather than leave
// it, and every request behind it, hanging: as cancelled when it was cancelled (also before it
// started), else as an invalid request. The one exception is a request that started with a
// cancel routine which a cancellation has taken meanwhile: that routine completes it.
VOID CIrpQueue::StartIo(PIRP Irp, BOOLEAN StartedWithCancelRoutine) {
    if (StartIoRoutine != nullptr) {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        StartIoRoutine(DeviceObject, Irp);
        KfLowerIrql(old);
        return;
    }
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr && StartedWithCancelRoutine)
        return;
    Irp->IoStatus.Information = 0;
    const NTSTATUS status = CancelFlagOf(Irp) ? STATUS_CANCELLED : STATUS_INVALID_DEVICE_REQUEST;
    CompleteIrpAndStartNext(Irp, status, IO_NO_INCREMENT);
}

VOID CIrpQueue::CompleteCancelled(PIRP Irp) {
    Irp->IoStatus.Information = 0;
    OwningDevice(DeviceObject)->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

VOID CIrpQueue::CallCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    Irp->CancelIrql = irql;
    CancelRoutine(DeviceObject, Irp);
}

VOID CIrpQueue::StartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    DrvFwQueueEntry(Irp)->Key = nullptr;
    if (LegacyQueuing)
        LegacyStartPacket(Irp, CancelRoutine);
    else
        QueueStartPacket(Irp, CancelRoutine);
}

VOID CIrpQueue::LegacyStartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        // Cancelled before it could be queued: the routine completes it (the generic one
        // knows it by the custody mark), or the queue does when there is no routine.
        if (CancelRoutine != nullptr) {
            DrvFwQueueEntry(Irp)->Key = this;
            Irp->CancelIrql = irql;
            CancelRoutine(DeviceObject, Irp);
        } else {
            IoReleaseCancelSpinLock(irql);
            CompleteCancelled(Irp);
        }
        return;
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (KeInsertDeviceQueue(&DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    CurrentIrp = Irp;
    IoReleaseCancelSpinLock(irql);
    StartIo(Irp, CancelRoutine != nullptr);
}

// A waiting request must carry a cancel routine here (one without is taken for a request
// being cancelled), so the generic routine stands in when the caller gives none.
VOID CIrpQueue::QueueStartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    if (CancelRoutine == nullptr)
        CancelRoutine = DrvFwIrpCancelCallback;
    AcquireQueueLock();
    if (!InsertDeviceQueue(DrvFwQueueEntry(Irp))) {
        CurrentIrp = Irp;
        InterlockedExchange(&CurrentIrpClaim, 0);
        ReleaseQueueLock();
        StartIo(Irp, FALSE);
        return;
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (CancelFlagOf(Irp) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        ReleaseQueueLock();
        CallCancelRoutine(Irp, CancelRoutine);
        return;
    }
    ReleaseQueueLock();
}

VOID CIrpQueue::StartNextPacket() {
    if (LegacyQueuing)
        LegacyStartNextPacket();
    else
        QueueStartNextPacket();
}

VOID CIrpQueue::LegacyStartNextPacket() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CurrentIrp = nullptr;
    PKDEVICE_QUEUE_ENTRY entry = DeviceQueue.Busy ? KeRemoveDeviceQueue(&DeviceQueue) : nullptr;
    if (entry == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    CurrentIrp = irp;
    // Under the cancel spin lock no cancellation is half done: a request without a routine
    // now never had one (a cancelled one with a routine has left the queue).
    const BOOLEAN withRoutine = irp->CancelRoutine != nullptr;
    IoReleaseCancelSpinLock(irql);
    StartIo(irp, withRoutine);
}

VOID CIrpQueue::QueueStartNextPacket() {
    AcquireQueueLock();
    CurrentIrp = nullptr;
    if (!DeviceQueue.Busy) {
        ReleaseQueueLock();
        return;
    }
    for (;;) {
        PIRP irp = RemoveDeviceQueue(&DeviceQueue);
        if (irp == nullptr) {
            ReleaseQueueLock();
            return;
        }
        // A request whose routine is already gone is being cancelled; its routine completes
        // it (it still carries this queue's custody mark).
        if (IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue;
        DrvFwQueueEntry(irp)->Key = nullptr;
        CurrentIrp = irp;
        ReleaseQueueLock();
        InterlockedExchange(&CurrentIrpClaim, 0);
        StartIo(irp, FALSE);
        return;
    }
}

VOID CIrpQueue::CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost) {
    StartNextPacket();
    OwningDevice(DeviceObject)->CompleteIrp(Irp, Status, PriorityBoost);
}

// The request waits on the queue's list, so a second hand-over before the DPC has run only
// lengthens the list; the DPC, queued again if it was not, takes every request off it.
VOID CIrpQueue::CompleteIrpAndStartNextWithDpc(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost) {
    Irp->IoStatus.Status = Status;
    DrvFwQueueEntry(Irp)->SortKey = PriorityBoost;
    const KIRQL irql = KfAcquireSpinLock(&CompleteLock);
    InsertTailList(&CompleteList, &Irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&CompleteLock, irql);
    KeInsertQueueDpc(&CompleteDpc, nullptr, nullptr);
}

// At DISPATCH_LEVEL: the oldest request waiting for deferred completion, or null.
PIRP CIrpQueue::TakeDeferredCompletion() {
    KefAcquireSpinLockAtDpcLevel(&CompleteLock);
    PIRP irp = nullptr;
    if (!IsListEmpty(&CompleteList))
        irp = CONTAINING_RECORD(RemoveHeadList(&CompleteList), IRP, Tail.Overlay.ListEntry);
    KefReleaseSpinLockFromDpcLevel(&CompleteLock);
    return irp;
}

VOID CIrpQueue::IoCompleteDpc(PKDPC, CIrpQueue* Queue, PVOID, PVOID) {
    while (PIRP irp = Queue->TakeDeferredCompletion())
        Queue->CompleteIrpAndStartNext(irp, irp->IoStatus.Status, DrvFwQueueEntry(irp)->SortKey);
}

BOOLEAN CIrpQueue::SetInProgressIrpCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (!CancelFlagOf(Irp))
        return TRUE;
    PDRIVER_CANCEL taken = IoSetCancelRoutine(Irp, nullptr);
    ReleaseQueueLock();
    if (taken != nullptr)
        CallCancelRoutine(Irp, taken);
    return FALSE;
}

VOID CIrpQueue::FlushQueue(PFILE_OBJECT File) {
    if (LegacyQueuing)
        LegacyFlushQueue(File);
    else
        QueueFlush(File);
}

// With the queue lock held: takes the first waiting request of `File` whose cancel routine
// can still be taken out of the queue and returns it with the lock released; null (lock
// still held) when there is none.
PIRP CIrpQueue::QueueFlushNext(PFILE_OBJECT File) {
    for (PIRP irp = GetFirstIrp(&DeviceQueue); irp != nullptr;
         irp = GetNextIrp(&DeviceQueue, irp)) {
        if (!BelongsTo(irp, File))
            continue;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        if (routine == nullptr)
            continue;
        RemoveIrp(&DeviceQueue, irp);
        ReleaseQueueLock();
        CallCancelRoutine(irp, routine);
        return irp;
    }
    return nullptr;
}

VOID CIrpQueue::QueueFlush(PFILE_OBJECT File) {
    AcquireQueueLock();
    if (!DeviceQueue.Busy) {
        ReleaseQueueLock();
        return;
    }
    while (QueueFlushNext(File) != nullptr)
        AcquireQueueLock();
    PIRP current = CurrentIrp;
    PDRIVER_CANCEL routine = nullptr;
    if (current != nullptr && BelongsTo(current, File)) {
        // The flag also tells a start-I/O routine that has not made the request cancellable
        // yet to give it up (SetInProgressIrpCancelRoutine).
        __atomic_store_n(&current->Cancel, TRUE, __ATOMIC_SEQ_CST);
        routine = IoSetCancelRoutine(current, nullptr);
    }
    ReleaseQueueLock();
    if (routine != nullptr)
        CallCancelRoutine(current, routine);
}

// Sorts the waiting requests of `File` onto `CancelQueue`, keeping the others in their order.
// The cancel spin lock and the queue lock are held.
VOID CIrpQueue::LegacySortForFlush(PFILE_OBJECT File, PKDEVICE_QUEUE CancelQueue) {
    KDEVICE_QUEUE keep;
    InitializeListHead(&keep.DeviceListHead);
    keep.Busy = FALSE;
    while (PIRP irp = GetIrpFromHead(&DeviceQueue)) {
        if (BelongsTo(irp, File)) {
            // Marked as in the queue's custody, so that a cancel arriving while it waits on
            // the local queue finds it there.
            DrvFwQueueEntry(irp)->Key = this;
            PutIrpAtTail(CancelQueue, irp);
        } else {
            PutIrpAtTail(&keep, irp);
        }
    }
    while (PIRP irp = GetIrpFromHead(&keep))
        PutIrpAtTail(&DeviceQueue, irp);
}

// Cancels the request in progress when it belongs to `File`. The cancel spin lock (saved
// IRQL in *CancelIrql) and the queue lock are held on entry and on return.
VOID CIrpQueue::LegacyFlushCurrent(PFILE_OBJECT File, KIRQL* CancelIrql) {
    PIRP current = CurrentIrp;
    if (current == nullptr || !BelongsTo(current, File))
        return;
    current->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(current, nullptr);
    if (routine == nullptr)
        return;
    current->CancelIrql = *CancelIrql;
    KefReleaseSpinLockFromDpcLevel(&DeviceQueue.Lock);
    routine(DeviceObject, current);
    IoAcquireCancelSpinLock(CancelIrql);
    KefAcquireSpinLockAtDpcLevel(&DeviceQueue.Lock);
}

VOID CIrpQueue::LegacyFlushQueue(PFILE_OBJECT File) {
    KDEVICE_QUEUE cancelQueue;
    InitializeListHead(&cancelQueue.DeviceListHead);
    cancelQueue.Busy = FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    KefAcquireSpinLockAtDpcLevel(&DeviceQueue.Lock);
    if (DeviceQueue.Busy)
        LegacySortForFlush(File, &cancelQueue);
    LegacyFlushCurrent(File, &irql);
    KefReleaseSpinLockFromDpcLevel(&DeviceQueue.Lock);
    // The local queue is guarded by the cancel spin lock; each request leaves it with its
    // cancel routine taken, so nobody else can cancel it any more.
    while (PIRP irp = GetIrpFromHead(&cancelQueue)) {
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        OwningDevice(DeviceObject)->CancelIrp(irp, routine);
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}
