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
    for (UCHAR i = 0; i < count; ++i) {
        if (!waitForFifoByte(portBase))
            return VORN_NO_ANSWER;
        words[i] = vornReadRegister(portBase, DataPort) & 0xFF;
    }
    return VORN_SUCCESS;
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
    DIS_EXT_INTR(portBase);
    flushFIFO(portBase);
    if (pause)
        sendCmd(portBase, query);
    else
        vornWriteRegister(portBase, CommandPort, query);
    const UCHAR read = readFIFO(portBase, frame, FifoFrameBytes);
    ENB_EXT_INTR(portBase);
    if (read != VORN_SUCCESS)
        return read;
    if (frame[0] != query || frame[1] != query)
        return VORN_BAD_ECHO;
    return VORN_SUCCESS;
}
