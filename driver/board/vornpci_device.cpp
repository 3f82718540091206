// Construction and destruction of the board device, and the creator that DriverEntry calls.
#include "vornpci_device.h"

#include "board_ops.h"
#include "board_protocol.h"
#include "resource.h"

#include <memory>
#include <new>

namespace {

constexpr USHORT kBridgeVendorId = 0x10B5;
constexpr USHORT kBridgeDeviceIds[] = {0x9030, 0x9050};
constexpr USHORT kSubsystemVendorId = 0x1347;
constexpr ULONG kSubsystemVendorOffset = 0x2C;
constexpr ULONG kSubsystemIdOffset = 0x2E;
constexpr ULONG kRegisterWindowIndex = 1; // the card's second port range

USHORT ConfigWord(const UCHAR* Config, ULONG Offset) {
    return USHORT(Config[Offset] | (Config[Offset + 1] << 8));
}

} // namespace

CVORNpci::CVORNpci(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                   PCUNICODE_STRING RegistryPath, ULONG DeviceIndex, PDEVICE_OBJECT* DeviceObject,
                   CardSearch* Search)
    : CDevice(DriverObject, Name, DeviceType, DeviceObject) {
    CString win32Name = CString::Concatenate(CString(u"VORNpci"), CString(DeviceIndex, 10, 0));
    NTSTATUS status =
        win32Name.IsValid ? CreateWin32Name(win32Name) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status,
                                            "VORNPCI:CVORNpci::CVORNpci CreateWin32Name failed");
    FindAndClaimCard(RegistryPath, Search);
    status = MapIoAddress(PCIBus, Search->busNumber, PortAddress);
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status,
                                            "VORNPCI::CVORNpci::CVORNpci MapIoAddress Failed");
    InitializeDeferredCalls();
    // Everything the interrupt service routine and the DPCs use is ready before the interrupt
    // is connected.
    ControlShadow = UCHAR(ExtIntrEnable);
    for (USHORT& word : EventRing)
        word = 0x0202;
    ResetEventRing();
    EventWaitArmed = 0;
    EventsLogged = 0;
    LastSequence = 0;
    FifoOverflows = 0;
    RingDrops = 0;
    LostEventsSeen = 0;
    LostBeforeFrame = 0;
    InitializeListHead(&NextEventWaiters);
    NextEventArmed = 0;
    NextEventTmrDue = 0;
    FifoExchangeActive = 0;
    FrameFill = 0;
    AnswerTail = 0;
    KnownYear = 0;
    TimeGeneration = 0;
    KeInitializeMutex(&BoardMutex, 0);
    status = InitializeInterrupt(PCIBus, Search->busNumber, VORNpciDpcForIsr, VORNpciIsr, this,
                                 InterruptResource, FALSE);
    if (!NT_SUCCESS(status)) {
        if (PortAddress.Mapped)
            MmUnmapIoSpace(PortAddress.MappedAddress, PortAddress.Length);
        PortAddress.Mapped = FALSE;
        ThrowStatusExceptionFromConstructor(
            status, "VORNPCI:CVORNpci::CVORNpci Failed to initialize interrupt");
    }
    InitializeBoardDiscardingOldEvents();
    vornRegisterFifoKeeper(PortBase(), FifoKeeper(), this);
}

// Finds the next card of the search on its bus, reads its configuration and claims its
// register window and interrupt. Raises STATUS_DEVICE_NOT_CONNECTED when the bus holds no
// further board of ours.
VOID CVORNpci::FindAndClaimCard(PCUNICODE_STRING RegistryPath, CardSearch* Search) {
    std::unique_ptr<CResource> resource(new CResource(PCIBus, Search->busNumber, this));
    if (!resource)
        ThrowStatusExceptionFromConstructor(STATUS_INSUFFICIENT_RESOURCES,
                                            "VORNPCI:CVORNpci::CVORNpci no memory for CResource");
    // The nearer card of either bridge, so that a bus mixing the two bridges has none of its
    // boards passed over.
    LONG slot = -1;
    USHORT deviceId = 0;
    for (USHORT id : kBridgeDeviceIds) {
        LONG found = resource->FindCard(kBridgeVendorId, id, 0, LONG(Search->nextSlot), 0, 0);
        if (found >= 0 && (slot < 0 || found < slot)) {
            slot = found;
            deviceId = id;
        }
    }
    if (slot < 0)
        ThrowStatusExceptionFromConstructor(STATUS_DEVICE_NOT_CONNECTED, "VORNPCI: no card");
    ULONG bytesRead = 0;
    NTSTATUS status = CResource::GetBusData(PCIBus, Search->busNumber, ULONG(slot),
                                            sizeof(PciConfig), PciConfig, &bytesRead, 0, 0);
    if (!NT_SUCCESS(status) || ConfigWord(PciConfig, kSubsystemVendorOffset) != kSubsystemVendorId)
        ThrowStatusExceptionFromConstructor(STATUS_DEVICE_NOT_CONNECTED, "VORNPCI: not our card");
    SlotNumber = UCHAR(slot);
    SubsystemId = ConfigWord(PciConfig, kSubsystemIdOffset);
    Search->nextSlot = ULONG(slot) + 1;
    CString registryPath(RegistryPath);
    status = registryPath.IsValid
                 ? resource->AssignCardsResources(registryPath, kBridgeVendorId, deviceId, slot, 0)
                 : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status))
        ThrowStatusExceptionFromConstructor(status, "VORNPCI: AssignCardsResources failed");
    if (!resource->GetPortResource(&PortAddress, kRegisterWindowIndex) ||
        !resource->GetInterruptResource(&InterruptResource, 0))
        ThrowStatusExceptionFromConstructor(STATUS_INSUFFICIENT_RESOURCES,
                                            "VORNPCI: no register window or interrupt");
}

VOID CVORNpci::InitializeDeferredCalls() {
    EventIrp = nullptr;
    HeartIrp = nullptr;
    MatchIrp = nullptr;
    KeInitializeDpc(&EventDpc, VORNpciDpcForEvent, this);
    KeInitializeDpc(&HeartbeatDpc, VORNpciDpcForHeartbeat, this);
    KeInitializeDpc(&MatchDpc, VORNpciDpcForMatch, this);
    KeInitializeDpc(&EventTmrDpc, VORNpciWaitDpcForEventTmr, this);
    KeInitializeTimer(&EventTmr);
    KeInitializeDpc(&HeartTmrDpc, VORNpciWaitDpcForHeartTmr, this);
    KeInitializeTimer(&HeartTmr);
    KeInitializeDpc(&MatchTmrDpc, VORNpciWaitDpcForMatchTmr, this);
    KeInitializeTimer(&MatchTmr);
    KeInitializeDpc(&NextEventDpc, VORNpciDpcForNextEvent, this);
    KeInitializeDpc(&NextEventTmrDpc, VORNpciDpcForNextEventTmr, this);
    KeInitializeTimer(&NextEventTmr);
}

// Board interrupts off in step with the interrupt service routine; the interrupt disconnected
// and the query keeper withdrawn before the window they read goes, timers cancelled and DPCs
// drained before the device extension goes. PASSIVE_LEVEL.
CVORNpci::~CVORNpci() {
    SynchronizeWithIsr(SourcesOffSync);
    DisconnectInterrupt(TRUE);
    vornWithdrawFifoKeeper(PortBase(), this);
    if (PortAddress.Mapped)
        MmUnmapIoSpace(PortAddress.MappedAddress, PortAddress.Length);
    PortAddress.Mapped = FALSE;
    for (PKTIMER timer : {&EventTmr, &HeartTmr, &MatchTmr, &NextEventTmr})
        KeCancelTimer(timer);
    for (PKDPC dpc : {&EventDpc, &HeartbeatDpc, &MatchDpc, &EventTmrDpc, &HeartTmrDpc, &MatchTmrDpc,
                      &NextEventDpc, &NextEventTmrDpc})
        KeRemoveQueueDpc(dpc);
    KeFlushQueuedDpcs();
}

NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                      PCUNICODE_STRING RegistryPath, ULONG DeviceIndex, CVORNpci** Device,
                      PDEVICE_OBJECT* DeviceObject, CardSearch* Search, ULONG Characteristics,
                      BOOLEAN Exclusive, ULONG ExtraSize) {
    *Device = nullptr;
    *DeviceObject = nullptr;
    try {
        void* storage = CDevice::operator new(sizeof(CVORNpci), DriverObject, Name, DeviceType,
                                              DeviceObject, Characteristics, Exclusive, ExtraSize);
        *Device = ::new (storage) CVORNpci(DriverObject, Name, DeviceType, RegistryPath,
                                           DeviceIndex, DeviceObject, Search);
        return STATUS_SUCCESS;
    } catch (const NtStatusException& raised) {
        if (*DeviceObject != nullptr)
            CleanupFromCreateDevice(static_cast<CDevice*>((*DeviceObject)->DeviceExtension));
        *DeviceObject = nullptr;
        return raised.Status;
    } catch (...) {
        if (*DeviceObject != nullptr)
            CleanupFromCreateDevice(static_cast<CDevice*>((*DeviceObject)->DeviceExtension));
        *DeviceObject = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
}
