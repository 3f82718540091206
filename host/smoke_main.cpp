// Boots the kernel layer on an empty machine, loads a one-device driver, sends it a request
// through the I/O manager and unloads it: the shortest proof that the layers fit together.
#include "ntemu/system.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

class EmptyMachine final : public ntemu::bus::Machine {
public:
    bool busExists(uint32_t bus) const override { return bus == 0; }
    ntemu::bus::PciFunction* pciFunction(uint32_t, uint32_t, uint32_t) override { return nullptr; }
    ntemu::bus::PortDevice* portDevice(uint32_t) override { return nullptr; }
};

constexpr ULONG kEchoCode = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS completeWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SmokeCreateClose(PDEVICE_OBJECT, PIRP irp) { return completeWith(irp, STATUS_SUCCESS, 0); }

NTSTATUS SmokeDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != kEchoCode)
        return completeWith(irp, STATUS_NOT_IMPLEMENTED, 0);
    return completeWith(irp, STATUS_SUCCESS, stack->Parameters.DeviceIoControl.InputBufferLength);
}

VOID SmokeUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Smoke0");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS SmokeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, u"\\Device\\Smoke0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\Smoke0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = SmokeCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = SmokeCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SmokeDeviceControl;
    driver->DriverUnload = SmokeUnload;
    return STATUS_SUCCESS;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: kernel-smoke\n"
                    "Boots the user-mode kernel layer, loads a small driver, sends it one\n"
                    "device-control request by name and unloads it.\n");
        return 0;
    }
    EmptyMachine machine;
    ntemu::System system(machine);
    auto load = system.io().loadDriver(SmokeDriverEntry, u"\\Driver\\Smoke",
                                       u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Smoke");
    if (!NT_SUCCESS(load.status)) {
        std::printf("kernel-smoke: DriverEntry failed, status 0x%08X\n", (unsigned)load.status);
        return 1;
    }
    auto process = system.io().createProcess("kernel-smoke");
    ntemu::Handle handle = 0;
    NTSTATUS status = process->open(u"\\\\.\\Smoke0", {}, &handle);
    char text[] = "kernel layer is up";
    char reply[sizeof text] = {};
    auto result = process->createThread().deviceIoControl(handle, kEchoCode, text, sizeof text,
                                                          reply, sizeof reply);
    process->close(handle);
    bool unloaded = system.io().unloadDriver(load.driver);
    std::printf("open: 0x%08X, request: 0x%08X, %zu bytes: \"%s\", unload: %s, reports: %zu\n",
                (unsigned)status, (unsigned)result.status, (size_t)result.information, reply,
                unloaded ? "clean" : "failed", ntemu::verifier::pendingCount());
    return NT_SUCCESS(status) && NT_SUCCESS(result.status) && unloaded &&
                   ntemu::verifier::pendingCount() == 0
               ? 0
               : 1;
}
