// CBaseDevice, CDevice and CDriver: the kernel's device and driver objects as classes.
#include "device.h"

#include "drvfw_pool.h"

#include <exception>
#include <initializer_list>
#include <new>

namespace {

const WCHAR kDevicePrefix[] = u"\\Device\\";
const WCHAR kDosDevicesPrefix[] = u"\\DosDevices\\";

// The resource list that gives a reported claim back: no full descriptors.
struct EmptyResourceList {
    CM_RESOURCE_LIST List;
};

} // namespace

CBaseDevice::CBaseDevice(PDEVICE_OBJECT Device) : DeviceObject(Device) {}

namespace {

// The device object of a construction that a raise has just unwound, kept for the creator's
// CleanupFromCreateDevice on the same thread.
struct UnwoundDevice {
    PVOID Extension;
    PDEVICE_OBJECT Device;
};
thread_local UnwoundDevice t_unwound{};

} // namespace

// The storage of a device is its device object's extension, so the object is deleted only once
// the destruction is over (CDevice's operator delete), never from inside it. Driver code raises
// only out of constructors; while such a raise unwinds, the device object is noted for the
// creator's handler, which hands its extension to CleanupFromCreateDevice.
CBaseDevice::~CBaseDevice() {
    if (std::uncaught_exceptions() != 0 && DeviceObject != nullptr)
        t_unwound = {DeviceObject->DeviceExtension, DeviceObject};
}

VOID CBaseDevice::DeleteDevice() {
    PDEVICE_OBJECT device = DeviceObject;
    DeviceObject = nullptr;
    if (device != nullptr)
        IoDeleteDevice(device);
}

void* CDevice::operator new(size_t Size, PDRIVER_OBJECT DriverObject, PCWSTR Name,
                            DEVICE_TYPE DeviceType, PDEVICE_OBJECT* DeviceObject,
                            ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize) {
    *DeviceObject = nullptr;
    CString fullName = CString::Concatenate(CString(kDevicePrefix), CString(Name));
    if (!fullName.IsValid)
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    ULONG extensionSize = ULONG(Size) + ExtraSize;
    NTSTATUS status = IoCreateDevice(DriverObject, extensionSize,
                                     Name != nullptr ? &fullName.UnicodeString : nullptr,
                                     DeviceType, Characteristics, Exclusive, DeviceObject);
    if (!NT_SUCCESS(status)) {
        *DeviceObject = nullptr;
        ExRaiseStatus(status);
    }
    RtlZeroMemory((*DeviceObject)->DeviceExtension, extensionSize);
    return (*DeviceObject)->DeviceExtension;
}

CDevice::CDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                 PDEVICE_OBJECT* DeviceObject)
    : CBaseDevice(*DeviceObject), OpenCount(0), ExclusiveOpen(0), IrpQueue(),
      DriverObject(DriverObject), DeviceType(DeviceType), DeviceName(Name), Win32Name(),
      ClassName(nullptr), SubKeyName(nullptr), ParametersName(nullptr),
      InterruptIrql(PASSIVE_LEVEL), InterruptAffinity(0), InterruptVector(0),
      InterruptObject(nullptr), ResourceClaim(0), ResourceKey(), DeviceLock(0),
      DeviceLockIrql(PASSIVE_LEVEL), InterruptWords{}, LegacyQueuing(0) {
    if (!DeviceName.IsValid)
        ThrowStatusExceptionFromConstructor(
            STATUS_INSUFFICIENT_RESOURCES,
            "CDevice: Constructor failed to create device name string");
    this->DeviceObject->Flags |= DO_DIRECT_IO;
    KeInitializeSpinLock(&DeviceLock);
    OpenCount = 0;
    SetLegacyQueuing(TRUE);
}

CDevice::~CDevice() {
    CleanupDeviceOnExit();
}

void CDevice::operator delete(CDevice* Device, std::destroying_delete_t) {
    PDEVICE_OBJECT object = Device->CBaseDevice::DeviceObject;
    Device->~CDevice();
    if (object != nullptr)
        IoDeleteDevice(object);
}

VOID CDevice::ThrowStatusExceptionFromConstructor(NTSTATUS Status, PCSTR) {
    ExRaiseStatus(Status);
}

VOID CDevice::SetLegacyQueuing(BOOLEAN Legacy) {
    LegacyQueuing = Legacy ? 1 : 0;
    IrpQueue.SetStartIoRoutine(DriverObject->DriverStartIo, CBaseDevice::DeviceObject);
}

NTSTATUS CDevice::CreateWin32Name(const CString& Name) {
    // An unnamed device has nothing a link could lead to.
    if (DeviceName.UnicodeString.Length == 0)
        return STATUS_OBJECT_NAME_INVALID;
    Win32Name = CString::Concatenate(CString(kDosDevicesPrefix), Name);
    CString target = CString::Concatenate(CString(kDevicePrefix), DeviceName);
    if (!Win32Name.IsValid || !target.IsValid) {
        Win32Name.ClearString();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCreateSymbolicLink(&Win32Name.UnicodeString, &target.UnicodeString);
    if (!NT_SUCCESS(status))
        Win32Name.ClearString();
    return status;
}

NTSTATUS CDevice::MapIoAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                               DRVFW_MAPPED_ADDRESS& Address) {
    Address.Mapped = FALSE;
    PHYSICAL_ADDRESS translated{};
    if (!HalTranslateBusAddress(InterfaceType, BusNumber, Address.BusAddress, &Address.AddressSpace,
                                &translated))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Address.AddressSpace != 0) {
        Address.MappedAddress = reinterpret_cast<PVOID>(ULONG_PTR(translated.u.LowPart));
        return STATUS_SUCCESS;
    }
    Address.MappedAddress = MmMapIoSpace(translated, Address.Length, MmNonCached);
    if (Address.MappedAddress == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Address.Mapped = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS CDevice::InitializeInterrupt(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                      PIO_DPC_ROUTINE DpcRoutine, PKSERVICE_ROUTINE Isr,
                                      PVOID Context, DRVFW_INTERRUPT_RESOURCE& Interrupt,
                                      BOOLEAN FloatingSave) {
    InterruptVector = HalGetInterruptVector(InterfaceType, BusNumber, Interrupt.Level,
                                            Interrupt.Vector, &Interrupt.Irql, &Interrupt.Affinity);
    InterruptIrql = Interrupt.Irql;
    InterruptAffinity = Interrupt.Affinity;
    IoInitializeDpcRequest(CBaseDevice::DeviceObject, DpcRoutine);
    BOOLEAN shared = Interrupt.ShareDisposition != CmResourceShareDeviceExclusive;
    NTSTATUS status = IoConnectInterrupt(&InterruptObject, Isr, Context, nullptr, InterruptVector,
                                         InterruptIrql, InterruptIrql, Interrupt.InterruptMode,
                                         shared, InterruptAffinity, FloatingSave);
    if (!NT_SUCCESS(status))
        InterruptObject = nullptr;
    return status;
}

VOID CDevice::DisconnectInterrupt(BOOLEAN Reset) {
    if (InterruptObject != nullptr)
        IoDisconnectInterrupt(InterruptObject);
    InterruptObject = nullptr;
    if (Reset)
        RtlZeroMemory(InterruptWords, sizeof(InterruptWords));
}

BOOLEAN CDevice::CheckIrpCanceled(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN cancelled = Irp == nullptr || Irp->Cancel;
    if (!cancelled)
        IoSetCancelRoutine(Irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    return cancelled;
}

BOOLEAN CDevice::SetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN set = !Irp->Cancel;
    if (set)
        IoSetCancelRoutine(Irp, CancelRoutine);
    IoReleaseCancelSpinLock(irql);
    return set;
}

VOID CDevice::CancelIrp(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(Irp, nullptr);
    Irp->Cancel = TRUE;
    if (CancelRoutine != nullptr) {
        Irp->CancelIrql = irql;
        CancelRoutine(CBaseDevice::DeviceObject, Irp);
        return;
    }
    BOOLEAN current = Irp == IrpQueue.CurrentIrp;
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Information = 0;
    if (current)
        CompleteIrpAndStartNext(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    else
        CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

VOID CDevice::CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, CCHAR(PriorityBoost));
}

VOID CDevice::CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost) {
    IrpQueue.CompleteIrpAndStartNext(Irp, Status, PriorityBoost);
}

VOID CDevice::StartNextPacket() {
    IrpQueue.StartNextPacket();
}

VOID CDevice::ReleaseResourceClaim() {
    if (ResourceClaim == 1) {
        IoAssignResources(&ResourceKey.UnicodeString,
                          ClassName != nullptr ? &ClassName->UnicodeString : nullptr, DriverObject,
                          CBaseDevice::DeviceObject, nullptr, nullptr);
    } else if (ResourceClaim == 2) {
        EmptyResourceList empty{};
        BOOLEAN conflict = FALSE;
        IoReportResourceUsage(nullptr, DriverObject, nullptr, 0, CBaseDevice::DeviceObject,
                              &empty.List, sizeof(empty.List), TRUE, &conflict);
    }
    ResourceClaim = 0;
}

VOID CDevice::CleanupDeviceOnExit() {
    if (Win32Name.UnicodeString.Length != 0) {
        IoDeleteSymbolicLink(&Win32Name.UnicodeString);
        Win32Name.ClearString();
    }
    if (DriverObject != nullptr && CBaseDevice::DeviceObject != nullptr)
        ReleaseResourceClaim();
    DisconnectInterrupt(TRUE);
    for (CString** name : {&SubKeyName, &ClassName, &ParametersName}) {
        delete *name;
        *name = nullptr;
    }
}

VOID CleanupFromCreateDevice(CDevice* Device) {
    if (Device == nullptr)
        return;
    // After a raise out of a constructor the object has been unwound already (links, claims,
    // interrupt and names given back); only its device object is left.
    if (t_unwound.Extension == static_cast<PVOID>(Device)) {
        PDEVICE_OBJECT object = t_unwound.Device;
        t_unwound = {};
        IoDeleteDevice(object);
        return;
    }
    Device->CleanupDeviceOnExit();
    Device->DeviceName.ClearString();
    Device->Win32Name.ClearString();
    Device->ResourceKey.ClearString();
    Device->DeleteDevice();
}

CDriver::CDriver(PDRIVER_OBJECT DriverObject) : DriverObject(DriverObject) {
    DriverObject->DriverUnload = DrvFwDriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DrvFwCreateFile;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DrvFwCloseHandle;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DrvFwCleanup;
}

CDriver::~CDriver() = default;

void* CDriver::operator new(size_t size) noexcept {
    return DrvFwAllocate(size, TRUE);
}

void CDriver::operator delete(void* block) noexcept {
    DrvFwFree(block);
}
