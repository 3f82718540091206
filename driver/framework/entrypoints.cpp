// The framework's entry points for any CDevice: create, close, cleanup, unload and the
// generic cancel routine of the request queue.
#include "device.h"

namespace {

CDevice* DeviceOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<CDevice*>(DeviceObject->DeviceExtension);
}

// Sharing rule: one exclusive handle, or any number of shared ones, never both.
NTSTATUS AdmitOpen(CDevice* Device, USHORT ShareAccess) {
    if (ShareAccess == 0) {
        if (Device->OpenCount != 0)
            return STATUS_SHARING_VIOLATION;
        Device->ExclusiveOpen = 1;
    } else if (Device->ExclusiveOpen) {
        return STATUS_SHARING_VIOLATION;
    }
    InterlockedIncrement(&Device->OpenCount);
    return STATUS_SUCCESS;
}

VOID CompleteCancelled(CDevice* Device, PIRP Irp) {
    Irp->IoStatus.Information = 0;
    Device->CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

// Takes a request off the list it waits on while it is in the queue's custody (a flush's
// local list); the cancel spin lock guards that list.
VOID LeaveCustodyList(PIRP Irp) {
    KDEVICE_QUEUE_ENTRY& entry = Irp->Tail.Overlay.DeviceQueueEntry;
    if (entry.Inserted) {
        RemoveEntryList(&entry.DeviceListEntry);
        entry.Inserted = FALSE;
    }
}

VOID LegacyCancel(CDevice* Device, PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CIrpQueue& queue = Device->IrpQueue;
    if (Irp == queue.CurrentIrp) {
        DeviceObject->CurrentIrp = nullptr;
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        Irp->IoStatus.Information = 0;
        Device->CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return;
    }
    BOOLEAN ours = queue.TakeCancelCustody(Irp);
    if (ours)
        LeaveCustodyList(Irp);
    else
        ours = queue.RemoveIrpFromQueue(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    // Neither waiting, in progress nor in the queue's custody: whoever holds it completes it.
    if (ours)
        CompleteCancelled(Device, Irp);
}

VOID QueueCancel(CDevice* Device, PIRP Irp) {
    CIrpQueue& queue = Device->IrpQueue;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    queue.AcquireQueueLock();
    if (queue.RemoveQueuedIrp(Irp)) {
        queue.ReleaseQueueLock();
        CompleteCancelled(Device, Irp);
        return;
    }
    if (Irp == queue.CurrentIrp) {
        queue.ReleaseQueueLock();
        Irp->IoStatus.Information = 0;
        queue.CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return;
    }
    queue.ReleaseQueueLock();
    if (queue.TakeCancelCustody(Irp))
        CompleteCancelled(Device, Irp);
}

} // namespace

NTSTATUS DrvFwCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CDevice* device = DeviceOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    USHORT shareAccess = IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.ShareAccess;
    device->DeviceLockIrql = KfAcquireSpinLock(&device->DeviceLock);
    NTSTATUS status = AdmitOpen(device, shareAccess);
    KfReleaseSpinLock(&device->DeviceLock, device->DeviceLockIrql);
    device->CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DrvFwCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CDevice* device = DeviceOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    device->DeviceLockIrql = KfAcquireSpinLock(&device->DeviceLock);
    InterlockedDecrement(&device->OpenCount);
    device->ExclusiveOpen = 0;
    KfReleaseSpinLock(&device->DeviceLock, device->DeviceLockIrql);
    device->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DrvFwCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CDevice* device = DeviceOf(DeviceObject);
    device->IrpQueue.FlushQueue(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    Irp->IoStatus.Information = 0;
    device->CompleteIrp(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID DrvFwDriverUnload(PDRIVER_OBJECT DriverObject) {
    PDEVICE_OBJECT previous = nullptr;
    // Each destruction deletes its device object, which takes it off the driver's list; a
    // device object that stays at the head (still referenced) ends the walk rather than
    // being destroyed twice.
    while (PDEVICE_OBJECT device = DriverObject->DeviceObject) {
        if (device == previous || device->DeviceExtension == nullptr)
            break;
        previous = device;
        delete DeviceOf(device);
    }
}

VOID DrvFwIrpCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CDevice* device = DeviceOf(DeviceObject);
    if (device->LegacyQueuing)
        LegacyCancel(device, DeviceObject, Irp);
    else
        QueueCancel(device, Irp);
}
