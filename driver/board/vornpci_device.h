// CVORNpci: the board device. One per timing board found; it lives in its device object's
// extension and holds the register window, the interrupt, the three timed waits and the
// ring of event time tags.
#pragma once

#include "board_registers.h"
#include "device.h"
#include "ntddk.h"
#include "vornpci_records.h"

struct VORN_FIFO_KEEPER;

// Where DriverEntry's card search stands on the bus being walked.
struct CardSearch {
    ULONG nextSlot; // first PCI device number still to try
    ULONG busNumber;
};

// Device type of the board devices.
constexpr DEVICE_TYPE VORNPCI_DEVICE_TYPE = 0x8081;

// The ring keeps this many unread event frames; a further event drops the oldest.
constexpr ULONG VORN_EVENT_RING_WORDS = 510;
constexpr ULONG VORN_EVENT_RING_FRAMES = VORN_EVENT_RING_WORDS / FifoFrameBytes;

class CVORNpci : public CDevice {
public:
    // Raises the failure status (see CreateDevice). PASSIVE_LEVEL.
    CVORNpci(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
             PCUNICODE_STRING RegistryPath, ULONG DeviceIndex, PDEVICE_OBJECT* DeviceObject,
             CardSearch* Search);
    ~CVORNpci() override;

    // Request handlers that are more than one board operation (the rest are rows of the
    // dispatch routine's table, which checks every request's lengths and sets Information on
    // success). PASSIVE_LEVEL, caller's thread. The waits may return STATUS_PENDING.
    NTSTATUS VORNpciIoctlOpen(PIRP Irp);
    NTSTATUS VORNpciIoctlGetDriver(PIRP Irp);
    NTSTATUS VORNpciIoctlWaitEvent(PIRP Irp);
    NTSTATUS VORNpciIoctlWaitHeart(PIRP Irp);
    NTSTATUS VORNpciIoctlWaitMatch(PIRP Irp);
    NTSTATUS VORNpciIoctlFlushFifo(PIRP Irp);
    NTSTATUS VORNpciIoctlGetStampedTime(PIRP Irp);

    // Interrupt service routine; the context is the CVORNpci. Device IRQL.
    static BOOLEAN VORNpciIsr(PKINTERRUPT Interrupt, PVOID Context);
    // The device object's own DPC; never requested.
    static VOID VORNpciDpcForIsr(PKDPC Dpc, PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    // Interrupt and time-out DPCs; context = the CVORNpci. DISPATCH_LEVEL.
    static VOID VORNpciDpcForEvent(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
    static VOID VORNpciDpcForHeartbeat(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
    static VOID VORNpciDpcForMatch(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
    static VOID VORNpciWaitDpcForEventTmr(PKDPC Dpc, PVOID Context, PVOID Argument1,
                                          PVOID Argument2);
    static VOID VORNpciWaitDpcForHeartTmr(PKDPC Dpc, PVOID Context, PVOID Argument1,
                                          PVOID Argument2);
    static VOID VORNpciWaitDpcForMatchTmr(PKDPC Dpc, PVOID Context, PVOID Argument1,
                                          PVOID Argument2);
    // Cancel routines of the pending waits; entered holding the cancel spin lock.
    static VOID VORNpciEventCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID VORNpciHeartCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID VORNpciMatchCancelCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    // Runs `Operation` on the board under BoardMutex; with `Fifo` the interrupt service
    // routine keeps off the FIFO meanwhile. Returns the board operation's result.
    template <typename Operation> UCHAR BoardExchange(BOOLEAN Fifo, Operation&& Work);

    // Switches an interrupt source on for good: sets its bit in ControlShadow and writes the
    // shadow to the board in step with the interrupt service routine. PASSIVE_LEVEL.
    VOID WriteControlShadow(UCHAR EnableBit);

    ULONG_PTR PortBase() const { return reinterpret_cast<ULONG_PTR>(PortAddress.MappedAddress); }

    DRVFW_MAPPED_ADDRESS PortAddress;
    DRVFW_INTERRUPT_RESOURCE InterruptResource;
    KTIMER EventTmr;
    KTIMER HeartTmr;
    KTIMER MatchTmr;
    PIRP EventIrp; // wait slots: set under DeviceLock, emptied under DeviceLock
    PIRP HeartIrp;
    PIRP MatchIrp;
    KDPC EventDpc;
    KDPC HeartbeatDpc;
    KDPC MatchDpc;
    KDPC EventTmrDpc;
    KDPC HeartTmrDpc;
    KDPC MatchTmrDpc;
    USHORT SubsystemId;
    UCHAR SlotNumber;
    UCHAR PciConfig[256];
    UCHAR ControlShadow;              // written to the board under BoardMutex
    USHORT LastEvent[FifoFrameBytes]; // read and written under DeviceLock
    // The ring is pushed by the interrupt service routine and popped or emptied only inside a
    // routine synchronised with it (KeSynchronizeExecution), by readers holding DeviceLock.
    USHORT EventRing[VORN_EVENT_RING_WORDS];
    PUSHORT EventRingHead;
    PUSHORT EventRingTail;
    ULONG EventRingFrames; // unread frames, so that a full ring is never taken for empty
    UCHAR EventWaitArmed;  // interlocked: read by the interrupt service routine
    // Serialises the board exchanges of concurrent requests (PASSIVE_LEVEL).
    KMUTEX BoardMutex;
    // Set while a request exchanges bytes with the board's FIFO: the interrupt service routine
    // then leaves the FIFO alone. Changed only in step with the interrupt service routine.
    UCHAR FifoExchangeActive;
    // The event frame being read from the FIFO: its first FrameFill bytes came, the rest have
    // not shown yet (a slow FIFO), and whoever reads the FIFO next goes on with it, so that no
    // later frame is read out of step. AnswerTail: bytes of a query's answer that came too late
    // for it (or of a frame an answer read cut into), dropped by the next reader. The interrupt
    // service routine uses them outside FIFO exchanges, the exchange during one.
    USHORT FrameBytes[FifoFrameBytes];
    UCHAR FrameFill;
    UCHAR AnswerTail;
    // The year of the board as the stamped time request last learnt it, with the day of year
    // and sync state it went with; read and written under BoardMutex. KnownYear 0: not known.
    USHORT KnownYear;
    USHORT KnownYearDay;
    UCHAR KnownYearInSync;
    ULONGLONG KnownYearAt;    // interrupt time when it was learnt
    LONG KnownYearGeneration; // TimeGeneration when it was learnt
    // Counts the requests that may have moved the board's time or year (entries, sync control,
    // firmware reset, raw writes): a year learnt before one of them is learnt again. Interlocked.
    LONG TimeGeneration;

    // Per-kind constants of the three waits.
    struct WaitKind;

private:
    VOID FindAndClaimCard(PCUNICODE_STRING RegistryPath, CardSearch* Search);
    VOID InitializeDeferredCalls();
    VOID ResetEventRing();

    VOID SetFifoExchange(BOOLEAN Active);
    BOOLEAN YearFromCache(const vornpci::StampedTimeObj* Stamped, UCHAR InSyncNow, USHORT* Year);
    UCHAR ReadStampedTimeWithQuery(vornpci::StampedTimeObj* Stamped);

    NTSTATUS StartWait(const WaitKind& Kind, PIRP Irp);
    BOOLEAN TakeEventOrArm(PIRP Irp);
    // Under DeviceLock: takes the kind's slot if its request can be completed by the caller.
    PIRP ClaimSlot(const WaitKind& Kind);
    VOID CompleteWait(PIRP Irp, NTSTATUS Status);
    static VOID TimerExpired(PVOID Context, const WaitKind& Kind);
    static VOID CancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, const WaitKind& Kind);
    VOID DecodeLastEvent(PIRP Irp);

    static BOOLEAN TakeFifoBytes(CVORNpci* Device);
    static BOOLEAN FeedFifoByte(CVORNpci* Device, USHORT Word);
    static VOID KeepFrame(CVORNpci* Device);
    static BOOLEAN KeepFrameSync(PVOID Context);
    static BOOLEAN WriteControlSync(PVOID Context);
    static BOOLEAN InitializeBoardSync(PVOID Context);
    VOID DrainFifo(BOOLEAN Keep);
    VOID InitializeBoardDiscardingOldEvents();
    static VOID KeeperEmptyBeforeQuery(PVOID Context);
    static BOOLEAN KeeperKeepEventFrame(PVOID Context, const USHORT Frame[FifoFrameBytes]);
    static VOID KeeperAnswerTaken(PVOID Context, UCHAR BytesRead);
    static const VORN_FIFO_KEEPER* FifoKeeper();
    static BOOLEAN PopEventSync(PVOID Context);
    static BOOLEAN PopOrArmSync(PVOID Context);
    static BOOLEAN ResetRingSync(PVOID Context);
    static BOOLEAN RingHoldsEventSync(PVOID Context);
    static BOOLEAN FifoExchangeOnSync(PVOID Context);
    static BOOLEAN FifoExchangeOffSync(PVOID Context);
    static BOOLEAN SourcesOffSync(PVOID Context);
    // Runs `Routine` in step with the interrupt service routine, or directly when the interrupt
    // is not connected.
    VOID SynchronizeWithIsr(PKSYNCHRONIZE_ROUTINE Routine);
};

template <typename Operation> UCHAR CVORNpci::BoardExchange(BOOLEAN Fifo, Operation&& Work) {
    KeWaitForSingleObject(&BoardMutex, Executive, KernelMode, FALSE, nullptr);
    if (Fifo)
        SetFifoExchange(TRUE);
    UCHAR result = Work(PortBase());
    if (Fifo)
        SetFifoExchange(FALSE);
    KeReleaseMutex(&BoardMutex, FALSE);
    return result;
}

// Creates a board device for the next card of the search: the device object, its link and the
// constructed CVORNpci. Both out pointers are null on failure. PASSIVE_LEVEL.
NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, DEVICE_TYPE DeviceType,
                      PCUNICODE_STRING RegistryPath, ULONG DeviceIndex, CVORNpci** Device,
                      PDEVICE_OBJECT* DeviceObject, CardSearch* Search, ULONG Characteristics,
                      BOOLEAN Exclusive, ULONG ExtraSize);

// IRP_MJ_DEVICE_CONTROL of the board devices. PASSIVE_LEVEL, caller's thread.
NTSTATUS VORNpciIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The driver's entry routine: finds every board and creates its device; fails with
// STATUS_INSUFFICIENT_RESOURCES when there is none. PASSIVE_LEVEL.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
