// Kernel device queues: a busy flag and a FIFO of entries, each guarded by the queue's own
// spin lock, which these routines take themselves.
#include "kernel_impl.h"

using namespace ntemu;

namespace {

constexpr CSHORT kDeviceQueueObjectType = 20;

} // namespace

// IRQL <= DISPATCH_LEVEL. An empty, idle queue.
VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    irql::checkAtMost("KeInitializeDeviceQueue", DISPATCH_LEVEL);
    DeviceQueue->Type = kDeviceQueueObjectType;
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&DeviceQueue->DeviceListHead);
    KeInitializeSpinLock(&DeviceQueue->Lock);
    DeviceQueue->Busy = FALSE;
}

// IRQL == DISPATCH_LEVEL. An idle queue becomes busy and the entry is not linked (FALSE: start
// it now); a busy queue gets the entry at its tail (TRUE).
BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    static const char* const routine = "KeInsertDeviceQueue";
    irql::checkExactly(routine, DISPATCH_LEVEL);
    detail::acquireKeepingIrql(&DeviceQueue->Lock, routine);
    BOOLEAN queued = DeviceQueue->Busy;
    if (queued)
        InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
    else
        DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = queued;
    detail::releaseKeepingIrql(&DeviceQueue->Lock, routine);
    return queued;
}

// IRQL == DISPATCH_LEVEL, queue busy. Unlinks and returns the head entry; with none left the
// queue becomes idle and the result is NULL.
PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    static const char* const routine = "KeRemoveDeviceQueue";
    irql::checkExactly(routine, DISPATCH_LEVEL);
    detail::acquireKeepingIrql(&DeviceQueue->Lock, routine);
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (!DeviceQueue->Busy) {
        verifier::report(Check::DeviceQueueNotBusy, routine,
                         "device queue " + detail::hexAddress(DeviceQueue) + " is idle");
    } else if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
        DeviceQueue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY,
                                  DeviceListEntry);
        entry->Inserted = FALSE;
    }
    detail::releaseKeepingIrql(&DeviceQueue->Lock, routine);
    return entry;
}

// IRQL <= DISPATCH_LEVEL (raises itself). Unlinks the entry if it is queued; the busy flag
// never changes, and an idle queue simply answers FALSE. Returns whether it was queued.
BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                 PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    static const char* const routine = "KeRemoveEntryDeviceQueue";
    irql::checkAtMost(routine, DISPATCH_LEVEL);
    const KIRQL old = KeGetCurrentIrql();
    if (old < DISPATCH_LEVEL)
        irql::set(DISPATCH_LEVEL);
    detail::acquireKeepingIrql(&DeviceQueue->Lock, routine);
    const BOOLEAN wasQueued = DeviceQueueEntry->Inserted;
    if (wasQueued) {
        RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
        DeviceQueueEntry->Inserted = FALSE;
    }
    detail::releaseKeepingIrql(&DeviceQueue->Lock, routine);
    irql::set(old);
    return wasQueued;
}
