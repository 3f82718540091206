// Protocol primitives of the timing board: FIFO reads with a bounded wait, command bytes with
// their pause, digit entries and the query exchange.
#include "board_protocol.h"

namespace {

BOOLEAN fifoHoldsByte(ULONG_PTR portBase) {
    return (vornReadRegister(portBase, StatusPort) & FifoEmpty) == 0;
}

// Above APC_LEVEL nothing may sleep, so the wait is a bounded number of back-to-back polls.
BOOLEAN spinForFifoByte(ULONG_PTR portBase, ULONG polls) {
    for (ULONG poll = 0; poll < polls; ++poll) {
        if (fifoHoldsByte(portBase))
            return TRUE;
    }
    return FALSE;
}

// Polls spaced by a pause until a byte is there or the answer bound in board time has passed.
// The pause advances a virtual clock by itself, so the bound is reached without real waiting.
// The count of polls is capped as well, so that a pause which returns early cannot stretch
// the wait without end.
BOOLEAN pollForFifoByte(ULONG_PTR portBase) {
    const ULONGLONG deadline = KeQueryInterruptTime() + VORN_FIFO_ANSWER_BOUND;
    const LONGLONG maxPolls = VORN_FIFO_ANSWER_BOUND / VORN_FIFO_POLL_INTERVAL;
    for (LONGLONG poll = 0; poll < maxPolls; ++poll) {
        LARGE_INTEGER interval;
        interval.QuadPart = -VORN_FIFO_POLL_INTERVAL;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        if (fifoHoldsByte(portBase))
            return TRUE;
        if (KeQueryInterruptTime() >= deadline)
            return FALSE;
    }
    return FALSE;
}

BOOLEAN waitForFifoByte(ULONG_PTR portBase) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        return spinForFifoByte(portBase, VORN_FIFO_RAISED_POLLS);
    if (spinForFifoByte(portBase, VORN_FIFO_SPIN_POLLS))
        return TRUE;
    return pollForFifoByte(portBase);
}

// Reads up to `count` bytes; `*read` tells how many came before a wait gave up.
UCHAR readFifoCounting(ULONG_PTR portBase, PUSHORT words, UCHAR count, UCHAR* read) {
    for (*read = 0; *read < count; ++*read) {
        if (!waitForFifoByte(portBase))
            return VORN_NO_ANSWER;
        words[*read] = vornReadRegister(portBase, DataPort) & 0xFF;
    }
    return VORN_SUCCESS;
}

// Function commands (queries among them) are the bytes under the high nibbles 0x4 and 0x5 with
// a low nibble of 0xC to 0xF, and those under 0xE and 0xF; digit entries never look like them.
BOOLEAN isFunctionCommand(USHORT byte) {
    const USHORT high = (byte >> 4) & 0x0F;
    const USHORT low = byte & 0x0F;
    return high >= 0x0E || ((high == 0x04 || high == 0x05) && low >= 0x0C);
}

BOOLEAN decimalByte(USHORT byte) {
    return (byte & 0x0F) <= 9 && ((byte >> 4) & 0x0F) <= 9;
}

ULONG bcd(USHORT byte) {
    return ((byte >> 4) & 0x0F) * 10 + (byte & 0x0F);
}

// Port bases of the board devices and their keepers; a machine holds at most 32 cards.
struct KeeperEntry {
    ULONG_PTR portBase;
    const VORN_FIFO_KEEPER* keeper;
    PVOID context;
};
constexpr ULONG kKeeperSlots = 32;
KeeperEntry g_keepers[kKeeperSlots];
KSPIN_LOCK g_keepersLock;

KeeperEntry findKeeper(ULONG_PTR portBase) {
    KeeperEntry found{};
    const KIRQL irql = KfAcquireSpinLock(&g_keepersLock);
    for (const KeeperEntry& entry : g_keepers)
        if (entry.keeper != nullptr && entry.portBase == portBase)
            found = entry;
    KfReleaseSpinLock(&g_keepersLock, irql);
    return found;
}

// Reads the answer; event frames ahead of it go to the keeper. A FIFO that keeps yielding
// event frames ends the exchange after more frames than it can hold.
UCHAR readAnswer(ULONG_PTR portBase, UCHAR query, const KeeperEntry& keeper,
                 USHORT frame[FifoFrameBytes]) {
    constexpr ULONG kFramesAhead = 128;
    UCHAR result = VORN_BAD_ECHO;
    UCHAR read = 0;
    for (ULONG attempt = 0; attempt < kFramesAhead; ++attempt) {
        if (readFifoCounting(portBase, frame, FifoFrameBytes, &read) != VORN_SUCCESS) {
            result = VORN_NO_ANSWER;
            break;
        }
        if (frame[0] == query && frame[1] == query) {
            result = VORN_SUCCESS;
            break;
        }
        if (keeper.keeper == nullptr || !keeper.keeper->KeepEventFrame(keeper.context, frame))
            break;
    }
    if (keeper.keeper != nullptr)
        keeper.keeper->AnswerTaken(keeper.context, read);
    return result;
}

VOID sendDigits(ULONG_PTR portBase, const CHAR* text, const UCHAR* positions, ULONG count) {
    for (ULONG i = 0; i < count && text[i] != '\0'; ++i)
        sendCmd(portBase, static_cast<UCHAR>(positions[i] | (text[i] - '0')));
}

} // namespace

UCHAR flushFIFO(ULONG_PTR portBase) {
    for (ULONG dropped = 0; dropped < VORN_FIFO_FLUSH_LIMIT && fifoHoldsByte(portBase); ++dropped)
        vornReadRegister(portBase, DataPort);
    return VORN_SUCCESS;
}

UCHAR readFIFO(ULONG_PTR portBase, PUSHORT words, UCHAR count) {
    UCHAR read = 0;
    return readFifoCounting(portBase, words, count, &read);
}

BOOLEAN vornFifoByteShows(ULONG_PTR portBase) {
    return spinForFifoByte(portBase, VORN_FIFO_RAISED_POLLS);
}

BOOLEAN vornIsEventFrame(const USHORT frame[FifoFrameBytes]) {
    if (isFunctionCommand(frame[0]) || isFunctionCommand(frame[1]))
        return FALSE;
    if ((frame[2] & 0x0F) > 9)
        return FALSE;
    for (ULONG i = 3; i < FifoFrameBytes; ++i)
        if (!decimalByte(frame[i]))
            return FALSE;
    const ULONG day = (frame[2] & 0x0F) * 100 + bcd(frame[3]);
    return day >= 1 && day <= 366 && bcd(frame[4]) < 24 && bcd(frame[5]) < 60 && bcd(frame[6]) < 60;
}

BOOLEAN vornRegisterFifoKeeper(ULONG_PTR portBase, const VORN_FIFO_KEEPER* keeper, PVOID context) {
    KeeperEntry* slot = nullptr;
    const KIRQL irql = KfAcquireSpinLock(&g_keepersLock);
    for (KeeperEntry& entry : g_keepers) {
        // A board at this port base now is this one, whoever registered it before.
        if (entry.keeper != nullptr && entry.portBase == portBase)
            slot = &entry;
        else if (entry.keeper == nullptr && slot == nullptr)
            slot = &entry;
    }
    if (slot != nullptr)
        *slot = {portBase, keeper, context};
    KfReleaseSpinLock(&g_keepersLock, irql);
    return slot != nullptr;
}

VOID vornWithdrawFifoKeeper(ULONG_PTR portBase, PVOID context) {
    const KIRQL irql = KfAcquireSpinLock(&g_keepersLock);
    for (KeeperEntry& entry : g_keepers)
        if (entry.keeper != nullptr && entry.portBase == portBase && entry.context == context)
            entry = {};
    KfReleaseSpinLock(&g_keepersLock, irql);
}

VOID sendCmd(ULONG_PTR portBase, UCHAR command) {
    vornWriteRegister(portBase, CommandPort, command);
    LARGE_INTEGER interval;
    interval.QuadPart = VORN_COMMAND_PAUSE;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID sendDays(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_DAYS, 3);
}

VOID sendHours(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_HOURS, 2);
}

VOID sendMinutes(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_MINUTES, 2);
}

VOID sendSeconds(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_SECONDS, 2);
}

VOID sendMatchSecs(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_SECONDS, 2);
    if (strnlen(text, 3) < 3)
        return;
    sendCmd(portBase, CMD_SUBSECOND_BANK);
    sendDigits(portBase, text + 2, POS_SUBSECONDS, 6);
}

VOID sendProp(ULONG_PTR portBase, const CHAR* text) {
    sendDigits(portBase, text, POS_PROP, 4);
}

VOID DIS_EXT_INTR(ULONG_PTR portBase) {
    const USHORT status = vornReadRegister(portBase, StatusPort);
    vornWriteRegister(portBase, ControlPort, static_cast<USHORT>(status & ~ExtIntrEnable));
}

VOID ENB_EXT_INTR(ULONG_PTR portBase) {
    const USHORT status = vornReadRegister(portBase, StatusPort);
    vornWriteRegister(portBase, ControlPort, static_cast<USHORT>(status | ExtIntrEnable));
}

UCHAR vornQueryExchange(ULONG_PTR portBase, UCHAR query, BOOLEAN pause,
                        USHORT frame[FifoFrameBytes]) {
    const KeeperEntry keeper = findKeeper(portBase);
    DIS_EXT_INTR(portBase);
    if (keeper.keeper != nullptr)
        keeper.keeper->EmptyBeforeQuery(keeper.context);
    else
        flushFIFO(portBase);
    if (pause)
        sendCmd(portBase, query);
    else
        vornWriteRegister(portBase, CommandPort, query);
    const UCHAR result = readAnswer(portBase, query, keeper, frame);
    ENB_EXT_INTR(portBase);
    return result;
}
