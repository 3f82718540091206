// CResource: finds a PCI card on one bus, has the HAL assign its resources to a device, and
// hands the assigned port ranges and interrupts out as the framework's resource records.
#pragma once

#include "cstring.h"
#include "ntddk.h"

class CDevice;

// One register window of a device.
struct DRVFW_MAPPED_ADDRESS {
    PVOID MappedAddress; // port base (I/O space) or mapped virtual address (memory)
    ULONG Length;
    PHYSICAL_ADDRESS BusAddress;
    ULONG AddressSpace; // 1 = I/O port space, 0 = memory space
    BOOLEAN Mapped;     // MmMapIoSpace made the mapping; unmap it when done
    ULONG Flags;
};

// One interrupt of a device.
struct DRVFW_INTERRUPT_RESOURCE {
    ULONG Level;
    ULONG Vector;
    KAFFINITY Affinity;
    ULONG Flags;
    KINTERRUPT_MODE InterruptMode;
    KIRQL Irql;             // written when the interrupt is connected
    ULONG ShareDisposition; // CmResourceShareDeviceExclusive means not shared
};

class CResource {
public:
    // Gives the owner a "Parameters" name for its resource key when it has none yet.
    CResource(INTERFACE_TYPE InterfaceType, ULONG BusNumber, CDevice* Owner);
    virtual ~CResource();

    // Zero-filled paged pool; null when none is left.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    // The slot of the first card at or after `FirstSlot` with these ids (subsystem ids 0 and
    // 0 match any), or a negative value saying where the search stopped. PASSIVE_LEVEL.
    LONG FindCard(USHORT VendorId, USHORT DeviceId, ULONG Unused, LONG FirstSlot,
                  USHORT SubsystemVendorId, USHORT SubsystemId);
    // Claims the card's resources for the owner under its resource key; on success the owner
    // gives them back when it is cleaned up. PASSIVE_LEVEL.
    NTSTATUS AssignCardsResources(const CString& RegistryPath, USHORT VendorId, USHORT DeviceId,
                                  LONG DeviceNumber, LONG FunctionNumber);
    // The index-th assigned port range or interrupt, counting from 0; FALSE when there is none.
    BOOLEAN GetPortResource(DRVFW_MAPPED_ADDRESS* Address, ULONG Index);
    BOOLEAN GetInterruptResource(DRVFW_INTERRUPT_RESOURCE* Interrupt, ULONG Index);
    // Reads configuration data of one device; an absent device is STATUS_DEVICE_DOES_NOT_EXIST.
    static NTSTATUS GetBusData(INTERFACE_TYPE InterfaceType, ULONG BusNumber, ULONG DeviceNumber,
                               ULONG Length, PVOID Buffer, PULONG BytesRead, ULONG Offset,
                               ULONG FunctionNumber);

    CDevice* OwnerDevice;
    PCM_RESOURCE_LIST AllocatedResources;
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;

private:
    PCM_PARTIAL_RESOURCE_DESCRIPTOR FindDescriptor(UCHAR Type, ULONG Index);
    BOOLEAN BuildResourceKey(const CString& RegistryPath);
};
