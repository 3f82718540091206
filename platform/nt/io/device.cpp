// Device objects: creation with a zeroed extension, deletion (at once, or when the last file
// object lets go), and the driver's list of its devices.
#include "io_internal.h"

#include "ntemu/faults.h"

#include <new>

namespace ntemu {
namespace {

constexpr size_t kExtensionAlignment = 16;

size_t extensionOffset() {
    return (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment *
           kExtensionAlignment;
}

void unlinkFromDriver(DeviceRecord* device) {
    PDEVICE_OBJECT* link = &device->driver->object.DeviceObject;
    while (*link && *link != device->object)
        link = &(*link)->NextDevice;
    if (*link)
        *link = device->object->NextDevice;
}

// One zeroed block for the object and its extension; the extension stays aligned for the
// driver's own objects.
PDEVICE_OBJECT newDeviceObject(DeviceRecord& record, PDRIVER_OBJECT driver, ULONG extensionSize) {
    record.extensionSize = extensionSize;
    record.blockSize = extensionOffset() + extensionSize;
    void* block =
        ::operator new(record.blockSize, std::align_val_t(kExtensionAlignment), std::nothrow);
    if (!block)
        return nullptr;
    std::memset(block, 0, record.blockSize);
    auto* device = static_cast<DEVICE_OBJECT*>(block);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->DeviceExtension =
        extensionSize ? static_cast<unsigned char*>(block) + extensionOffset() : nullptr;
    device->StackSize = 1;
    KeInitializeDeviceQueue(&device->DeviceQueue);
    return device;
}

// Validates what a driver hands to IoCreateDevice; clears the out pointer and gives the name.
NTSTATUS checkCreateArguments(PUNICODE_STRING deviceName, PDEVICE_OBJECT* deviceObject,
                              std::u16string* name) {
    if (!deviceObject) {
        verifier::report(Check::InvalidParameter, "IoCreateDevice", "no DeviceObject pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *deviceObject = nullptr;
    if (deviceName && deviceName->Length && (!deviceName->Buffer || (deviceName->Length & 1))) {
        verifier::report(Check::InvalidParameter, "IoCreateDevice", "malformed device name");
        return STATUS_INVALID_PARAMETER;
    }
    if (faults::shouldFail(FaultPoint::IoCreateDevice))
        return STATUS_INSUFFICIENT_RESOURCES;
    *name = fromUnicodeString(deviceName);
    if (!name->empty() && (*name)[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

} // namespace

DeviceRecord* IoManager::Impl::findDeviceRecord(const DEVICE_OBJECT* object) {
    auto found = devices.find(object);
    return found == devices.end() ? nullptr : found->second.get();
}

// Unlinks the device from its driver, makes sure no DPC or timer lives on in its storage, and
// frees object and extension together. Caller holds lock.
void IoManager::Impl::freeDevice(DeviceRecord* device, const char* routine) {
    unlinkFromDriver(device);
    if (!device->nameKey.empty()) {
        auto named = deviceNames.find(device->nameKey);
        if (named != deviceNames.end() && named->second == device)
            deviceNames.erase(named);
    }
    kernel.checkFreedRange(device->object, device->blockSize, routine);
    DEVICE_OBJECT* object = device->object;
    devices.erase(object);
    ::operator delete(static_cast<void*>(object), std::align_val_t(kExtensionAlignment));
}

} // namespace ntemu

using namespace ntemu;

// IoCreateDevice: a zero-filled device object with a zero-filled extension of the given size,
// StackSize 1, DO_DEVICE_INITIALIZING (plus DO_EXCLUSIVE, DO_DEVICE_HAS_NAME), its device
// queue initialised, put at the head of the driver's list. A name must be a full path and
// unique (STATUS_OBJECT_NAME_COLLISION). IRQL <= APC_LEVEL.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    irql::checkAtMost("IoCreateDevice", APC_LEVEL);
    auto& io = IoManager::current().impl();
    std::u16string name;
    NTSTATUS status = checkCreateArguments(DeviceName, DeviceObject, &name);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(io.lock);
    DriverRecord* driver = io.findDriver(DriverObject);
    if (!driver) {
        verifier::report(Check::InvalidParameter, "IoCreateDevice", "unknown driver object");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string key = upperCase(name);
    if (!key.empty() && io.deviceNames.count(key))
        return STATUS_OBJECT_NAME_COLLISION;

    auto record = std::make_unique<DeviceRecord>();
    PDEVICE_OBJECT device = newDeviceObject(*record, DriverObject, DeviceExtensionSize);
    if (!device)
        return STATUS_INSUFFICIENT_RESOURCES;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (key.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;

    record->object = device;
    record->driver = driver;
    record->nameKey = key;
    if (!key.empty())
        io.deviceNames.emplace(key, record.get());
    io.devices.emplace(device, std::move(record));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// IoDeleteDevice: the name goes at once; object and extension are freed now, or when the last
// file object on the device is closed. A second delete is reported. IRQL <= APC_LEVEL.
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    irql::checkAtMost("IoDeleteDevice", APC_LEVEL);
    auto& io = IoManager::current().impl();
    std::lock_guard guard(io.lock);
    DeviceRecord* device = io.findDeviceRecord(DeviceObject);
    if (!device || device->deleted) {
        verifier::report(Check::DoubleDelete, "IoDeleteDevice",
                         device ? "device already deleted" : "not a live device object");
        return;
    }
    device->deleted = true;
    if (!device->nameKey.empty()) {
        io.deviceNames.erase(device->nameKey);
        device->nameKey.clear();
    }
    if (device->fileCount == 0)
        io.freeDevice(device, "IoDeleteDevice");
}
