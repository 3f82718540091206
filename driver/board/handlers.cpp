// Request handlers of the board device that are more than one board operation: the replies
// made without the board and the flush. Their lengths are checked by the dispatch routine.
#include "board_ops.h"
#include "vornpci_device.h"

#include "vornpci_records.h"

NTSTATUS CVORNpci::VORNpciIoctlOpen(PIRP Irp) {
    auto* reply = static_cast<vornpci::OpenReply*>(Irp->AssociatedIrp.SystemBuffer);
    reply->modelCode = SubsystemId;
    reply->slotNumber = SlotNumber;
    return STATUS_SUCCESS;
}

NTSTATUS CVORNpci::VORNpciIoctlGetDriver(PIRP Irp) {
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, vornpci::kDriverVersionText,
                  sizeof(vornpci::kDriverVersionText));
    return STATUS_SUCCESS;
}

// Drops every queued time tag that the wait-for-event request would return: the FIFO exchange
// first reads the board's FIFO empty (its events are numbered and logged, as every event read
// is), then the ring is emptied in step with the interrupt service routine and the ring's
// readers. The sequenced log is every next-event reader's own and keeps them: a flush asked
// for by one caller costs the others nothing, and their counts stay exact.
NTSTATUS CVORNpci::VORNpciIoctlFlushFifo(PIRP) {
    const UCHAR result = BoardExchange(TRUE, [this](ULONG_PTR) {
        const KIRQL irql = KfAcquireSpinLock(&DeviceLock);
        ResetEventRing();
        KfReleaseSpinLock(&DeviceLock, irql);
        return VORN_SUCCESS;
    });
    return vornResultToStatus(result);
}
