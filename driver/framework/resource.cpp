// CResource: card search on one bus, resource assignment and the resource records.
#include "resource.h"

#include "device.h"
#include "drvfw_pool.h"

namespace {

ULONG PciSlotNumber(ULONG DeviceNumber, ULONG FunctionNumber) {
    return ((FunctionNumber & 7) << 5) | (DeviceNumber & 0x1F);
}

// Whether the configuration header describes the card asked for.
BOOLEAN CardMatches(const PCI_COMMON_CONFIG& Config, USHORT VendorId, USHORT DeviceId,
                    USHORT SubsystemVendorId, USHORT SubsystemId) {
    if (Config.VendorID == PCI_INVALID_VENDORID || Config.VendorID != VendorId ||
        Config.DeviceID != DeviceId)
        return FALSE;
    // Only a type 0 header carries subsystem ids.
    if ((Config.HeaderType & 0x7F) != 0)
        return TRUE;
    if (SubsystemVendorId == 0 && SubsystemId == 0)
        return TRUE;
    return Config.u.type0.SubVendorID == SubsystemVendorId &&
           Config.u.type0.SubSystemID == SubsystemId;
}

} // namespace

void* CResource::operator new(size_t size) noexcept {
    return DrvFwAllocate(size, TRUE);
}

void CResource::operator delete(void* block) noexcept {
    DrvFwFree(block);
}

CResource::CResource(INTERFACE_TYPE InterfaceType, ULONG BusNumber, CDevice* Owner)
    : OwnerDevice(Owner), AllocatedResources(nullptr), InterfaceType(InterfaceType),
      BusNumber(BusNumber) {
    if (Owner == nullptr || Owner->ParametersName != nullptr)
        return;
    // A name whose text could not be stored is dropped: the key is then built without it.
    CString* parameters = new CString(u"Parameters");
    if (parameters != nullptr && !parameters->IsValid) {
        delete parameters;
        parameters = nullptr;
    }
    Owner->ParametersName = parameters;
}

CResource::~CResource() {
    if (AllocatedResources != nullptr)
        ExFreePool(AllocatedResources);
}

LONG CResource::FindCard(USHORT VendorId, USHORT DeviceId, ULONG, LONG FirstSlot,
                         USHORT SubsystemVendorId, USHORT SubsystemId) {
    if (FirstSlot < 0)
        FirstSlot = 0;
    for (LONG slot = FirstSlot; slot < PCI_MAX_DEVICES; ++slot) {
        PCI_COMMON_CONFIG config;
        RtlZeroMemory(&config, PCI_COMMON_HDR_LENGTH);
        ULONG read = HalGetBusData(PCIConfiguration, BusNumber, PciSlotNumber(ULONG(slot), 0),
                                   &config, PCI_COMMON_HDR_LENGTH);
        if (read == 0)
            return slot == 0 ? -1 : -slot;
        if (CardMatches(config, VendorId, DeviceId, SubsystemVendorId, SubsystemId))
            return slot;
    }
    return FirstSlot >= PCI_MAX_DEVICES ? -FirstSlot : -PCI_MAX_DEVICES;
}

// The owner's resource key: registry path [\ sub-key] \ device name [\ parameters name].
// Each step is checked, because a later successful append would hide an earlier failure.
BOOLEAN CResource::BuildResourceKey(const CString& RegistryPath) {
    const CString separator(u"\\");
    const CString* parts[] = {&separator, OwnerDevice->SubKeyName,
                              &separator, &OwnerDevice->DeviceName,
                              &separator, OwnerDevice->ParametersName};
    CString key(RegistryPath);
    BOOLEAN valid = key.IsValid;
    for (size_t i = 0; valid && i < sizeof(parts) / sizeof(parts[0]); i += 2) {
        if (parts[i + 1] == nullptr)
            continue;
        key += *parts[i];
        valid = key.IsValid;
        if (valid) {
            key += *parts[i + 1];
            valid = key.IsValid;
        }
    }
    if (!valid)
        return FALSE;
    OwnerDevice->ResourceKey = key;
    return OwnerDevice->ResourceKey.IsValid;
}

NTSTATUS CResource::AssignCardsResources(const CString& RegistryPath, USHORT, USHORT,
                                         LONG DeviceNumber, LONG FunctionNumber) {
    ULONG slot = PciSlotNumber(ULONG(DeviceNumber), ULONG(FunctionNumber));
    if (!BuildResourceKey(RegistryPath))
        return STATUS_INSUFFICIENT_RESOURCES;
    CString* className = OwnerDevice->ClassName;
    NTSTATUS status = HalAssignSlotResources(
        &OwnerDevice->ResourceKey.UnicodeString,
        className != nullptr ? &className->UnicodeString : nullptr, OwnerDevice->DriverObject,
        OwnerDevice->DeviceObject, PCIBus, BusNumber, slot, &AllocatedResources);
    if (NT_SUCCESS(status))
        OwnerDevice->ResourceClaim = 1;
    return status;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR CResource::FindDescriptor(UCHAR Type, ULONG Index) {
    if (AllocatedResources == nullptr || AllocatedResources->Count == 0)
        return nullptr;
    CM_PARTIAL_RESOURCE_LIST& partial = AllocatedResources->List[0].PartialResourceList;
    ULONG seen = 0;
    for (ULONG i = 0; i < partial.Count; ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = &partial.PartialDescriptors[i];
        if (descriptor->Type != Type)
            continue;
        if (seen++ == Index)
            return descriptor;
    }
    return nullptr;
}

BOOLEAN CResource::GetPortResource(DRVFW_MAPPED_ADDRESS* Address, ULONG Index) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR port = FindDescriptor(CmResourceTypePort, Index);
    if (port == nullptr)
        return FALSE;
    Address->BusAddress = port->u.Port.Start;
    Address->Length = port->u.Port.Length;
    Address->AddressSpace = 1;
    Address->Flags = port->Flags;
    return TRUE;
}

BOOLEAN CResource::GetInterruptResource(DRVFW_INTERRUPT_RESOURCE* Interrupt, ULONG Index) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt = FindDescriptor(CmResourceTypeInterrupt, Index);
    if (interrupt == nullptr)
        return FALSE;
    Interrupt->Level = interrupt->u.Interrupt.Level;
    Interrupt->Vector = interrupt->u.Interrupt.Vector;
    Interrupt->Affinity = interrupt->u.Interrupt.Affinity;
    Interrupt->Flags = interrupt->Flags;
    Interrupt->InterruptMode =
        interrupt->Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
    Interrupt->ShareDisposition = interrupt->ShareDisposition;
    return TRUE;
}

NTSTATUS CResource::GetBusData(INTERFACE_TYPE InterfaceType, ULONG BusNumber, ULONG DeviceNumber,
                               ULONG Length, PVOID Buffer, PULONG BytesRead, ULONG Offset,
                               ULONG FunctionNumber) {
    BUS_DATA_TYPE type;
    ULONG slot = DeviceNumber;
    switch (InterfaceType) {
    case Eisa:
        type = EisaConfiguration;
        break;
    case MicroChannel:
        type = Pos;
        break;
    case PCIBus:
        type = PCIConfiguration;
        slot = PciSlotNumber(DeviceNumber, FunctionNumber);
        break;
    default:
        type = ConfigurationSpaceUndefined;
        break;
    }
    BOOLEAN allowed = type == PCIConfiguration ||
                      (type != ConfigurationSpaceUndefined && Offset == 0 && FunctionNumber == 0);
    if (!allowed) {
        *BytesRead = 0;
        return STATUS_INVALID_PARAMETER;
    }
    *BytesRead = HalGetBusDataByOffset(type, BusNumber, slot, Buffer, Offset, Length);
    return *BytesRead != 0 ? STATUS_SUCCESS : STATUS_DEVICE_DOES_NOT_EXIST;
}
