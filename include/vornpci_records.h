// Driver-side records that device-control requests carry to and from a timing board: the
// byte layouts the driver reads and writes in a request's buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornpci {

// Time within the minute travels everywhere as microsInMinute: seconds * 1,000,000 +
// microseconds, 0 to 59,999,999.

// Read and set the board time.
struct TimeObj {
    uint8_t loadSelect; // set time: 0 loads with the normal load command, else the alternate
    uint8_t unused1[3];
    uint32_t microsInMinute; // read time only
    uint8_t seconds;         // set time only
    uint8_t minutes;
    uint8_t hours;
    uint8_t unused11;
    uint16_t dayOfYear;
    uint16_t year; // carried for the library; the driver neither reads nor writes it
};

struct DateObj {
    uint16_t year;
    uint8_t month;
    uint8_t day; // day of the month
};

// The board's seven altitude digits as one decimal number.
struct AltObj {
    int32_t altitude;
};

// Latitude or longitude as the board gives them: degrees 0 to 999 (180 and above mean south or
// west), minutes as the six minute digits read as one decimal number.
struct LongLat {
    uint16_t degrees;
    uint8_t unused2[2];
    uint32_t arcMinutes;
};

struct SatObj {
    uint8_t satellites; // 0 to 15
    uint8_t unused1;    // never written
};

struct HeartObj {
    uint8_t startCode; // 0 next cycle, 1 immediately
    uint8_t modeCode;  // 0xE5 pulse, 0xE7 square wave
    uint16_t divider;  // four 4-bit groups, sent to the board as they are
    uint8_t unused4[2];
};

struct MatchObj {
    uint8_t matchType; // 0 start, 1 stop
    uint8_t unused1[3];
    uint32_t microsInMinute;
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
};

// Raw register access: offset from the board's port base and the 16-bit value.
struct MemObj {
    uint16_t offset;
    uint16_t value;
};

// Buffer of the wait-for-event request: the time-out goes in, the event's time comes out.
struct EventWaitRecord {
    uint32_t timeoutMs;
    uint32_t microsInMinute;
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
};

// Every event the board tags has a sequence number: the board's count of tagged events, from 1,
// those lost in its full FIFO included. A gap between two numbers a reader receives is exactly
// the events it lost there.
//
// Buffer of the next-event request. In: the time-out and the last sequence number the caller
// has (0 for none yet). Out: the oldest event the driver still holds after that number, its
// number, and how many events numbered in between the caller will never receive.
struct SequencedEventRecord {
    uint32_t timeoutMs;
    uint32_t microsInMinute;
    uint64_t afterSequence;
    uint64_t sequence;
    uint64_t droppedBefore; // sequence - afterSequence - 1
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
    uint8_t unused36[4];
};

// Reply of the event counters request.
struct EventCountersRecord {
    uint64_t tagged;        // the last sequence number given
    uint64_t fifoOverflows; // of those, lost in the board's full FIFO, as the board reports
    uint64_t ringDrops;     // of those, pushed out of the wait-for-event ring unread
    uint64_t unused24;
};

// Reply to the open request: the first four bytes and the last are left as the caller sent them.
struct OpenReply {
    uint8_t unused0[4];
    uint16_t modelCode; // the card's PCI subsystem id: 0x7000, 0x7100, 0x9070, 0x9072
    uint8_t slotNumber;
    uint8_t unused7;
};

// Reply of the stamped time request: the board's time latched between two readings of the
// system time (100 ns units since 1601-01-01, UTC), nothing else done between them, with the
// year that this day of the board belongs to.
struct StampedTimeObj {
    int64_t systemBefore; // just before the register read that latches the board's time
    int64_t systemAfter;  // just after that read; the other time registers hold the latched
                          // instant and are read after it
    uint32_t microsInMinute;
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
    uint16_t year;
    uint8_t unused26[6];
};

// The driver's version text, with its terminating zero byte.
constexpr char kDriverVersionText[] = "1.300 ";
static_assert(sizeof(kDriverVersionText) == 7);

static_assert(sizeof(TimeObj) == 16);
static_assert(offsetof(TimeObj, loadSelect) == 0);
static_assert(offsetof(TimeObj, microsInMinute) == 4);
static_assert(offsetof(TimeObj, seconds) == 8);
static_assert(offsetof(TimeObj, minutes) == 9);
static_assert(offsetof(TimeObj, hours) == 10);
static_assert(offsetof(TimeObj, dayOfYear) == 12);
static_assert(offsetof(TimeObj, year) == 14);

static_assert(sizeof(DateObj) == 4);
static_assert(offsetof(DateObj, year) == 0);
static_assert(offsetof(DateObj, month) == 2);
static_assert(offsetof(DateObj, day) == 3);

static_assert(sizeof(AltObj) == 4);
static_assert(offsetof(AltObj, altitude) == 0);

static_assert(sizeof(LongLat) == 8);
static_assert(offsetof(LongLat, degrees) == 0);
static_assert(offsetof(LongLat, arcMinutes) == 4);

static_assert(sizeof(SatObj) == 2);
static_assert(offsetof(SatObj, satellites) == 0);

static_assert(sizeof(HeartObj) == 6);
static_assert(offsetof(HeartObj, startCode) == 0);
static_assert(offsetof(HeartObj, modeCode) == 1);
static_assert(offsetof(HeartObj, divider) == 2);

static_assert(sizeof(MatchObj) == 12);
static_assert(offsetof(MatchObj, matchType) == 0);
static_assert(offsetof(MatchObj, microsInMinute) == 4);
static_assert(offsetof(MatchObj, minutes) == 8);
static_assert(offsetof(MatchObj, hours) == 9);
static_assert(offsetof(MatchObj, dayOfYear) == 10);

static_assert(sizeof(MemObj) == 4);
static_assert(offsetof(MemObj, offset) == 0);
static_assert(offsetof(MemObj, value) == 2);

static_assert(sizeof(EventWaitRecord) == 12);
static_assert(offsetof(EventWaitRecord, timeoutMs) == 0);
static_assert(offsetof(EventWaitRecord, microsInMinute) == 4);
static_assert(offsetof(EventWaitRecord, minutes) == 8);
static_assert(offsetof(EventWaitRecord, hours) == 9);
static_assert(offsetof(EventWaitRecord, dayOfYear) == 10);

static_assert(sizeof(StampedTimeObj) == 32);
static_assert(offsetof(StampedTimeObj, systemAfter) == 8);
static_assert(offsetof(StampedTimeObj, microsInMinute) == 16);
static_assert(offsetof(StampedTimeObj, minutes) == 20);
static_assert(offsetof(StampedTimeObj, hours) == 21);
static_assert(offsetof(StampedTimeObj, dayOfYear) == 22);
static_assert(offsetof(StampedTimeObj, year) == 24);

static_assert(sizeof(SequencedEventRecord) == 40);
static_assert(offsetof(SequencedEventRecord, microsInMinute) == 4);
static_assert(offsetof(SequencedEventRecord, afterSequence) == 8);
static_assert(offsetof(SequencedEventRecord, sequence) == 16);
static_assert(offsetof(SequencedEventRecord, droppedBefore) == 24);
static_assert(offsetof(SequencedEventRecord, minutes) == 32);
static_assert(offsetof(SequencedEventRecord, hours) == 33);
static_assert(offsetof(SequencedEventRecord, dayOfYear) == 34);

static_assert(sizeof(EventCountersRecord) == 32);
static_assert(offsetof(EventCountersRecord, fifoOverflows) == 8);
static_assert(offsetof(EventCountersRecord, ringDrops) == 16);

static_assert(sizeof(OpenReply) == 8);
static_assert(offsetof(OpenReply, modelCode) == 4);
static_assert(offsetof(OpenReply, slotNumber) == 6);

} // namespace vornpci
