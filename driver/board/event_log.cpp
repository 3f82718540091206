// The sequenced event log: every event the driver reads gets the board's number for it (the
// tags the full FIFO refused included) and goes into a log that any number of readers look up
// by sequence number without taking from each other; with the event counters.
#include "board_protocol.h"
#include "event_frame.h"
#include "vornpci_device.h"

#include "vornpci_records.h"

namespace {

enum class LookupResult { Found, NoneYet, Beyond };

struct LogLookup {
    CVORNpci* Device;
    ULONGLONG AfterSequence;
    vornpci::SequencedEventRecord* Record;
    BOOLEAN ArmIfNone;
    LookupResult Result;
};

struct CountersRead {
    CVORNpci* Device;
    vornpci::EventCountersRecord* Record;
};

ULONG ReadLostEvents(ULONG_PTR Port) {
    const USHORT low = vornReadRegister(Port, LostEventsLowPort);
    return (ULONG(vornReadRegister(Port, LostEventsHighPort)) << 16) | low;
}

// The first logged entry (by count of entries ever written) numbered after `Sequence`, or
// `Logged` when none is. Numbers grow with the entries, so the held ones are searched halving.
ULONGLONG FirstLoggedAfter(const VORN_LOGGED_EVENT* Log, ULONGLONG Logged, ULONGLONG Sequence) {
    ULONGLONG low = Logged > VORN_EVENT_LOG_ENTRIES ? Logged - VORN_EVENT_LOG_ENTRIES : 0;
    ULONGLONG high = Logged;
    while (low < high) {
        const ULONGLONG middle = low + (high - low) / 2;
        if (Log[middle % VORN_EVENT_LOG_ENTRIES].Sequence > Sequence)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

} // namespace

// Before the first byte of a frame is read: the board's lost-event count as it stood when this
// frame went in. The tags it refused since the frame begun before came ahead of this one. In
// step with the interrupt service routine, or by the FIFO exchange that holds the frame state.
VOID CVORNpci::BeginFrame(CVORNpci* Device) {
    const ULONG lost = ReadLostEvents(Device->PortBase());
    Device->LostBeforeFrame += lost - Device->LostEventsSeen;
    Device->LostEventsSeen = lost;
}

// The event frame in FrameBytes gets its number and a log entry, and the waiting next-event
// requests are served. In step with the interrupt service routine.
VOID CVORNpci::NumberAndLog(CVORNpci* Device) {
    const ULONGLONG sequence = Device->LastSequence + Device->LostBeforeFrame + 1;
    Device->FifoOverflows += Device->LostBeforeFrame;
    Device->LostBeforeFrame = 0;
    Device->LastSequence = sequence;
    VORN_LOGGED_EVENT& entry = Device->EventLog[Device->EventsLogged % VORN_EVENT_LOG_ENTRIES];
    entry.Sequence = sequence;
    RtlCopyMemory(entry.Frame, Device->FrameBytes, sizeof(entry.Frame));
    ++Device->EventsLogged;
    if (__atomic_load_n(&Device->NextEventArmed, __ATOMIC_ACQUIRE))
        KeInsertQueueDpc(&Device->NextEventDpc, nullptr, nullptr);
}

// Start-up: the count the board shows now is where the numbering begins. In step with the
// interrupt service routine, with the FIFO empty.
BOOLEAN CVORNpci::ResetLostCountSync(PVOID Context) {
    auto* device = static_cast<CVORNpci*>(Context);
    device->LostEventsSeen = ReadLostEvents(device->PortBase());
    device->LostBeforeFrame = 0;
    return TRUE;
}

BOOLEAN CVORNpci::FindLoggedSync(PVOID Context) {
    auto* lookup = static_cast<LogLookup*>(Context);
    CVORNpci* device = lookup->Device;
    if (lookup->AfterSequence > device->LastSequence) {
        lookup->Result = LookupResult::Beyond;
        return FALSE;
    }
    const ULONGLONG index =
        FirstLoggedAfter(device->EventLog, device->EventsLogged, lookup->AfterSequence);
    if (index == device->EventsLogged) {
        if (lookup->ArmIfNone)
            __atomic_store_n(&device->NextEventArmed, UCHAR(1), __ATOMIC_RELEASE);
        lookup->Result = LookupResult::NoneYet;
        return FALSE;
    }
    const VORN_LOGGED_EVENT& entry = device->EventLog[index % VORN_EVENT_LOG_ENTRIES];
    vornpci::SequencedEventRecord* record = lookup->Record;
    vornevent::DecodeEventFrame(entry.Frame, record);
    record->sequence = entry.Sequence;
    record->droppedBefore = entry.Sequence - lookup->AfterSequence - 1;
    lookup->Result = LookupResult::Found;
    return TRUE;
}

// The oldest logged event after `AfterSequence` into `Record`: STATUS_SUCCESS; none yet:
// STATUS_PENDING (and, with `ArmIfNone`, the next event logged queues the next-event DPC); a
// number beyond the last given: STATUS_INVALID_PARAMETER. Caller holds DeviceLock.
NTSTATUS CVORNpci::FindLogged(ULONGLONG AfterSequence, vornpci::SequencedEventRecord* Record,
                              BOOLEAN ArmIfNone) {
    LogLookup lookup{this, AfterSequence, Record, ArmIfNone, LookupResult::NoneYet};
    KeSynchronizeExecution(InterruptObject, FindLoggedSync, &lookup);
    switch (lookup.Result) {
    case LookupResult::Found:
        return STATUS_SUCCESS;
    case LookupResult::Beyond:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_PENDING;
    }
}

BOOLEAN CVORNpci::ReadCountersSync(PVOID Context) {
    auto* read = static_cast<CountersRead*>(Context);
    read->Record->tagged = read->Device->LastSequence;
    read->Record->fifoOverflows = read->Device->FifoOverflows;
    read->Record->ringDrops = read->Device->RingDrops;
    read->Record->unused24 = 0;
    return TRUE;
}

// The counters as one consistent reading. PASSIVE_LEVEL.
NTSTATUS CVORNpci::VORNpciIoctlGetEventCounters(PIRP Irp) {
    CountersRead read{this,
                      static_cast<vornpci::EventCountersRecord*>(Irp->AssociatedIrp.SystemBuffer)};
    KeSynchronizeExecution(InterruptObject, ReadCountersSync, &read);
    return STATUS_SUCCESS;
}
