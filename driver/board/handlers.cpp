// Request handlers of the board device other than the waits: each checks its input length,
// runs its board operation under the board lock and says how many bytes it returns.
#include "board_ops.h"
#include "vornpci_device.h"

#include "vornpci_records.h"

namespace {

enum class Exchange : BOOLEAN { Registers = FALSE, Fifo = TRUE };

// Any input length is accepted.
constexpr ULONG kAnyLength = ~ULONG(0);

template <typename Record> Record* BufferOf(PIRP Irp) {
    return static_cast<Record*>(Irp->AssociatedIrp.SystemBuffer);
}

// The common form: length check, the board operation on the request's buffer, Information.
template <typename Operation>
NTSTATUS Run(CVORNpci* Device, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Length, ULONG Information,
             Exchange Kind, Operation&& Work) {
    if (Length != kAnyLength && Stack->Parameters.DeviceIoControl.InputBufferLength != Length)
        return STATUS_INVALID_PARAMETER;
    const UCHAR result = Device->BoardExchange(BOOLEAN(Kind), Work);
    const NTSTATUS status = vornResultToStatus(result);
    if (NT_SUCCESS(status))
        Irp->IoStatus.Information = Information;
    return status;
}

// Raw access reaches only the board's own register window.
BOOLEAN InWindow(const CVORNpci* Device, const vornpci::MemObj* Memory) {
    return ULONG(Memory->offset) + sizeof(USHORT) <= Device->PortAddress.Length;
}

} // namespace

NTSTATUS CVORNpci::VORNpciIoctlOpen(PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(vornpci::OpenReply))
        return STATUS_INVALID_PARAMETER;
    auto* reply = BufferOf<vornpci::OpenReply>(Irp);
    reply->modelCode = SubsystemId;
    reply->slotNumber = SlotNumber;
    Irp->IoStatus.Information = sizeof(vornpci::OpenReply);
    return STATUS_SUCCESS;
}

NTSTATUS CVORNpci::VORNpciIoctlGetDriver(PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(vornpci::kDriverVersionText))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, vornpci::kDriverVersionText,
                  sizeof(vornpci::kDriverVersionText));
    Irp->IoStatus.Information = sizeof(vornpci::kDriverVersionText);
    return STATUS_SUCCESS;
}

NTSTATUS CVORNpci::VORNpciIoctlGetAltitude(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::AltObj>(Irp);
    return Run(this, Irp, Stack, 4, 4, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetAltitude(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetDate(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::DateObj>(Irp);
    return Run(this, Irp, Stack, 4, 4, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetDate(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetFirmware(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* version = BufferOf<UCHAR>(Irp);
    return Run(this, Irp, Stack, 4, 4, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetFirmware(Port, version); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetLatitude(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::LongLat>(Irp);
    return Run(this, Irp, Stack, 8, 8, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetLatitude(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetLongitude(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::LongLat>(Irp);
    return Run(this, Irp, Stack, 8, 8, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetLongitude(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetSatInfo(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::SatObj>(Irp);
    return Run(this, Irp, Stack, 2, 2, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornGetSatInfo(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlGetTime(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::TimeObj>(Irp);
    return Run(this, Irp, Stack, 16, 16, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornGetTime(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlResetFirmware(PIRP Irp, PIO_STACK_LOCATION Stack) {
    return Run(this, Irp, Stack, kAnyLength, 0, Exchange::Fifo,
               [](ULONG_PTR Port) { return vornResetFirmware(Port); });
}

NTSTATUS CVORNpci::VORNpciIoctlSetHeartbeat(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::HeartObj>(Irp);
    return Run(this, Irp, Stack, 6, 0, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSetHeartbeat(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlSetMatchTime(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::MatchObj>(Irp);
    return Run(this, Irp, Stack, 12, 0, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSetMatchTime(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlSetPropDelay(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* delay = BufferOf<LONG>(Irp);
    return Run(this, Irp, Stack, 4, 0, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSetPropDelayCorr(Port, delay); });
}

// A time on day 366 reads the board's date first, through the FIFO.
NTSTATUS CVORNpci::VORNpciIoctlSetTime(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* record = BufferOf<vornpci::TimeObj>(Irp);
    return Run(this, Irp, Stack, 16, 0, Exchange::Fifo,
               [&](ULONG_PTR Port) { return vornSetTime(Port, record); });
}

NTSTATUS CVORNpci::VORNpciIoctlSetYear(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* year = BufferOf<USHORT>(Irp);
    return Run(this, Irp, Stack, 4, 0, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSetYear(Port, year); });
}

NTSTATUS CVORNpci::VORNpciIoctlSimEvent(PIRP Irp, PIO_STACK_LOCATION Stack) {
    return Run(this, Irp, Stack, kAnyLength, 0, Exchange::Registers,
               [](ULONG_PTR Port) { return vornSimEvent(Port); });
}

NTSTATUS CVORNpci::VORNpciIoctlSynchCtrl(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* control = BufferOf<UCHAR>(Irp);
    return Run(this, Irp, Stack, 4, 4, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSynchControl(Port, control); });
}

NTSTATUS CVORNpci::VORNpciIoctlSynchStatus(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* status = BufferOf<UCHAR>(Irp);
    return Run(this, Irp, Stack, 4, 4, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornSynchStatus(Port, status); });
}

NTSTATUS CVORNpci::VORNpciPeek(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* memory = BufferOf<vornpci::MemObj>(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength == 8 && !InWindow(this, memory))
        return STATUS_INVALID_PARAMETER;
    // A raw read of the data register takes a FIFO byte: it must not split an event.
    const Exchange kind = memory->offset == DataPort ? Exchange::Fifo : Exchange::Registers;
    return Run(this, Irp, Stack, 8, 8, kind,
               [&](ULONG_PTR Port) { return vornPeek(Port, memory); });
}

NTSTATUS CVORNpci::VORNpciPoke(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* memory = BufferOf<vornpci::MemObj>(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength == 8 && !InWindow(this, memory))
        return STATUS_INVALID_PARAMETER;
    return Run(this, Irp, Stack, 8, 0, Exchange::Registers,
               [&](ULONG_PTR Port) { return vornPoke(Port, memory); });
}

// Drops every queued time tag, in the board's FIFO and in the ring, in step with the
// interrupt service routine and the ring's readers.
NTSTATUS CVORNpci::VORNpciIoctlFlushFifo(PIRP Irp, PIO_STACK_LOCATION Stack) {
    return Run(this, Irp, Stack, kAnyLength, 0, Exchange::Fifo, [this](ULONG_PTR Port) {
        const UCHAR result = vornFlushFifo(Port);
        const KIRQL irql = KfAcquireSpinLock(&DeviceLock);
        ResetEventRing();
        KfReleaseSpinLock(&DeviceLock, irql);
        return result;
    });
}
