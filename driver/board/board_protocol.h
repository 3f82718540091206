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
// A board shows a byte it holds within a few status reads (at about a microsecond a port
// read, tens of microseconds at most): the bound of every wait made at device IRQL, where a
// longer spin would hold the processor and the board's line.
constexpr ULONG VORN_FIFO_RAISED_POLLS = 32;

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

// TRUE when a byte shows within VORN_FIFO_RAISED_POLLS status reads. IRQL: any.
BOOLEAN vornFifoByteShows(ULONG_PTR portBase);

// TRUE when a ten-byte frame can be an event time tag: not a query's answer (an echo byte, a
// function command, in either of its first two bytes), every digit decimal, and day 1 to 366,
// hours below 24, minutes and seconds below 60. IRQL: any.
BOOLEAN vornIsEventFrame(const USHORT frame[FifoFrameBytes]);

// What a board device does with its FIFO around a query, registered for its port base, so
// that the query loses no event time tag and no answer is ever taken for an event.
struct VORN_FIFO_KEEPER {
    // Instead of the flush before the query: complete event frames go to the device's ring,
    // everything else is dropped.
    VOID (*EmptyBeforeQuery)(PVOID Context);
    // A frame read where the answer should be, without its echo: TRUE when it is an event
    // frame, which the device has now kept; the answer is then read again.
    BOOLEAN (*KeepEventFrame)(PVOID Context, const USHORT Frame[FifoFrameBytes]);
    // The last read in the answer's place took `BytesRead` bytes (ten, or fewer when the
    // answer stopped): what is left of the answer is dropped before anything else reads the
    // FIFO, so that the next reader starts on a frame.
    VOID (*AnswerTaken)(PVOID Context, UCHAR BytesRead);
};

// A board device registers its keeper at start-up, in place of any keeper registered for its
// port base before, and withdraws it before its window goes. Query exchanges on a port base
// without a keeper flush the FIFO. IRQL: PASSIVE_LEVEL.
BOOLEAN vornRegisterFifoKeeper(ULONG_PTR portBase, const VORN_FIFO_KEEPER* keeper, PVOID context);
VOID vornWithdrawFifoKeeper(ULONG_PTR portBase, PVOID context);

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

// One query exchange: event interrupt off, FIFO emptied (through the port's keeper, which
// keeps its event frames), the query byte sent (with the command pause, or written straight
// when `pause` is FALSE), the ten answer bytes read (event frames found in their place go to
// the keeper, and the answer is read again), event interrupt on. Returns VORN_SUCCESS with the
// frame in `frame`, VORN_BAD_ECHO when the first two bytes are not the query byte, or
// VORN_NO_ANSWER (the keeper then drops the rest of the answer when it comes). The event
// interrupt is on afterwards in every case. IRQL: PASSIVE_LEVEL.
UCHAR vornQueryExchange(ULONG_PTR portBase, UCHAR query, BOOLEAN pause,
                        USHORT frame[FifoFrameBytes]);
