// The board device's device-control dispatch routine and its table of requests.
#include "vornpci_device.h"

#include "vornpci_ioctl.h"
#include "vornpci_records.h"

namespace {

using Handler = NTSTATUS (CVORNpci::*)(PIRP, PIO_STACK_LOCATION);

struct RequestEntry {
    ULONG Code;
    Handler Routine;
    ULONG Information;   // what a successful request returns; the output buffer must hold it
};

using namespace vornpci;

const RequestEntry kRequests[] = {
    {IOCTL_VORNPCI_OPEN, &CVORNpci::VORNpciIoctlOpen, sizeof(OpenReply)},
    {IOCTL_VORNPCI_GET_ALTITUDE, &CVORNpci::VORNpciIoctlGetAltitude, sizeof(AltObj)},
    {IOCTL_VORNPCI_GET_DATE, &CVORNpci::VORNpciIoctlGetDate, sizeof(DateObj)},
    {IOCTL_VORNPCI_GET_DRIVER, &CVORNpci::VORNpciIoctlGetDriver, sizeof(kDriverVersionText)},
    {IOCTL_VORNPCI_GET_FIRMWARE, &CVORNpci::VORNpciIoctlGetFirmware, 4},
    {IOCTL_VORNPCI_GET_LATITUDE, &CVORNpci::VORNpciIoctlGetLatitude, sizeof(LongLat)},
    {IOCTL_VORNPCI_GET_LONGITUDE, &CVORNpci::VORNpciIoctlGetLongitude, sizeof(LongLat)},
    {IOCTL_VORNPCI_GET_SATINFO, &CVORNpci::VORNpciIoctlGetSatInfo, sizeof(SatObj)},
    {IOCTL_VORNPCI_GET_TIME, &CVORNpci::VORNpciIoctlGetTime, sizeof(TimeObj)},
    {IOCTL_VORNPCI_RESET_FIRMWARE, &CVORNpci::VORNpciIoctlResetFirmware, 0},
    {IOCTL_VORNPCI_SET_HEARTBEAT, &CVORNpci::VORNpciIoctlSetHeartbeat, 0},
    {IOCTL_VORNPCI_SET_MATCH_TIME, &CVORNpci::VORNpciIoctlSetMatchTime, 0},
    {IOCTL_VORNPCI_SET_PROP_DELAY, &CVORNpci::VORNpciIoctlSetPropDelay, 0},
    {IOCTL_VORNPCI_SET_TIME, &CVORNpci::VORNpciIoctlSetTime, 0},
    {IOCTL_VORNPCI_SET_YEAR, &CVORNpci::VORNpciIoctlSetYear, 0},
    {IOCTL_VORNPCI_SIM_EVENT, &CVORNpci::VORNpciIoctlSimEvent, 0},
    {IOCTL_VORNPCI_SYNCH_CTRL, &CVORNpci::VORNpciIoctlSynchCtrl, 4},
    {IOCTL_VORNPCI_SYNCH_STATUS, &CVORNpci::VORNpciIoctlSynchStatus, 4},
    {IOCTL_VORNPCI_WAIT_EVENT, &CVORNpci::VORNpciIoctlWaitEvent, sizeof(EventWaitRecord)},
    {IOCTL_VORNPCI_WAIT_HEART, &CVORNpci::VORNpciIoctlWaitHeart, 0},
    {IOCTL_VORNPCI_WAIT_MATCH, &CVORNpci::VORNpciIoctlWaitMatch, 0},
    {IOCTL_VORNPCI_PEEK, &CVORNpci::VORNpciPeek, 8},
    {IOCTL_VORNPCI_POKE, &CVORNpci::VORNpciPoke, 0},
    {IOCTL_VORNPCI_FLUSH_FIFO, &CVORNpci::VORNpciIoctlFlushFifo, 0},
    {IOCTL_VORNPCI_GET_STAMPED_TIME, &CVORNpci::VORNpciIoctlGetStampedTime, sizeof(StampedTimeObj)},
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

} // namespace

// IRP_MJ_DEVICE_CONTROL: runs the request's handler and completes every request that is not
// left pending. A request whose output buffer cannot hold what it would return is refused
// before the board is touched. PASSIVE_LEVEL.
NTSTATUS VORNpciIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* device = static_cast<CVORNpci*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    const RequestEntry* entry = FindRequest(stack->Parameters.DeviceIoControl.IoControlCode);
    NTSTATUS status;
    if (entry == nullptr)
        status = STATUS_NOT_IMPLEMENTED;
    else if (stack->Parameters.DeviceIoControl.OutputBufferLength < entry->Information)
        status = STATUS_BUFFER_TOO_SMALL;
    else
        status = (device->*entry->Routine)(Irp, stack);
    if (entry != nullptr && MovesBoardTime(entry->Code))
        InterlockedIncrement(&device->TimeGeneration);
    if (status != STATUS_PENDING)
        device->CompleteIrp(Irp, status, IO_NO_INCREMENT);
    return status;
}
