// The time an event time-tag frame carries, decoded into a request's record.
#pragma once

#include "board_registers.h"
#include "ntddk.h"

namespace vornevent {

inline ULONG Bcd(USHORT Word) {
    return ((Word >> 4) & 0x0F) * 10 + (Word & 0x0F);
}

// Bytes 2 to 9 of a frame: day hundreds, day tens and units, hours, minutes, then the eight
// digits of the time within the minute, all BCD. Any record with the four time fields.
template <typename Record> VOID DecodeEventFrame(const USHORT Frame[FifoFrameBytes], Record* Out) {
    Out->dayOfYear = USHORT((Frame[2] & 0x0F) * 100 + Bcd(Frame[3]));
    Out->hours = UCHAR(Bcd(Frame[4]));
    Out->minutes = UCHAR(Bcd(Frame[5]));
    ULONG micros = 0;
    for (ULONG i = 6; i < FifoFrameBytes; ++i)
        micros = micros * 100 + Bcd(Frame[i]);
    Out->microsInMinute = micros;
}

} // namespace vornevent
