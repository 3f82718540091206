// The I/O manager tests' driver: dispatch routines, a pending queue guarded by a spin lock with
// a cancel routine, and a device DPC and timer DPC that complete what is queued.
#include "test_driver.h"

namespace iotest {
namespace {

struct Extension {
    KSPIN_LOCK lock;    // guards pending
    LIST_ENTRY pending; // queued IRPs, through Tail.Overlay.ListEntry
    KTIMER timer;
    KDPC timerDpc;
    PVOID kept; // a pool block DriverUnload forgets (leak tests)
};

Config g_config;
State g_state;
UNICODE_STRING g_deviceName;
UNICODE_STRING g_linkName;
KDPC g_leftDpc;

Extension* extensionOf(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

void record(UCHAR major, PFILE_OBJECT file) {
    std::lock_guard guard(g_state.mutex);
    g_state.events.push_back({major, file, KeGetCurrentIrql()});
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension* ext = extensionOf(device);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, old);
    ++g_state.cancellations;
    complete(irp, STATUS_CANCELLED);
}

// Breaks the cancel contract: completes the request while still holding the cancel lock and
// returns without releasing it.
void cancelKeepingLock(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extensionOf(device);
    KeAcquireSpinLockAtDpcLevel(&ext->lock);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLockFromDpcLevel(&ext->lock);
    ++g_state.cancellations;
    complete(irp, STATUS_CANCELLED);
}

NTSTATUS queue(PDEVICE_OBJECT device, PIRP irp, PDRIVER_CANCEL routine) {
    Extension* ext = extensionOf(device);
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    IoSetCancelRoutine(irp, routine);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
        KeReleaseSpinLock(&ext->lock, old);
        ++g_state.cancellations;
        complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    InsertTailList(&ext->pending, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, old);
    return STATUS_PENDING;
}

// Completes every queued request whose cancel routine it can take back; a request whose
// routine is already gone is being cancelled and stays for its cancel routine. With a file
// object only that file object's requests are taken.
void completeQueued(Extension* ext, PFILE_OBJECT file, NTSTATUS status) {
    if (!ext)
        return; // a device the tests made by hand, without a queue
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    for (PLIST_ENTRY entry = ext->pending.Flink; entry != &ext->pending;) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file)
            continue;
        if (!IoSetCancelRoutine(irp, nullptr))
            continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&ext->lock, old);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        ULONG_PTR information = 0;
        if (status == STATUS_SUCCESS &&
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength >=
                sizeof(ULONG)) {
            *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = kCompletedMarker;
            information = sizeof(ULONG);
        }
        if (status == STATUS_SUCCESS)
            ++g_state.completions;
        else
            ++g_state.cancellations;
        complete(irp, status, information);
    }
}

VOID completionDpc(PKDPC, PVOID context, PVOID, PVOID) {
    completeQueued(extensionOf(static_cast<PDEVICE_OBJECT>(context)), nullptr, STATUS_SUCCESS);
}

NTSTATUS onCreate(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    record(IRP_MJ_CREATE, stack->FileObject);
    {
        std::lock_guard guard(g_state.mutex);
        g_state.lastShareAccess = stack->Parameters.Create.ShareAccess;
        g_state.lastDesiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    }
    return complete(irp, g_config.createStatus);
}

NTSTATUS onCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    record(IRP_MJ_CLEANUP, file);
    if (g_config.cleanupCancels)
        completeQueued(extensionOf(device), file, STATUS_CANCELLED);
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS onClose(PDEVICE_OBJECT, PIRP irp) {
    record(IRP_MJ_CLOSE, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS replyTo(PIRP irp, ULONG inputLength) {
    if (inputLength < sizeof(ReplyInput))
        return complete(irp, STATUS_INVALID_PARAMETER);
    ReplyInput input;
    std::memcpy(&input, irp->AssociatedIrp.SystemBuffer, sizeof input);
    return complete(irp, input.status, input.information);
}

NTSTATUS pendWithTimer(PDEVICE_OBJECT device, PIRP irp, ULONG inputLength) {
    if (inputLength < sizeof(LONG))
        return complete(irp, STATUS_INVALID_PARAMETER);
    LARGE_INTEGER due;
    due.QuadPart = *static_cast<LONG*>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = queue(device, irp, cancelQueued);
    KeSetTimer(&extensionOf(device)->timer, due, &extensionOf(device)->timerDpc);
    return status;
}

NTSTATUS ruleBreaker(PIRP irp, ULONG code) {
    switch (code) {
    case kCompleteTwice:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case kCompleteWithCancelRoutine:
        IoSetCancelRoutine(irp, cancelQueued);
        return complete(irp, STATUS_SUCCESS);
    case kCompletePendingStatus:
        IoMarkIrpPending(irp);
        complete(irp, STATUS_PENDING);
        return STATUS_PENDING;
    case kMarkThenFail:
        IoMarkIrpPending(irp);
        return complete(irp, STATUS_CANCELLED);
    case kPendingUnmarked:
        complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    case kStatusMismatch:
        complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    case kCompleteAboveDispatch: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        complete(irp, STATUS_SUCCESS);
        KeLowerIrql(old);
        return STATUS_SUCCESS;
    }
    case kTouchAfterCompletion: {
        complete(irp, STATUS_SUCCESS);
        return irp->IoStatus.Status;
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS onDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    record(IRP_MJ_DEVICE_CONTROL, stack->FileObject);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    switch (code) {
    case kReply:
        return replyTo(irp, inputLength);
    case kReadOnly:
        return complete(irp, STATUS_SUCCESS);
    case kPend:
        return queue(device, irp, cancelQueued);
    case kPendBadCancel:
        return queue(device, irp, cancelKeepingLock);
    case kPendTimer:
        return pendWithTimer(device, irp, inputLength);
    case kLeaveIrp:
    case kPendUncancellable: {
        if (code == kPendUncancellable)
            IoMarkIrpPending(irp);
        std::lock_guard guard(g_state.mutex);
        g_state.leftIrp = irp;
        return code == kLeaveIrp ? STATUS_SUCCESS : STATUS_PENDING;
    }
    default:
        return ruleBreaker(irp, code);
    }
}

VOID onUnload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_linkName);
    while (PDEVICE_OBJECT device = driver->DeviceObject) {
        if (Extension* ext = extensionOf(device)) {
            KeCancelTimer(&ext->timer);
            if (ext->kept && !g_config.leakPoolAtUnload)
                ExFreePool(ext->kept);
        }
        IoDeleteDevice(device);
    }
}

void initialiseExtension(PDEVICE_OBJECT device) {
    Extension* ext = extensionOf(device);
    KeInitializeSpinLock(&ext->lock);
    InitializeListHead(&ext->pending);
    KeInitializeTimer(&ext->timer);
    KeInitializeDpc(&ext->timerDpc, completionDpc, device);
    IoInitializeDpcRequest(device, completionDpc);
}

} // namespace

Config& config() {
    return g_config;
}
State& state() {
    return g_state;
}

void reset() {
    g_config = Config{};
    std::lock_guard guard(g_state.mutex);
    g_state.events.clear();
    g_state.lastShareAccess = 0;
    g_state.lastDesiredAccess = 0;
    g_state.leftIrp = nullptr;
    g_state.completions = 0;
    g_state.cancellations = 0;
}

std::vector<UCHAR> majors() {
    std::lock_guard guard(g_state.mutex);
    std::vector<UCHAR> result;
    for (const Event& event : g_state.events)
        result.push_back(event.major);
    return result;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlInitUnicodeString(&g_deviceName, u"\\Device\\IoTest0");
    RtlInitUnicodeString(&g_linkName, u"\\DosDevices\\IoTest0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &g_deviceName, FILE_DEVICE_UNKNOWN,
                                     0, g_config.exclusive, &device);
    if (!NT_SUCCESS(status))
        return status;
    initialiseExtension(device);
    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    if (g_config.failEntry || g_config.leakPoolAtUnload)
        extensionOf(device)->kept = ExAllocatePoolWithTag(NonPagedPool, 32, kLeakTag);
    if (g_config.failEntry)
        return STATUS_UNSUCCESSFUL;
    driver->MajorFunction[IRP_MJ_CREATE] = onCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = onCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = onClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = onDeviceControl;
    driver->DriverUnload = onUnload;
    return STATUS_SUCCESS;
}

void completePendingFromDpc(PDEVICE_OBJECT device) {
    IoRequestDpc(device, nullptr, nullptr);
}

void completeLeftIrpFromDpc() {
    KeInitializeDpc(
        &g_leftDpc, [](PKDPC, PVOID, PVOID, PVOID) { completeLeftIrp(); }, nullptr);
    KeInsertQueueDpc(&g_leftDpc, nullptr, nullptr);
}

void completeLeftIrp() {
    PIRP irp;
    {
        std::lock_guard guard(g_state.mutex);
        irp = g_state.leftIrp;
        g_state.leftIrp = nullptr;
    }
    if (!irp)
        return;
    ULONG_PTR information = 0;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength >=
        sizeof(ULONG)) {
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = kCompletedMarker;
        information = sizeof(ULONG);
    }
    complete(irp, STATUS_SUCCESS, information);
}

} // namespace iotest
