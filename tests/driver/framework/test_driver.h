// A small driver for the framework tests: start-I/O devices that queue every request and
// complete them when a test says so, and resource devices that claim a simulated card the way
// a board device does. Both are created by DriverEntry routines that the tests load through
// the real I/O manager.
#pragma once

#include "device.h"
#include "ntddk.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace drvfwtest {

constexpr DEVICE_TYPE kTestDeviceType = 0x8000;
// Queues the request; its input (and output) is a ULONG naming it.
constexpr ULONG kIoctlQueue = CTL_CODE(kTestDeviceType, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Start-I/O completes the request at once.
constexpr ULONG kIoctlQueueAndFinish =
    CTL_CODE(kTestDeviceType, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Dispatch waits until the request is cancelled, then queues it without a cancel routine ...
constexpr ULONG kIoctlQueueCancelled =
    CTL_CODE(kTestDeviceType, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
// ... or with the generic one.
constexpr ULONG kIoctlQueueCancelledWithRoutine =
    CTL_CODE(kTestDeviceType, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Queues the request at once without a cancel routine.
constexpr ULONG kIoctlQueueWithoutRoutine =
    CTL_CODE(kTestDeviceType, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct StartRecord {
    ULONG id;
    KIRQL irql;
};

class QueueDevice : public CDevice {
public:
    QueueDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                PDEVICE_OBJECT* DeviceObject, bool legacy);

    std::vector<StartRecord> starts();
    size_t startCount();
    // Completes the request in progress when the driver still owns it (its cancel routine
    // could be taken back); returns its id, or 0 when there was none to complete.
    ULONG completeCurrent(NTSTATUS status, bool withDpc = false);

    static VOID StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

private:
    PIRP takeCurrent();

    std::mutex m_mutex;
    std::vector<StartRecord> m_starts;
};

// Where a resource device's card search stands (bus, next slot), as DriverEntry keeps it.
struct CardSearch {
    ULONG nextSlot;
    ULONG busNumber;
};

class ResourceDevice : public CDevice {
public:
    ResourceDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                   PDEVICE_OBJECT* DeviceObject, const CString* RegistryPath, CardSearch* search);
    ~ResourceDevice() override;

    DRVFW_MAPPED_ADDRESS PortAddress;
    DRVFW_INTERRUPT_RESOURCE InterruptResource;
    LONG Slot;

private:
    VOID claimCard(const CString& RegistryPath, CardSearch* search);
};

// What the next load creates.
struct DriverConfig {
    unsigned queueDevices = 1;
    bool legacy = true;
    bool startIo = true; // false: the driver registers no start-I/O routine
};
DriverConfig& driverConfig();

// Requests that reached the dispatch routine and wait there for their cancellation.
extern std::atomic<int> g_waitingForCancel;

// Devices created by the last load, in creation order (tests only read them).
extern std::vector<CDevice*> g_devices;

NTSTATUS QueueDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS ResourceDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Creates a device of type T the way a driver's creator does: on a raise, the half-built
// device is handed to CleanupFromCreateDevice and the status returned.
template <typename T, typename... Args>
NTSTATUS createDevice(PDRIVER_OBJECT driver, PCWSTR name, T** device, Args... args) {
    PDEVICE_OBJECT deviceObject = nullptr;
    *device = nullptr;
    try {
        *device = new (driver, name, kTestDeviceType, &deviceObject, 0, FALSE, 0)
            T(driver, name, kTestDeviceType, &deviceObject, args...);
        return STATUS_SUCCESS;
    } catch (const NtStatusException& raised) {
        if (deviceObject != nullptr)
            CleanupFromCreateDevice(static_cast<CDevice*>(deviceObject->DeviceExtension));
        return raised.Status;
    }
}

} // namespace drvfwtest
