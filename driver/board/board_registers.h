// The timing board's register window, status and control bits, and command-byte code.
#pragma once

#include "ntddk.h"

// Register offsets from the port base; every access is 16 bits wide. Reads and writes of one
// offset reach different registers.
constexpr ULONG DataPort = 0x00;         // read: next FIFO byte in the low 8 bits
constexpr ULONG ControlPort = 0x00;      // write: interrupt enables
constexpr ULONG StatusPort = 0x02;       // read: status word
constexpr ULONG CommandPort = 0x02;      // write: one command byte, zero-extended
constexpr ULONG DaysPort = 0x08;         // read: day of year, 3 BCD digits in bits 11..0
constexpr ULONG HoursMinutesPort = 0x0A; // read: hours (high byte), minutes (low byte), BCD
constexpr ULONG MicrosHighPort = 0x0C;   // read: upper 4 BCD digits of the time in the minute
constexpr ULONG MicrosLowPort = 0x0E;    // read: lower 4 BCD digits of the time in the minute
constexpr ULONG IntAckPort = 0x10;       // write: acknowledge heartbeat or match interrupt
constexpr ULONG SimEventPort = 0x12;     // write: strobe a simulated event
// read: the event time tags the full FIFO refused, a free-running 32-bit count as it stood when
// the frame of the FIFO's next byte went in (the count now with the FIFO empty). Reading the
// low half latches the high half. The difference of the readings at two frames is the tags
// lost between them.
constexpr ULONG LostEventsLowPort = 0x14;
constexpr ULONG LostEventsHighPort = 0x16;

// StatusPort bits.
constexpr USHORT FifoEmpty = 0x01;
constexpr USHORT InSync = 0x04;
constexpr USHORT MatchIntr = 0x08;
constexpr USHORT HeartIntr = 0x10;

// ControlPort bits.
constexpr USHORT ExtIntrEnable = 0x80;
constexpr USHORT MatchIntrEnable = 0x40;
constexpr USHORT HeartIntrEnable = 0x20;

// IntAckPort values.
constexpr USHORT IntAckHeart = 0x10;
constexpr USHORT IntAckMatch = 0x08;

// SimEventPort strobe value.
constexpr USHORT SimEventStrobe = 0xFF;

// Every FIFO frame, query answer or event time tag, is ten bytes.
constexpr UCHAR FifoFrameBytes = 10;

// Function commands.
constexpr UCHAR CMD_ENTRY_BEGIN = 0xF0;
constexpr UCHAR CMD_ENTRY_LOAD = 0xE0;
constexpr UCHAR CMD_ENTRY_LOAD_ALT = 0x4C;
constexpr UCHAR CMD_SUBSECOND_BANK = 0xE1;
constexpr UCHAR CMD_MATCH_START = 0xE2;
constexpr UCHAR CMD_MATCH_STOP = 0xE3;
constexpr UCHAR CMD_HEART_PULSE = 0xE5; // heartbeat load base codes; + 1 starts at once
constexpr UCHAR CMD_HEART_SQUARE = 0xE7;
constexpr UCHAR CMD_GET_FIRMWARE = 0xE9;
constexpr UCHAR CMD_LOAD_YEAR = 0xEA;
constexpr UCHAR CMD_SYNCHRONIZE = 0x4D;
constexpr UCHAR CMD_FREEWHEEL = 0x4E;
constexpr UCHAR CMD_RESET_FIRMWARE = 0x4F;
constexpr UCHAR CMD_GET_SATINFO = 0x5C;
constexpr UCHAR CMD_GET_DATE = 0x5D;
constexpr UCHAR CMD_GET_LONGITUDE = 0x5E;
constexpr UCHAR CMD_GET_LATITUDE = 0x5F;

// Digit-entry position codes (high nibble; the digit goes in the low nibble), most significant
// digit first.
constexpr UCHAR POS_DAYS[3] = {0x50, 0x60, 0x70};
constexpr UCHAR POS_HOURS[2] = {0x80, 0x90};
constexpr UCHAR POS_MINUTES[2] = {0xA0, 0xB0};
constexpr UCHAR POS_SECONDS[2] = {0xC0, 0xD0};
constexpr UCHAR POS_SUBSECONDS[6] = {0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
constexpr UCHAR POS_PROP[4] = {0x30, 0x20, 0x10, 0x00};
constexpr UCHAR POS_YEAR[4] = {0x60, 0x70, 0x80, 0x90};
constexpr UCHAR POS_DIVIDER[4] = {0xA0, 0xB0, 0xC0, 0xD0};
