// The board device's side of a FIFO exchange: the drain that moves event frames out of the way
// of a request, the keeper that query exchanges call, and the start-up that drops old events.
#include "board_ops.h"
#include "board_protocol.h"
#include "vornpci_device.h"

namespace {

// Bytes a drain takes out of the FIFO at most: more than the FIFO holds.
constexpr ULONG kDrainBytes = 128 * FifoFrameBytes;

CVORNpci* DeviceOf(PVOID Context) {
    return static_cast<CVORNpci*>(Context);
}

} // namespace

// Reads the FIFO empty, frame by frame, going on with a frame or late answer already begun.
// Complete event frames go to the ring when `Keep` is set, and are dropped otherwise.
// PASSIVE_LEVEL, holding BoardMutex, with the exchange marked active (the interrupt service
// routine keeps off the FIFO and the frame state meanwhile).
VOID CVORNpci::DrainFifo(BOOLEAN Keep) {
    const ULONG_PTR port = PortBase();
    for (ULONG bytes = 0; bytes < kDrainBytes; ++bytes) {
        // A byte owed to what has begun is waited for as an answer byte is; a new frame is
        // taken only when it shows at once.
        const BOOLEAN owed = FrameFill != 0 || AnswerTail != 0;
        if (!owed && !vornFifoByteShows(port))
            return;
        if (!owed)
            BeginFrame(this);
        USHORT word = 0;
        if (readFIFO(port, &word, 1) != VORN_SUCCESS)
            return;
        if (FeedFifoByte(this, word) && Keep)
            SynchronizeWithIsr(KeepFrameSync);
    }
}

VOID CVORNpci::KeeperEmptyBeforeQuery(PVOID Context) {
    DeviceOf(Context)->DrainFifo(TRUE);
}

// A frame read in the answer's place: an event that a slow FIFO hid from the drain.
BOOLEAN CVORNpci::KeeperKeepEventFrame(PVOID Context, const USHORT Frame[FifoFrameBytes]) {
    CVORNpci* device = DeviceOf(Context);
    if (device->FrameFill != 0 || device->AnswerTail != 0 || !vornIsEventFrame(Frame))
        return FALSE;
    RtlCopyMemory(device->FrameBytes, Frame, sizeof(device->FrameBytes));
    device->SynchronizeWithIsr(KeepFrameSync);
    return TRUE;
}

// The answer read began where the drain before it stopped: after the bytes still owed to a
// frame or late answer that a slow FIFO held back even from the drain's longer wait. Those came
// first, the answer after them; what is left of the answer is owed now, and a frame begun
// before is lost with the bytes the answer read took from it. An answer that did not begin at
// all owes nothing: if it comes, its echo bytes keep it out of the ring.
VOID CVORNpci::KeeperAnswerTaken(PVOID Context, UCHAR BytesRead) {
    CVORNpci* device = DeviceOf(Context);
    ULONG owed = device->AnswerTail;
    if (owed == 0 && device->FrameFill != 0)
        owed = FifoFrameBytes - device->FrameFill;
    device->FrameFill = 0;
    if (BytesRead <= owed)
        device->AnswerTail = UCHAR(owed - BytesRead);
    else
        device->AnswerTail = UCHAR((FifoFrameBytes - (BytesRead - owed)) % FifoFrameBytes);
}

const VORN_FIFO_KEEPER* CVORNpci::FifoKeeper() {
    static const VORN_FIFO_KEEPER keeper{KeeperEmptyBeforeQuery, KeeperKeepEventFrame,
                                         KeeperAnswerTaken};
    return &keeper;
}

BOOLEAN CVORNpci::InitializeBoardSync(PVOID Context) {
    CVORNpci* device = DeviceOf(Context);
    vornInitializeBoard(device->PortBase());
    device->FrameFill = 0;
    device->AnswerTail = 0;
    ResetLostCountSync(device);
    return TRUE;
}

// Start-up: time tags the board took before the driver started are not new events; they are
// dropped, not moved to the ring. PASSIVE_LEVEL.
VOID CVORNpci::InitializeBoardDiscardingOldEvents() {
    KeWaitForSingleObject(&BoardMutex, Executive, KernelMode, FALSE, nullptr);
    SynchronizeWithIsr(FifoExchangeOnSync);
    DrainFifo(FALSE);
    SynchronizeWithIsr(InitializeBoardSync);
    SynchronizeWithIsr(FifoExchangeOffSync);
    KeReleaseMutex(&BoardMutex, FALSE);
}
