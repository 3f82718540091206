// CIrpQueue: serialises requests for a device's start-I/O routine, keeps them cancellable
// while they wait, and removes a closing file's requests. Legacy mode guards the queue with
// the I/O manager's cancel spin lock and the kernel's device-queue routines; non-legacy mode
// uses the queue's own lock and interlocked cancel-routine exchanges.
#pragma once

#include "ntddk.h"

class CIrpQueue;

// How the framework sees a request's device-queue entry. The first three fields lie where the
// kernel's KDEVICE_QUEUE_ENTRY keeps them, so the kernel's routines and these agree; the key
// word, which names the queue that holds the request, follows in the rest of the IRP's
// driver-context area (a pointer does not fit the kernel's 32-bit sort key here). The queue is
// first in, first out and never sorts: a request handed over for deferred completion, which
// waits in no device queue, carries its priority boost in the sort key.
struct DRVFW_DEVICE_QUEUE_ENTRY {
    DRVFW_DEVICE_QUEUE_ENTRY* Flink;
    DRVFW_DEVICE_QUEUE_ENTRY* Blink;
    ULONG SortKey;
    BOOLEAN Inserted;
    CIrpQueue* Key;
};

// The framework's view of a request's entry.
DRVFW_DEVICE_QUEUE_ENTRY* DrvFwQueueEntry(PIRP Irp);

// Unlocked helpers on a device queue; the caller holds whatever guards it.
// The first waiting request, or null.
PIRP GetFirstIrp(PKDEVICE_QUEUE Queue);
// The request behind `Irp`, or null when `Irp` is the last.
PIRP GetNextIrp(PKDEVICE_QUEUE Queue, PIRP Irp);
// Unlinks `Irp` and clears its inserted mark.
VOID RemoveIrp(PKDEVICE_QUEUE Queue, PIRP Irp);
// Unlinks and returns the first request (mark cleared), or null; the busy flag stays.
PIRP GetIrpFromHead(PKDEVICE_QUEUE Queue);
// Links `Irp` at the tail, marks it inserted and the queue busy.
VOID PutIrpAtTail(PKDEVICE_QUEUE Queue, PIRP Irp);
// Unlinks and returns the first request (mark cleared); with none, clears the busy flag.
PIRP RemoveDeviceQueue(PKDEVICE_QUEUE Queue);

class CIrpQueue {
public:
    CIrpQueue();
    virtual ~CIrpQueue();

    // Stores the routine and the device object and takes the owning device's queue mode.
    virtual VOID SetStartIoRoutine(PDRIVER_STARTIO StartIo, PDEVICE_OBJECT Device);
    // Starts the request at once when the device is idle (start-I/O at DISPATCH_LEVEL, before
    // this returns), queues it otherwise. Every request handed in is completed exactly once,
    // by the driver or, when cancelled, with STATUS_CANCELLED. IRQL <= DISPATCH_LEVEL.
    virtual VOID StartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    // Starts the next request, then completes `Irp` through the owning device.
    virtual VOID CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost);
    // The same from the queue's DPC, for every request handed over, in the order handed over,
    // however many arrive before the DPC runs. IRQL <= DISPATCH_LEVEL.
    virtual VOID CompleteIrpAndStartNextWithDpc(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost);
    // Starts the next waiting request or makes the queue idle. IRQL <= DISPATCH_LEVEL.
    virtual VOID StartNextPacket();
    // Cancels every waiting request of `File`, and the current one (null: all requests).
    virtual VOID FlushQueue(PFILE_OBJECT File);
    // Non-legacy: unlinks a waiting request; the caller holds the queue lock.
    virtual BOOLEAN RemoveQueuedIrp(PIRP Irp);
    virtual PIRP GetCurrentIrp();
    // Claims the current request; FALSE for the one caller that has just claimed it.
    virtual BOOLEAN IsCurrentIrpClaimed();
    // Gives the claim up; returns whether it was held.
    virtual BOOLEAN RescindCurrentIrpClaim();
    virtual VOID ClearCurrentIrp();
    virtual VOID SetCurrentIrp(PIRP Irp);
    // Non-legacy, with the queue lock held: makes the request in progress cancellable. TRUE:
    // done, lock still held. FALSE: it was cancelled and handed to the routine; the lock is
    // released and the caller no longer owns the request.
    virtual BOOLEAN SetInProgressIrpCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    virtual VOID AcquireQueueLock();
    virtual VOID ReleaseQueueLock();
    virtual VOID AcquireQueueLockAtDpcLevel();
    virtual VOID ReleaseQueueLockFromDpcLevel();

    // Legacy: takes a waiting request out of the kernel device queue; TRUE if it was there.
    BOOLEAN RemoveIrpFromQueue(PIRP Irp);
    VOID LegacyFlushQueue(PFILE_OBJECT File);
    // Completes every request waiting for deferred completion, starting the next each time.
    static VOID IoCompleteDpc(PKDPC Dpc, CIrpQueue* Queue, PVOID Unused1, PVOID Unused2);

    // A request the queue handed to a cancel routine while it was neither waiting nor in
    // progress carries this queue in its key word; the routine takes that mark and completes it.
    BOOLEAN TakeCancelCustody(PIRP Irp);

    PDRIVER_STARTIO StartIoRoutine;
    PDEVICE_OBJECT DeviceObject;
    KDEVICE_QUEUE DeviceQueue;
    PIRP CurrentIrp;
    UCHAR LegacyQueuing;
    KIRQL QueueLockIrql;
    // Requests handed over for deferred completion, linked through Tail.Overlay.ListEntry,
    // their status in IoStatus.Status; guarded by CompleteLock.
    LIST_ENTRY CompleteList;
    KSPIN_LOCK CompleteLock;
    KDPC CompleteDpc;
    LONG CurrentIrpClaim;

private:
    BOOLEAN InsertDeviceQueue(DRVFW_DEVICE_QUEUE_ENTRY* Entry);
    VOID StartIo(PIRP Irp, BOOLEAN StartedWithCancelRoutine);
    PIRP TakeDeferredCompletion();
    VOID CompleteCancelled(PIRP Irp);
    VOID CallCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    VOID LegacyStartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    VOID QueueStartPacket(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    VOID LegacyStartNextPacket();
    VOID QueueStartNextPacket();
    VOID QueueFlush(PFILE_OBJECT File);
    VOID LegacySortForFlush(PFILE_OBJECT File, PKDEVICE_QUEUE CancelQueue);
    VOID LegacyFlushCurrent(PFILE_OBJECT File, KIRQL* CancelIrql);
    PIRP QueueFlushNext(PFILE_OBJECT File);
};
