// The board device's device-control dispatch routine and its table of requests: one row per
// request with its lengths, how it reaches the board and what runs it.
#include "board_ops.h"
#include "vornpci_device.h"

#include "vornpci_ioctl.h"
#include "vornpci_records.h"

namespace {

using namespace vornpci;

// How a request reaches the board.
enum class Exchange : UCHAR {
    Handler,   // the request's own handler does everything (waits, replies without the board)
    Registers, // one board operation that touches registers only
    Fifo,      // one board operation that exchanges bytes with the FIFO
    RawRead,   // a read of a window register; a read of the data register takes a FIFO byte
    RawWrite,  // a write of a window register
};

using Handler = NTSTATUS (CVORNpci::*)(PIRP);
using BoardOperation = UCHAR (*)(ULONG_PTR Port, PVOID Buffer);

// Any input length is accepted.
constexpr ULONG kAnyLength = ~ULONG(0);
// A value that travels in a 32-bit word: a time-out, a year, a sync control or status byte, the
// four firmware version bytes, a propagation delay.
constexpr ULONG kWordBytes = sizeof(ULONG);
// Raw register access: a MemObj at the start of a buffer of two.
constexpr ULONG kRawAccessBytes = 2 * sizeof(MemObj);

struct RequestEntry {
    ULONG Code;
    ULONG InputLength; // the exact length of the input, or kAnyLength
    ULONG Information; // what a successful request returns; the output buffer must hold it
    Exchange Kind;
    BoardOperation Operation; // Kind other than Handler
    Handler Routine;          // Kind Handler
    // A wait's interrupt source: switched on before the input is checked, so that even a
    // refused wait leaves its source on for the next.
    UCHAR Enables;
};

template <typename Record>
UCHAR OperateOn(UCHAR (*Operation)(ULONG_PTR, Record*), ULONG_PTR Port, PVOID Buffer) {
    return Operation(Port, static_cast<Record*>(Buffer));
}

// A board operation on the request's buffer.
template <auto Operation> UCHAR OnBuffer(ULONG_PTR Port, PVOID Buffer) {
    return OperateOn(Operation, Port, Buffer);
}

// A board operation that takes nothing from the request.
template <auto Operation> UCHAR Alone(ULONG_PTR Port, PVOID) {
    return Operation(Port);
}

constexpr RequestEntry Board(ULONG Code, ULONG InputLength, ULONG Information, Exchange Kind,
                             BoardOperation Operation) {
    return {Code, InputLength, Information, Kind, Operation, nullptr, 0};
}

constexpr RequestEntry Own(ULONG Code, ULONG InputLength, ULONG Information, Handler Routine) {
    return {Code, InputLength, Information, Exchange::Handler, nullptr, Routine, 0};
}

constexpr RequestEntry Wait(ULONG Code, ULONG InputLength, ULONG Information, Handler Routine,
                            UCHAR Enables) {
    return {Code, InputLength, Information, Exchange::Handler, nullptr, Routine, Enables};
}

const RequestEntry kRequests[] = {
    Own(IOCTL_VORNPCI_OPEN, sizeof(OpenReply), sizeof(OpenReply), &CVORNpci::VORNpciIoctlOpen),
    Own(IOCTL_VORNPCI_GET_DRIVER, sizeof(kDriverVersionText), sizeof(kDriverVersionText),
        &CVORNpci::VORNpciIoctlGetDriver),
    Board(IOCTL_VORNPCI_GET_ALTITUDE, sizeof(AltObj), sizeof(AltObj), Exchange::Fifo,
          OnBuffer<vornGetAltitude>),
    Board(IOCTL_VORNPCI_GET_DATE, sizeof(DateObj), sizeof(DateObj), Exchange::Fifo,
          OnBuffer<vornGetDate>),
    Board(IOCTL_VORNPCI_GET_FIRMWARE, kWordBytes, kWordBytes, Exchange::Fifo,
          OnBuffer<vornGetFirmware>),
    Board(IOCTL_VORNPCI_GET_LATITUDE, sizeof(LongLat), sizeof(LongLat), Exchange::Fifo,
          OnBuffer<vornGetLatitude>),
    Board(IOCTL_VORNPCI_GET_LONGITUDE, sizeof(LongLat), sizeof(LongLat), Exchange::Fifo,
          OnBuffer<vornGetLongitude>),
    Board(IOCTL_VORNPCI_GET_SATINFO, sizeof(SatObj), sizeof(SatObj), Exchange::Fifo,
          OnBuffer<vornGetSatInfo>),
    Board(IOCTL_VORNPCI_GET_TIME, sizeof(TimeObj), sizeof(TimeObj), Exchange::Registers,
          OnBuffer<vornGetTime>),
    Board(IOCTL_VORNPCI_RESET_FIRMWARE, kAnyLength, 0, Exchange::Fifo, Alone<vornResetFirmware>),
    Board(IOCTL_VORNPCI_SET_HEARTBEAT, sizeof(HeartObj), 0, Exchange::Registers,
          OnBuffer<vornSetHeartbeat>),
    Board(IOCTL_VORNPCI_SET_MATCH_TIME, sizeof(MatchObj), 0, Exchange::Registers,
          OnBuffer<vornSetMatchTime>),
    Board(IOCTL_VORNPCI_SET_PROP_DELAY, kWordBytes, 0, Exchange::Registers,
          OnBuffer<vornSetPropDelayCorr>),
    // A time on day 366 reads the board's date first, through the FIFO.
    Board(IOCTL_VORNPCI_SET_TIME, sizeof(TimeObj), 0, Exchange::Fifo, OnBuffer<vornSetTime>),
    Board(IOCTL_VORNPCI_SET_YEAR, kWordBytes, 0, Exchange::Registers, OnBuffer<vornSetYear>),
    Board(IOCTL_VORNPCI_SIM_EVENT, kAnyLength, 0, Exchange::Registers, Alone<vornSimEvent>),
    Board(IOCTL_VORNPCI_SYNCH_CTRL, kWordBytes, kWordBytes, Exchange::Registers,
          OnBuffer<vornSynchControl>),
    Board(IOCTL_VORNPCI_SYNCH_STATUS, kWordBytes, kWordBytes, Exchange::Registers,
          OnBuffer<vornSynchStatus>),
    Wait(IOCTL_VORNPCI_WAIT_EVENT, sizeof(EventWaitRecord), sizeof(EventWaitRecord),
         &CVORNpci::VORNpciIoctlWaitEvent, ExtIntrEnable),
    Wait(IOCTL_VORNPCI_WAIT_HEART, kWordBytes, 0, &CVORNpci::VORNpciIoctlWaitHeart,
         HeartIntrEnable),
    Wait(IOCTL_VORNPCI_WAIT_MATCH, kWordBytes, 0, &CVORNpci::VORNpciIoctlWaitMatch,
         MatchIntrEnable),
    Board(IOCTL_VORNPCI_PEEK, kRawAccessBytes, kRawAccessBytes, Exchange::RawRead,
          OnBuffer<vornPeek>),
    Board(IOCTL_VORNPCI_POKE, kRawAccessBytes, 0, Exchange::RawWrite, OnBuffer<vornPoke>),
    Own(IOCTL_VORNPCI_FLUSH_FIFO, kAnyLength, 0, &CVORNpci::VORNpciIoctlFlushFifo),
    Own(IOCTL_VORNPCI_GET_STAMPED_TIME, sizeof(StampedTimeObj), sizeof(StampedTimeObj),
        &CVORNpci::VORNpciIoctlGetStampedTime),
};

// Requests after which the board's time or year may have jumped: the year the stamped time
// request follows is then learnt again.
const ULONG kTimeMovingRequests[] = {
    IOCTL_VORNPCI_SET_TIME,   IOCTL_VORNPCI_SET_YEAR,       IOCTL_VORNPCI_SET_PROP_DELAY,
    IOCTL_VORNPCI_SYNCH_CTRL, IOCTL_VORNPCI_RESET_FIRMWARE, IOCTL_VORNPCI_POKE,
};

BOOLEAN MovesBoardTime(ULONG Code) {
    for (ULONG code : kTimeMovingRequests)
        if (code == Code)
            return TRUE;
    return FALSE;
}

const RequestEntry* FindRequest(ULONG Code) {
    for (const RequestEntry& entry : kRequests)
        if (entry.Code == Code)
            return &entry;
    return nullptr;
}

// Raw access reaches only the board's own register window.
BOOLEAN InWindow(const CVORNpci* Device, const MemObj* Memory) {
    return ULONG(Memory->offset) + sizeof(USHORT) <= Device->PortAddress.Length;
}

// Runs the row's board operation on the request's buffer under the board lock.
NTSTATUS RunBoardOperation(CVORNpci* Device, const RequestEntry& Entry, PVOID Buffer) {
    BOOLEAN fifo = Entry.Kind == Exchange::Fifo;
    if (Entry.Kind == Exchange::RawRead || Entry.Kind == Exchange::RawWrite) {
        const auto* memory = static_cast<const MemObj*>(Buffer);
        if (!InWindow(Device, memory))
            return STATUS_INVALID_PARAMETER;
        // A raw read of the data register takes a FIFO byte: it must not split an event.
        fifo = Entry.Kind == Exchange::RawRead && memory->offset == DataPort;
    }
    const UCHAR result =
        Device->BoardExchange(fifo, [&](ULONG_PTR Port) { return Entry.Operation(Port, Buffer); });
    return vornResultToStatus(result);
}

// A request whose buffers fit its row: its handler or its board operation.
NTSTATUS RunRequest(CVORNpci* Device, const RequestEntry& Entry, PIRP Irp) {
    const NTSTATUS status = Entry.Kind == Exchange::Handler
                                ? (Device->*Entry.Routine)(Irp)
                                : RunBoardOperation(Device, Entry, Irp->AssociatedIrp.SystemBuffer);
    if (NT_SUCCESS(status) && status != STATUS_PENDING)
        Irp->IoStatus.Information = Entry.Information;
    return status;
}

NTSTATUS CheckAndRun(CVORNpci* Device, const RequestEntry* Entry, PIRP Irp,
                     PIO_STACK_LOCATION Stack) {
    if (Entry == nullptr)
        return STATUS_NOT_IMPLEMENTED;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < Entry->Information)
        return STATUS_BUFFER_TOO_SMALL;
    if (Entry->Enables != 0)
        Device->WriteControlShadow(Entry->Enables);
    if (Entry->InputLength != kAnyLength &&
        Stack->Parameters.DeviceIoControl.InputBufferLength != Entry->InputLength)
        return STATUS_INVALID_PARAMETER;
    return RunRequest(Device, *Entry, Irp);
}

} // namespace

// IRP_MJ_DEVICE_CONTROL: runs the request's row and completes every request that is not left
// pending. A request whose output buffer cannot hold what it would return, or whose input is
// not of its length, is refused before the board is touched. PASSIVE_LEVEL.
NTSTATUS VORNpciIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* device = static_cast<CVORNpci*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    const RequestEntry* entry = FindRequest(stack->Parameters.DeviceIoControl.IoControlCode);
    const NTSTATUS status = CheckAndRun(device, entry, Irp, stack);
    if (entry != nullptr && MovesBoardTime(entry->Code))
        InterlockedIncrement(&device->TimeGeneration);
    if (status != STATUS_PENDING)
        device->CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}
