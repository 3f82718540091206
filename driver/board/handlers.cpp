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

// Drops every queued time tag, in the board's FIFO and in the ring, in step with the
// interrupt service routine and the ring's readers.
NTSTATUS CVORNpci::VORNpciIoctlFlushFifo(PIRP) {
    const UCHAR result = BoardExchange(TRUE, [this](ULONG_PTR Port) {
        const UCHAR flushed = vornFlushFifo(Port);
        const KIRQL irql = KfAcquireSpinLock(&DeviceLock);
        ResetEventRing();
        KfReleaseSpinLock(&DeviceLock, irql);
        return flushed;
    });
    return vornResultToStatus(result);
}
