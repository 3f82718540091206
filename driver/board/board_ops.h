// Board operations: one routine per board function, each on the request's own record.
#pragma once

#include "board_results.h"
#include "ntddk.h"
#include "vornpci_records.h"

// Every operation takes the port base first and returns VORN_SUCCESS or one of the failures
// of board_results.h. Queries (date, altitude, latitude, longitude, satellites, firmware) can
// answer VORN_BAD_ECHO or VORN_NO_ANSWER, and then leave the record as it was. Entries refuse
// values outside the board's ranges (which the board would throw away without a word) with
// VORN_REFUSED before anything reaches the board. Entries and queries sleep: IRQL
// PASSIVE_LEVEL. vornGetTime,
// vornSynchStatus, vornPeek and vornPoke only touch registers: IRQL any.

// Start-up: FIFO emptied, event interrupt on, heartbeat and match off, stale match cleared.
UCHAR vornInitializeBoard(ULONG_PTR portBase);
UCHAR vornFlushFifo(ULONG_PTR portBase);

UCHAR vornGetTime(ULONG_PTR portBase, vornpci::TimeObj* time);
// The time registers read as vornGetTime reads them; the read that latches them lies between
// two readings of the system time, with nothing else between them, and the registers it has
// latched are read after the second. The year is not touched.
UCHAR vornGetStampedTime(ULONG_PTR portBase, vornpci::StampedTimeObj* stamped);
// Day of year 1 to 366, hours 0 to 23, minutes and seconds 0 to 59; the sub-second part
// cannot be set. Day 366 needs a leap year on the board: its date is queried first (a FIFO
// exchange, which can also fail as a query does).
UCHAR vornSetTime(ULONG_PTR portBase, const vornpci::TimeObj* time);
// Year 1 to 9999.
UCHAR vornSetYear(ULONG_PTR portBase, const USHORT* year);

UCHAR vornGetDate(ULONG_PTR portBase, vornpci::DateObj* date);
UCHAR vornGetAltitude(ULONG_PTR portBase, vornpci::AltObj* altitude);
UCHAR vornGetLatitude(ULONG_PTR portBase, vornpci::LongLat* latitude);
UCHAR vornGetLongitude(ULONG_PTR portBase, vornpci::LongLat* longitude);
UCHAR vornGetSatInfo(ULONG_PTR portBase, vornpci::SatObj* satellites);
// Four raw version bytes.
UCHAR vornGetFirmware(ULONG_PTR portBase, PUCHAR version);
UCHAR vornResetFirmware(ULONG_PTR portBase);

// Start code 0 or 1, mode code 0xE5 or 0xE7; the divider's four groups go as they are.
UCHAR vornSetHeartbeat(ULONG_PTR portBase, const vornpci::HeartObj* heartbeat);
// Type 0 or 1, day of year 1 to 366, hours 0 to 23, minutes 0 to 59, microsInMinute below
// 60,000,000.
UCHAR vornSetMatchTime(ULONG_PTR portBase, const vornpci::MatchObj* match);
// Signed microseconds, -5000 to 4999; negative values go to the board in ten's complement.
UCHAR vornSetPropDelayCorr(ULONG_PTR portBase, const LONG* delay);
UCHAR vornSimEvent(ULONG_PTR portBase);

// 1 synchronizes to the reference and becomes 0xEE; anything else freewheels and becomes 0xFF.
UCHAR vornSynchControl(ULONG_PTR portBase, PUCHAR control);
// 1 while the board is synchronized, else 0.
UCHAR vornSynchStatus(ULONG_PTR portBase, PUCHAR status);

UCHAR vornPeek(ULONG_PTR portBase, vornpci::MemObj* memory);
UCHAR vornPoke(ULONG_PTR portBase, const vornpci::MemObj* memory);
