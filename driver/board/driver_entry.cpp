// DriverEntry: finds every timing board on PCI buses 0 to 15 and creates its board device.
#include "vornpci_device.h"

namespace {

constexpr ULONG kBusCount = 16;
constexpr ULONG kSlotCount = 32;

// Creates the devices of one bus, from slot 0 until the bus holds no further board; returns
// the next device index.
ULONG CreateBusDevices(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath, ULONG Bus,
                       ULONG Index) {
    CardSearch search{0, Bus};
    for (;;) {
        CString name = CString::Concatenate(CString(u"VORNpci"), CString(Index, 10, 0));
        if (!name.IsValid)
            return Index;
        CVORNpci* device = nullptr;
        PDEVICE_OBJECT deviceObject = nullptr;
        NTSTATUS status =
            CreateDevice(DriverObject, name.UnicodeString.Buffer, VORNPCI_DEVICE_TYPE, RegistryPath,
                         Index, &device, &deviceObject, &search, 0, FALSE, 0);
        if (!NT_SUCCESS(status))
            return Index;
        ++Index;
        if (search.nextSlot >= kSlotCount)
            return Index;
    }
}

} // namespace

// The driver's entry point. PASSIVE_LEVEL, system thread.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    CDriver* driver = new CDriver(DriverObject);
    if (driver == nullptr)
        return STATUS_NO_MEMORY;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VORNpciIoctlDispatch;
    ULONG index = 0;
    for (ULONG bus = 0; bus < kBusCount; ++bus)
        index = CreateBusDevices(DriverObject, RegistryPath, bus, index);
    delete driver;
    return index > 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
