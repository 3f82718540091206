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

namespace {

// The four time registers: reading the low microseconds latches the others until the days are
// read, so the four give one instant.
struct TimeRegisters {
    USHORT microsLow;
    USHORT microsHigh;
    USHORT hoursMinutes;
    USHORT days;
};

// The registers that the low microseconds' read has latched.
inline VOID readLatchedRegisters(ULONG_PTR portBase, TimeRegisters* registers) {
    registers->microsHigh = vornReadRegister(portBase, MicrosHighPort);
    registers->hoursMinutes = vornReadRegister(portBase, HoursMinutesPort);
    registers->days = vornReadRegister(portBase, DaysPort);
}

inline VOID readTimeRegisters(ULONG_PTR portBase, TimeRegisters* registers) {
    registers->microsLow = vornReadRegister(portBase, MicrosLowPort);
    readLatchedRegisters(portBase, registers);
}

template <typename Record> VOID decodeTime(const TimeRegisters& registers, Record* time) {
    time->microsInMinute =
        vornBcdDigits(registers.microsHigh, 4) * 10000 + vornBcdDigits(registers.microsLow, 4);
    time->minutes = static_cast<UCHAR>(vornBcdByte(registers.hoursMinutes));
    time->hours = static_cast<UCHAR>(vornBcdByte(registers.hoursMinutes >> 8));
    time->dayOfYear = static_cast<USHORT>(vornBcdDigits(registers.days & 0x0FFF, 3));
}

} // namespace

UCHAR vornGetTime(ULONG_PTR portBase, vornpci::TimeObj* time) {
    TimeRegisters registers;
    readTimeRegisters(portBase, &registers);
    decodeTime(registers, time);
    return VORN_SUCCESS;
}

UCHAR vornGetStampedTime(ULONG_PTR portBase, vornpci::StampedTimeObj* stamped) {
    TimeRegisters registers;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    KeQuerySystemTime(&before);
    registers.microsLow = vornReadRegister(portBase, MicrosLowPort);
    KeQuerySystemTime(&after);
    readLatchedRegisters(portBase, &registers);
    stamped->systemBefore = before.QuadPart;
    stamped->systemAfter = after.QuadPart;
    decodeTime(registers, stamped);
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
