// Board operations that only touch registers: start-up, FIFO flush, time read, firmware reset,
// simulated event, synchronization status and raw register access.
#include "board_bcd.h"
#include "board_ops.h"
#include "board_protocol.h"

UCHAR vornInitializeBoard(ULONG_PTR portBase) {
    flushFIFO(portBase);
    vornWriteRegister(portBase, ControlPort, ExtIntrEnable);
    vornClearStaleMatch(portBase);
    return VORN_SUCCESS;
}

UCHAR vornFlushFifo(ULONG_PTR portBase) {
    flushFIFO(portBase);
    return VORN_SUCCESS;
}

UCHAR vornGetTime(ULONG_PTR portBase, vornpci::TimeObj* time) {
    const USHORT microsLow = vornReadRegister(portBase, MicrosLowPort);
    const USHORT microsHigh = vornReadRegister(portBase, MicrosHighPort);
    const USHORT hoursMinutes = vornReadRegister(portBase, HoursMinutesPort);
    const USHORT days = vornReadRegister(portBase, DaysPort);
    time->microsInMinute = vornBcdDigits(microsHigh, 4) * 10000 + vornBcdDigits(microsLow, 4);
    time->minutes = static_cast<UCHAR>(vornBcdByte(hoursMinutes));
    time->hours = static_cast<UCHAR>(vornBcdByte(hoursMinutes >> 8));
    time->dayOfYear = static_cast<USHORT>(vornBcdDigits(days & 0x0FFF, 3));
    return VORN_SUCCESS;
}

// Written straight to the command register: the board restarts and takes no further command
// in the pause a command would get.
UCHAR vornResetFirmware(ULONG_PTR portBase) {
    vornWriteRegister(portBase, CommandPort, CMD_RESET_FIRMWARE);
    return VORN_SUCCESS;
}

UCHAR vornSimEvent(ULONG_PTR portBase) {
    vornWriteRegister(portBase, SimEventPort, SimEventStrobe);
    return VORN_SUCCESS;
}

UCHAR vornSynchStatus(ULONG_PTR portBase, PUCHAR status) {
    *status = (vornReadRegister(portBase, StatusPort) & InSync) ? 1 : 0;
    return VORN_SUCCESS;
}

UCHAR vornPeek(ULONG_PTR portBase, vornpci::MemObj* memory) {
    memory->value = vornReadRegister(portBase, memory->offset);
    return VORN_SUCCESS;
}

UCHAR vornPoke(ULONG_PTR portBase, const vornpci::MemObj* memory) {
    vornWriteRegister(portBase, memory->offset, memory->value);
    return VORN_SUCCESS;
}
