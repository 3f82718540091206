// Device and driver objects of the framework: CBaseDevice owns a kernel device object;
// CDevice, which lives in its own device extension, adds names, the request queue, open
// accounting, the device lock, interrupt connection, address mapping and cancel helpers;
// CDriver installs the framework's entry points.
#pragma once

#include "cstring.h"
#include "irpqueue.h"
#include "ntddk.h"
#include "resource.h"

#include <new>

class CBaseDevice {
public:
    explicit CBaseDevice(PDEVICE_OBJECT Device);
    // The device object holds this object's storage: it is deleted after the destruction
    // (CDevice's operator delete) or by the creator's CleanupFromCreateDevice.
    virtual ~CBaseDevice();
    // IoDeleteDevice when a device object is held; the object's storage goes with it.
    // PASSIVE_LEVEL.
    VOID DeleteDevice();

    PDEVICE_OBJECT DeviceObject;
};

class CDevice : public CBaseDevice {
public:
    // Creates the device object ("\Device\" + Name, or unnamed for a null Name) with an
    // extension of Size + ExtraSize bytes, stores it through DeviceObject and returns the
    // zero-filled extension. Raises the failure status. PASSIVE_LEVEL.
    static void* operator new(size_t Size, PDRIVER_OBJECT DriverObject, PCWSTR Name,
                              DEVICE_TYPE DeviceType, PDEVICE_OBJECT* DeviceObject,
                              ULONG Characteristics, BOOLEAN Exclusive, ULONG ExtraSize);
    // Destroys the device, then deletes its device object, which holds the storage.
    static void operator delete(CDevice* Device, std::destroying_delete_t);

    // Builds the device in the extension of *DeviceObject; raises STATUS_INSUFFICIENT_RESOURCES
    // when the name cannot be stored. PASSIVE_LEVEL.
    CDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
            PDEVICE_OBJECT* DeviceObject);
    ~CDevice() override;

    virtual VOID CompleteIrpAndStartNext(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost);
    // Stores the status and completes the request; Information stays as set. <= DISPATCH_LEVEL.
    virtual VOID CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG PriorityBoost);
    virtual VOID StartNextPacket();

    VOID SetLegacyQueuing(BOOLEAN Legacy);
    // Links "\DosDevices\" + Name to the device. PASSIVE_LEVEL.
    NTSTATUS CreateWin32Name(const CString& Name);
    // Translates the record's bus address and maps memory space. PASSIVE_LEVEL.
    NTSTATUS MapIoAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                          DRVFW_MAPPED_ADDRESS& Address);
    // Connects the record's interrupt to Isr and prepares the device object's DPC.
    // PASSIVE_LEVEL.
    NTSTATUS InitializeInterrupt(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                 PIO_DPC_ROUTINE DpcRoutine, PKSERVICE_ROUTINE Isr, PVOID Context,
                                 DRVFW_INTERRUPT_RESOURCE& Interrupt, BOOLEAN FloatingSave);
    VOID DisconnectInterrupt(BOOLEAN Reset);
    // Under the cancel spin lock: TRUE for a null or cancelled request; otherwise takes its
    // cancel routine away (the caller now owns it) and returns FALSE. <= DISPATCH_LEVEL.
    BOOLEAN CheckIrpCanceled(PIRP Irp);
    // Under the cancel spin lock: sets the routine unless the request is cancelled.
    BOOLEAN SetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    // Cancels a request the caller holds: calls CancelRoutine, or completes it with
    // STATUS_CANCELLED when there is none. <= DISPATCH_LEVEL.
    VOID CancelIrp(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
    [[noreturn]] static VOID ThrowStatusExceptionFromConstructor(NTSTATUS Status, PCSTR Message);

    friend VOID CleanupFromCreateDevice(CDevice* Device);
    friend VOID DrvFwDriverUnload(PDRIVER_OBJECT DriverObject);

    LONG OpenCount;
    UCHAR ExclusiveOpen;
    CIrpQueue IrpQueue;
    PDRIVER_OBJECT DriverObject;
    ULONG DeviceType;
    CString DeviceName;
    CString Win32Name;
    CString* ClassName;
    CString* SubKeyName;
    CString* ParametersName;
    KIRQL InterruptIrql;
    KAFFINITY InterruptAffinity;
    ULONG InterruptVector;
    PKINTERRUPT InterruptObject;
    ULONG ResourceClaim; // 0 none, 1 assigned under ResourceKey, 2 reported
    CString ResourceKey;
    KSPIN_LOCK DeviceLock; // guards OpenCount/ExclusiveOpen decisions and wait slots
    KIRQL DeviceLockIrql;
    ULONG InterruptWords[4];
    UCHAR LegacyQueuing;

protected:
    // Gives back what the device holds in the system: link, resource claim, interrupt, names.
    virtual VOID CleanupDeviceOnExit();

private:
    VOID ReleaseResourceClaim();
};

// For a creator's exception handler: deletes the device object of a construction that raised.
VOID CleanupFromCreateDevice(CDevice* Device);

class CDriver {
public:
    // Installs the framework's create, close, cleanup and unload entry points.
    explicit CDriver(PDRIVER_OBJECT DriverObject);
    virtual ~CDriver();

    // Zero-filled paged pool; null when none is left.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    PDRIVER_OBJECT DriverObject;
};

// Entry points for any CDevice; each runs at PASSIVE_LEVEL in the caller's thread.
NTSTATUS DrvFwCreateFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DrvFwCloseHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DrvFwCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID DrvFwDriverUnload(PDRIVER_OBJECT DriverObject);
// The generic cancel routine for requests held by a device's queue; entered with the cancel
// spin lock held, at DISPATCH_LEVEL.
VOID DrvFwIrpCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp);
