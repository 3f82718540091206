// Protocol primitives of the timing board: register access, the byte FIFO, command bytes and
// digit entries, the event-interrupt switches and the query exchange.
#pragma once

#include "board_registers.h"
#include "board_results.h"
#include "ntddk.h"

// How long a FIFO read waits for the board to put a byte in the FIFO. The first status polls
// follow each other at once (an answering board is that quick); after them the reader polls
// once per pause, so that a slow board costs no processor time, until the answer bound in
// board time has passed. Above APC_LEVEL (where sleeping is not allowed) only a bounded number
// of back-to-back polls is made.
constexpr ULONG VORN_FIFO_SPIN_POLLS = 64;
constexpr LONGLONG VORN_FIFO_POLL_INTERVAL = 1000;       // 100 us, in 100 ns units
constexpr LONGLONG VORN_FIFO_ANSWER_BOUND = 100 * 10000; // 100 ms, in 100 ns units
constexpr ULONG VORN_FIFO_RAISED_POLLS = 100000;

// A FIFO that never reports empty (a board stuck mid-burst) stops a flush after this many
// bytes; the FIFO may then still hold bytes.
constexpr ULONG VORN_FIFO_FLUSH_LIMIT = 65536;

// Pause after each command byte sent with sendCmd: 100 us, relative, in 100 ns units.
constexpr LONGLONG VORN_COMMAND_PAUSE = -1000;

// 16-bit register access at port base + offset. IRQL: any.
inline USHORT vornReadRegister(ULONG_PTR portBase, ULONG offset) {
    return READ_PORT_USHORT(reinterpret_cast<PUSHORT>(portBase + offset));
}
inline VOID vornWriteRegister(ULONG_PTR portBase, ULONG offset, USHORT value) {
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(portBase + offset), value);
}

// Acknowledges a pending match interrupt, which would otherwise fire as soon as matches are
// enabled again. IRQL: any.
inline VOID vornClearStaleMatch(ULONG_PTR portBase) {
    if (vornReadRegister(portBase, StatusPort) & MatchIntr)
        vornWriteRegister(portBase, IntAckPort, IntAckMatch);
}

// Reads and drops FIFO bytes until the board reports the FIFO empty (or the flush limit is
// reached). Returns VORN_SUCCESS. IRQL: any.
UCHAR flushFIFO(ULONG_PTR portBase);

// Reads `count` FIFO bytes into `count` consecutive words, one byte (0 to 255) per word, each
// once the board shows a byte waiting. Returns VORN_SUCCESS, or VORN_NO_ANSWER when a byte did
// not come within the answer bound (the words read so far are stored, the rest untouched).
// IRQL: any; it sleeps between polls only at or below APC_LEVEL.
UCHAR readFIFO(ULONG_PTR portBase, PUSHORT words, UCHAR count);

// Writes one command byte to the board, then pauses 100 us. IRQL: PASSIVE_LEVEL.
VOID sendCmd(ULONG_PTR portBase, UCHAR command);

// Digit senders: send the leading digits of a field of ASCII decimal digits as digit-entry
// commands, most significant first (3, 2, 2, 2, 8 and 4 digits). A text stops early at its
// terminating zero. sendMatchSecs switches to the sub-second bank after the two seconds
// digits. IRQL: PASSIVE_LEVEL.
VOID sendDays(ULONG_PTR portBase, const CHAR* text);
VOID sendHours(ULONG_PTR portBase, const CHAR* text);
VOID sendMinutes(ULONG_PTR portBase, const CHAR* text);
VOID sendSeconds(ULONG_PTR portBase, const CHAR* text);
VOID sendMatchSecs(ULONG_PTR portBase, const CHAR* text);
VOID sendProp(ULONG_PTR portBase, const CHAR* text);

// Switch the event interrupt off and on: the status word is written back to the control
// register with ExtIntrEnable cleared or set. IRQL: any.
VOID DIS_EXT_INTR(ULONG_PTR portBase);
VOID ENB_EXT_INTR(ULONG_PTR portBase);

// One query exchange: event interrupt off, FIFO emptied, the query byte sent (with the command
// pause, or written straight when `pause` is FALSE), the ten answer bytes read, event interrupt
// on. Returns VORN_SUCCESS with the frame in `frame`, VORN_BAD_ECHO when the first two bytes
// are not the query byte, or VORN_NO_ANSWER. The event interrupt is on afterwards in every
// case. IRQL: PASSIVE_LEVEL.
UCHAR vornQueryExchange(ULONG_PTR portBase, UCHAR query, BOOLEAN pause,
                        USHORT frame[FifoFrameBytes]);
