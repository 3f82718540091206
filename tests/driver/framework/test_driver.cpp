// The framework tests' driver: start-I/O devices and resource devices.
#include "test_driver.h"

#include "resource.h"

#include <chrono>
#include <thread>

namespace drvfwtest {

std::vector<CDevice*> g_devices;
std::atomic<int> g_waitingForCancel{0};

DriverConfig& driverConfig() {
    static DriverConfig config;
    return config;
}

namespace {

ULONG RequestId(PIRP Irp) {
    return *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer);
}

ULONG IoControlCode(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

// Waits (bounded) until the I/O manager has marked the request cancelled; the flag is read
// under the cancel spin lock, where the I/O manager writes it.
void WaitUntilCancelled(PIRP Irp) {
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < bound) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        BOOLEAN cancelled = Irp->Cancel;
        IoReleaseCancelSpinLock(irql);
        if (cancelled)
            return;
        std::this_thread::yield();
    }
}

BOOLEAN TestIsr(PKINTERRUPT, PVOID) {
    return FALSE;
}
VOID TestDpc(PKDPC, PDEVICE_OBJECT, PIRP, PVOID) {}

} // namespace

QueueDevice::QueueDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                         PDEVICE_OBJECT* DeviceObject, bool legacy)
    : CDevice(DriverObject, Name, DeviceType, DeviceObject) {
    if (!legacy)
        SetLegacyQueuing(FALSE);
}

std::vector<StartRecord> QueueDevice::starts() {
    std::lock_guard lock(m_mutex);
    return m_starts;
}

size_t QueueDevice::startCount() {
    std::lock_guard lock(m_mutex);
    return m_starts.size();
}

// Takes the request in progress out of reach of its cancel routine, under the lock that
// guards the current request in this mode.
PIRP QueueDevice::takeCurrent() {
    PDRIVER_CANCEL taken = nullptr;
    PIRP irp;
    if (LegacyQueuing) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp = IrpQueue.GetCurrentIrp();
        if (irp != nullptr)
            taken = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
    } else {
        IrpQueue.AcquireQueueLock();
        irp = IrpQueue.GetCurrentIrp();
        if (irp != nullptr)
            taken = IoSetCancelRoutine(irp, nullptr);
        IrpQueue.ReleaseQueueLock();
    }
    return taken != nullptr ? irp : nullptr;
}

ULONG QueueDevice::completeCurrent(NTSTATUS status, bool withDpc) {
    PIRP irp = takeCurrent();
    if (irp == nullptr)
        return 0;
    ULONG id = RequestId(irp);
    irp->IoStatus.Information = sizeof(ULONG);
    if (withDpc)
        IrpQueue.CompleteIrpAndStartNextWithDpc(irp, status, IO_NO_INCREMENT);
    else
        CompleteIrpAndStartNext(irp, status, IO_NO_INCREMENT);
    return id;
}

// The request may be completed by a cancellation (legacy mode) or by a completer as soon as
// it is current, so it is touched only under the lock that guards the current request, and
// only while it still is current.
VOID QueueDevice::StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* device = static_cast<QueueDevice*>(DeviceObject->DeviceExtension);
    KIRQL entryIrql = KeGetCurrentIrql();
    BOOLEAN legacy = device->LegacyQueuing;
    KIRQL cancelIrql = PASSIVE_LEVEL;
    if (legacy)
        IoAcquireCancelSpinLock(&cancelIrql);
    else
        device->IrpQueue.AcquireQueueLock();
    bool current = device->IrpQueue.GetCurrentIrp() == Irp;
    bool finish = current && IoControlCode(Irp) == kIoctlQueueAndFinish;
    if (current) {
        std::lock_guard lock(device->m_mutex);
        device->m_starts.push_back({RequestId(Irp), entryIrql});
    }
    if (legacy)
        IoReleaseCancelSpinLock(cancelIrql);
    else if (!current ||
             device->IrpQueue.SetInProgressIrpCancelRoutine(Irp, DrvFwIrpCancelCallback))
        device->IrpQueue.ReleaseQueueLock();
    else
        return;
    if (finish)
        device->completeCurrent(STATUS_SUCCESS);
}

NTSTATUS QueueDevice::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* device = static_cast<QueueDevice*>(DeviceObject->DeviceExtension);
    ULONG code = IoControlCode(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        Irp->IoStatus.Information = 0;
        device->CompleteIrp(Irp, STATUS_INVALID_PARAMETER, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_CANCEL routine = code == kIoctlQueueWithoutRoutine ? nullptr : DrvFwIrpCancelCallback;
    if (code == kIoctlQueueCancelled || code == kIoctlQueueCancelledWithRoutine) {
        ++g_waitingForCancel;
        WaitUntilCancelled(Irp);
        if (code == kIoctlQueueCancelled)
            routine = nullptr;
    }
    device->IrpQueue.StartPacket(Irp, routine);
    return STATUS_PENDING;
}

ResourceDevice::ResourceDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                               PDEVICE_OBJECT* DeviceObject, const CString* RegistryPath,
                               CardSearch* search)
    : CDevice(DriverObject, Name, DeviceType, DeviceObject), PortAddress{}, InterruptResource{},
      Slot(-1) {
    NTSTATUS status = CreateWin32Name(CString(Name));
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status, "CreateWin32Name failed");
    claimCard(*RegistryPath, search);
    status = MapIoAddress(PCIBus, search->busNumber, PortAddress);
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status, "MapIoAddress failed");
    status = InitializeInterrupt(PCIBus, search->busNumber, TestDpc, TestIsr, this,
                                 InterruptResource, FALSE);
    if (!NT_SUCCESS(status)) {
        if (PortAddress.Mapped)
            MmUnmapIoSpace(PortAddress.MappedAddress, PortAddress.Length);
        ThrowStatusExceptionFromConstructor(status, "InitializeInterrupt failed");
    }
}

VOID ResourceDevice::claimCard(const CString& RegistryPath, CardSearch* search) {
    CResource* resource = new CResource(PCIBus, search->busNumber, this);
    if (resource == nullptr)
        ThrowStatusExceptionFromConstructor(STATUS_INSUFFICIENT_RESOURCES, "no CResource");
    NTSTATUS status = STATUS_SUCCESS;
    Slot = resource->FindCard(0x10B5, 0x9050, 0, LONG(search->nextSlot), 0, 0);
    if (Slot < 0)
        Slot = resource->FindCard(0x10B5, 0x9030, 0, LONG(search->nextSlot), 0, 0);
    if (Slot < 0) {
        search->nextSlot = 32;
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        search->nextSlot = ULONG(Slot) + 1;
        status = resource->AssignCardsResources(RegistryPath, 0x10B5, 0, Slot, 0);
        if (NT_SUCCESS(status) && (!resource->GetPortResource(&PortAddress, 1) ||
                                   !resource->GetInterruptResource(&InterruptResource, 0)))
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    delete resource;
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status, "card not claimed");
}

ResourceDevice::~ResourceDevice() {
    DisconnectInterrupt(TRUE);
    if (PortAddress.Mapped)
        MmUnmapIoSpace(PortAddress.MappedAddress, PortAddress.Length);
}

NTSTATUS QueueDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    g_devices.clear();
    CDriver* driver = new CDriver(DriverObject);
    if (driver == nullptr)
        return STATUS_NO_MEMORY;
    delete driver;
    DriverObject->DriverStartIo = driverConfig().startIo ? QueueDevice::StartIo : nullptr;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueDevice::Dispatch;
    for (unsigned n = 0; n < driverConfig().queueDevices; ++n) {
        CString name = CString::Concatenate(CString(u"FwQueue"), CString(n, 10, 0));
        QueueDevice* device = nullptr;
        NTSTATUS status =
            createDevice(DriverObject, name.UnicodeString.Buffer, &device, driverConfig().legacy);
        if (!NT_SUCCESS(status)) {
            DrvFwDriverUnload(DriverObject);
            return status;
        }
        NTSTATUS linked = device->CreateWin32Name(name);
        if (!NT_SUCCESS(linked)) {
            DrvFwDriverUnload(DriverObject);
            return linked;
        }
        g_devices.push_back(device);
    }
    return STATUS_SUCCESS;
}

// Finds every card on buses 0 to 15 as the board driver does: a failed creation ends the
// search on its bus.
NTSTATUS ResourceDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    g_devices.clear();
    CDriver* driver = new CDriver(DriverObject);
    if (driver == nullptr)
        return STATUS_NO_MEMORY;
    CString registryPath(RegistryPath);
    ULONG created = 0;
    for (ULONG bus = 0; bus < 16; ++bus) {
        CardSearch search{0, bus};
        while (search.nextSlot < 32) {
            CString name = CString::Concatenate(CString(u"FwRes"), CString(created, 10, 0));
            ResourceDevice* device = nullptr;
            if (!name.IsValid || !NT_SUCCESS(createDevice(DriverObject, name.UnicodeString.Buffer,
                                                          &device, &registryPath, &search)))
                break;
            g_devices.push_back(device);
            ++created;
        }
    }
    delete driver;
    return created > 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace drvfwtest
