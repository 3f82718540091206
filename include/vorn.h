/* The board access library: the calls and records through which programs read and set a
 * timing board, with C linkage so that programs in any language can link it at load time. */
#pragma once

#include <stdint.h>
#include <time.h>

/* Marks the library's calls: the shared library exports the functions declared with it and
 * keeps every other symbol to itself. */
#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. Every call returns 0 for success or one of these. */
enum {
    VORN_OK = 0,
    /* The handle is null, was never given by VORN_open, or has been closed. */
    VORN_ERR_HANDLE = 1,
    /* A required pointer (record, buffer, device name, handle store) is null. */
    VORN_ERR_ARGUMENT = 2,
    /* A value the board cannot take: a field out of range, seconds negative or 60 and above,
     * a heartbeat frequency no divider produces, a propagation delay outside -5000..4999 us,
     * a heartbeat start or mode code that does not exist. Nothing was sent to the board. */
    VORN_ERR_RANGE = 3,
    /* VORN_open: no device of that name. Any call on a handle: the vornhost daemon was
     * restarted and no longer has the handle's board (see VORN_open). */
    VORN_ERR_NO_DEVICE = 4,
    /* VORN_open: the device is open elsewhere without sharing, or access was refused. */
    VORN_ERR_BUSY = 5,
    /* No driver host could be reached or started, or the connection to it was lost and no
     * daemon answers again yet. */
    VORN_ERR_HOST = 6,
    /* The driver refused the request or the board did not answer it properly (a query answered
     * with a bad echo, a request the driver does not know). */
    VORN_ERR_DEVICE = 7,
    /* The request was cancelled before it completed (the handle was closed meanwhile). */
    VORN_ERR_CANCELLED = 8,
    /* The waits: no interrupt came within the time-out. */
    VORN_WAIT_TIMEOUT = 13,
    /* The waits: the wait could not be started (any failure other than the time-out, including
     * a bad handle, a null pointer, and a wait of the same kind already pending on the board). */
    VORN_WAIT_NOT_STARTED = 14
};

/* The record behind a handle. Callers read only modelCode; the rest belongs to the library. */
typedef struct BoardRecord {
    uint32_t libraryWord; /* the library's own: a tag that marks a live record */
    uint16_t modelCode;   /* the card's model: 0x7000, 0x7100, 0x9070 or 0x9072 */
    uint8_t slotNumber;   /* PCI slot of the card */
    uint8_t reserved;
} BoardRecord;

typedef BoardRecord* BoardHandle;

/* Board time. VORN_getTime fills seconds (with the fraction, from the board's microseconds),
 * wholeSeconds (the same truncated), minutes, hours and dayOfYear; year is left as passed.
 * VORN_setTime sends wholeSeconds (0..59), minutes (0..59), hours (0..23) and dayOfYear
 * (1..366; 366 only in a leap year of the board); seconds and year are not read, since the board
 * takes no sub-second part in a time entry and its year is set with VORN_setYear. */
typedef struct TimeObj {
    double seconds;
    uint8_t wholeSeconds;
    uint8_t minutes;
    uint8_t hours;
    uint8_t reserved;
    uint16_t dayOfYear;
    uint16_t year;
} TimeObj;

typedef struct DateObj {
    uint16_t year;
    uint8_t month;
    uint8_t day; /* day of the month */
} DateObj;

/* Altitude in metres: the board's seven altitude digits count decimetres (0 to 999,999.9 m). */
typedef struct AltObj {
    float meters;
} AltObj;

/* Latitude or longitude. degrees as the board gives them: below 180 north or east, 180 and
 * above south or west of (degrees - 180). minutes of arc: the board's six minute digits count
 * ten-thousandths of a minute (0 to 99.9999). */
typedef struct LongLat {
    uint16_t degrees;
    uint16_t reserved;
    float minutes;
} LongLat;

typedef struct SatObj {
    uint8_t satellites; /* satellites tracked, 0 to 15 */
    uint8_t reserved;   /* not written */
} SatObj;

/* Heartbeat programme. start: 1 immediately, 0 at the board's next whole second. mode: 0xE5
 * pulse, 0xE7 square wave. frequency in hertz: the board divides 10,000 Hz by a whole divider
 * of 1 to 65535, so a frequency is taken only when 10,000 / frequency lies within one part in a
 * million of such a divider (1 Hz, 2.5 Hz, 10,000 Hz are taken; 3 Hz and 0.1 Hz are refused
 * with VORN_ERR_RANGE); frequency 0 stops the heartbeat. Models 0x7000 and 0x7100 are given
 * start 0, mode 4 and thirdByte 0 by their callers: mode 4 is taken as a pulse at the next
 * whole second (the driver receives mode 0xE5, start 0). thirdByte is not read. */
typedef struct HeartObj {
    uint8_t start;
    uint8_t mode;
    uint8_t thirdByte;
    uint8_t reserved[5];
    double frequency;
} HeartObj;

/* Match time. type: 0 start, 1 stop. seconds with a fraction, 0 <= seconds < 60, rounded to
 * the nearest microsecond (a value that rounds to 60 is refused); minutes 0..59, hours 0..23,
 * dayOfYear 1..366. */
typedef struct MatchObj {
    uint8_t type;
    uint8_t reserved[7];
    double seconds;
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
    uint8_t reserved2[4];
} MatchObj;

/* Wait for a time-tagged event: timeoutMs goes in and is left unchanged; on success seconds
 * (with the microseconds as fraction), minutes, hours and dayOfYear of the event come out. On a
 * time-out or failure they are left as passed. */
typedef struct EventObj {
    uint32_t timeoutMs;
    uint8_t reserved[4];
    double seconds;
    uint8_t minutes;
    uint8_t hours;
    uint16_t dayOfYear;
    uint8_t reserved2[4];
} EventObj;

/* The board's full UTC date and time, bracketed by two system time readings. */
typedef struct StampedTimeObj {
    uint16_t year;      /* the board's year */
    uint16_t dayOfYear; /* 1..366, always of that year */
    uint32_t reserved;
    uint64_t microsOfDay;   /* microseconds since 00:00:00 of that day, 0..86,399,999,999 */
    struct timespec before; /* CLOCK_REALTIME just before the board's time was latched */
    struct timespec after;  /* CLOCK_REALTIME just after it was read */
} StampedTimeObj;

/* One time tag as an event subscriber receives it: timeoutMs goes in (how long VORN_nextEvent
 * waits for an event) and is left unchanged; the rest comes out. */
typedef struct SequencedEventObj {
    uint32_t timeoutMs;
    uint16_t year;      /* the board's year of that day; 0 when it could not be told */
    uint16_t dayOfYear; /* 1..366 */
    /* The board's count of tagged events, those it lost included: consecutive events of a
     * subscription differ by droppedBefore + 1. */
    uint64_t sequence;
    /* Events tagged between the subscription's previous event (or its start) and this one that
     * it will never receive: lost on the board or in the driver, or pushed out of the
     * subscription's own full queue. */
    uint64_t droppedBefore;
    uint64_t microsOfDay;     /* UTC, microseconds since 00:00:00 of that day */
    struct timespec received; /* CLOCK_REALTIME when the event reached the host */
} SequencedEventObj;

/* Opens a board by its device name as typed ("VORNpci0", "VORNpci1", ...) and stores a handle
 * valid until VORN_close. Results: VORN_ERR_ARGUMENT, VORN_ERR_NO_DEVICE, VORN_ERR_BUSY,
 * VORN_ERR_HOST, VORN_ERR_DEVICE; on failure *handle is set to null. The first open of a process
 * chooses how the library reaches the driver: the vornhost daemon when one answers at the socket
 * named by the environment variable VORN_HOST_SOCKET, or at /run/vornhost/vornhost.sock when
 * that is unset or empty; else a host inside this process with one board of model 0x9070 as
 * "VORNpci0".
 *
 * When the daemon is restarted, the next call after it answers again works: the call that
 * finds the connection gone makes one attempt to reconnect (VORN_ERR_HOST while none answers)
 * and opens every open handle's device again under the same name. A wait under way when the
 * daemon went returns VORN_WAIT_NOT_STARTED; a handle whose board the daemon no longer has
 * returns VORN_ERR_NO_DEVICE (the waits VORN_WAIT_NOT_STARTED) until it is closed. */
VORN_API uint8_t VORN_open(BoardHandle* handle, const char* deviceName);
/* Closes the board and frees its record, also when the host is gone (VORN_ERR_HOST); a wait
 * pending on it in another thread ends with VORN_WAIT_NOT_STARTED. VORN_ERR_HANDLE for a handle
 * that is not open. */
VORN_API uint8_t VORN_close(BoardHandle handle);

VORN_API uint8_t VORN_getTime(BoardHandle handle, TimeObj* time);
VORN_API uint8_t VORN_setTime(BoardHandle handle, TimeObj* time);
VORN_API uint8_t VORN_getDate(BoardHandle handle, DateObj* date);
/* The board's time latched between two readings of the system time, with its year and day of
 * year, which belong together at the end of a day and of a year too. The two readings are the
 * driver's own, taken right before and right after the register read that latches the board's
 * time (the other time registers hold that instant and are read after the second reading),
 * with nothing else between them; however the library reaches the driver,
 * the way there and back does not widen them. They are to 100 ns: the board's time was latched
 * at a system time from before up to (not including) after + 100 ns. The board shows whole
 * microseconds, cut off, not rounded. The first read, and the first after a time, year, sync or
 * propagation delay request or after a day without reads, also asks the board for its date.
 * Results:
 * VORN_ERR_HANDLE, VORN_ERR_ARGUMENT, VORN_ERR_HOST, VORN_ERR_DEVICE (also for a reply that is
 * no time of that year); on failure *stamped is left as passed. */
VORN_API uint8_t VORN_getStampedTime(BoardHandle handle, StampedTimeObj* stamped);
/* Year 1 to 9999. */
VORN_API uint8_t VORN_setYear(BoardHandle handle, uint16_t* year);

VORN_API uint8_t VORN_getAltitude(BoardHandle handle, AltObj* altitude);
VORN_API uint8_t VORN_getLatitude(BoardHandle handle, LongLat* latitude);
VORN_API uint8_t VORN_getLongitude(BoardHandle handle, LongLat* longitude);
VORN_API uint8_t VORN_getSatInfo(BoardHandle handle, SatObj* satellites);

/* Versions into a buffer of 10 bytes: the four firmware bytes, then a zero. The FPGA version
 * register's high and low byte, then three zeros. On failure the first byte is set to zero (an
 * empty version). */
VORN_API uint8_t VORN_getFirmware(BoardHandle handle, uint8_t* buffer);
VORN_API uint8_t VORN_getFPGA(BoardHandle handle, uint8_t* buffer);
/* The driver's version text, zero-terminated, into a buffer of 12 bytes ("" on failure). */
VORN_API uint8_t VORN_getDriver(BoardHandle handle, char* buffer);

VORN_API uint8_t VORN_setHeartbeat(BoardHandle handle, HeartObj* heartbeat);
VORN_API uint8_t VORN_setMatchTime(BoardHandle handle, MatchObj* match);

/* The waits block the calling thread only: 0 when the interrupt comes, VORN_WAIT_TIMEOUT after
 * the time-out in milliseconds, VORN_WAIT_NOT_STARTED otherwise. They return no other value.
 * VORN_waitEvent returns at once with the oldest time tag the driver holds, if any. */
VORN_API uint8_t VORN_waitHeartbeat(BoardHandle handle, uint32_t* timeoutMs);
VORN_API uint8_t VORN_waitMatch(BoardHandle handle, uint32_t* timeoutMs);
VORN_API uint8_t VORN_waitEvent(BoardHandle handle, EventObj* event);

/* Event subscriptions: every time tag the board makes from the subscription on, to every
 * subscriber, each with a queue of its own of 4,096 events; what a full queue cannot take is
 * counted in the next event's droppedBefore. They work beside VORN_waitEvent and take nothing
 * from it. A subscription belongs to the process and ends with VORN_unsubscribeEvents or when
 * the connection to the host ends (after a daemon restart, subscribe again).
 * VORN_subscribeEvents stores a nonzero subscription number. Results: VORN_ERR_HANDLE,
 * VORN_ERR_ARGUMENT, VORN_ERR_BUSY (64 subscriptions held already), VORN_ERR_HOST,
 * VORN_ERR_DEVICE (the driver gives no events). */
VORN_API uint8_t VORN_subscribeEvents(BoardHandle handle, uint32_t* subscription);
/* The subscription's next event, waiting up to event->timeoutMs (0: none waited for). As the
 * waits: 0 with the event, VORN_WAIT_TIMEOUT when none came within the time-out,
 * VORN_WAIT_NOT_STARTED otherwise (a bad handle or subscription, a null pointer, the
 * subscription ended meanwhile, the host gone); on anything but 0 *event is left as passed. */
VORN_API uint8_t VORN_nextEvent(BoardHandle handle, uint32_t subscription,
                                SequencedEventObj* event);
/* Ends the subscription; a VORN_nextEvent waiting on it returns VORN_WAIT_NOT_STARTED.
 * VORN_ERR_HANDLE for a bad handle or a subscription not held, VORN_ERR_HOST. */
VORN_API uint8_t VORN_unsubscribeEvents(BoardHandle handle, uint32_t subscription);

/* Discards every queued time tag (board and driver). */
VORN_API uint8_t VORN_flushFIFO(BoardHandle handle);
/* Has the board time-tag a simulated event. */
VORN_API uint8_t VORN_simEvent(BoardHandle handle);

/* 1 synchronizes to the reference, any other value lets the board run free. The byte comes back
 * as the board's acknowledgement: 0xEE after 1, 0xFF otherwise. */
VORN_API uint8_t VORN_synchControl(BoardHandle handle, uint8_t* control);
/* 1 while the board is synchronized to its reference, 0 while it runs free. */
VORN_API uint8_t VORN_synchStatus(BoardHandle handle, uint8_t* status);
/* Propagation delay correction in microseconds, -5000 to 4999 (the board's four digits in ten's
 * complement). */
VORN_API uint8_t VORN_setPropDelayCorr(BoardHandle handle, int32_t* microseconds);

/* The driver host's health record of a board, for monitoring. Times are the system's
 * (CLOCK_REALTIME); the host dates a change when it sees it, within a fraction of a second while
 * the vornhost daemon runs, and at each VORN_getHealth call with a host in the program. */
#define VORN_REQUEST_KINDS 33
typedef struct VornHealth {
    uint8_t synchronized;          /* 1 while synchronized to the reference */
    uint8_t referencePresent;      /* 1 while the reference signal is received */
    uint8_t referenceSeen;         /* 1 when the host has seen the reference since it started */
    uint8_t freewheel;             /* the board's mode: 1 freewheel, 0 synchronize */
    uint8_t eventDropsKnown;       /* eventsFifoOverflows and eventsRingDrops are filled */
    uint8_t subscriberCountsKnown; /* subscriberDeliveries and subscriberDrops are filled */
    uint8_t sampleKnown; /* a synchronization feed has reported a sample (the sample fields) */
    uint8_t reserved;
    struct timespec syncChangedAt;   /* when `synchronized` last changed (or was first seen) */
    struct timespec referenceSeenAt; /* the last time the host saw the reference present */
    struct timespec takenAt;         /* when the record was taken */
    /* Requests to the board by kind (VORN_requestKindName): completed with success, failed,
     * and (waits only) failed because the time-out passed. */
    uint64_t requestsServed[VORN_REQUEST_KINDS];
    uint64_t requestsFailed[VORN_REQUEST_KINDS];
    uint64_t waitsTimedOut[VORN_REQUEST_KINDS];
    uint64_t eventsTagged;        /* external events the board time-tagged (lost ones too) */
    uint64_t eventsDelivered;     /* handed to programs by the event waits */
    uint64_t eventsFifoOverflows; /* lost in the board's full FIFO */
    uint64_t eventsRingDrops;     /* pushed out of the driver's event-wait ring unread */
    /* Over all subscriptions (VORN_subscribeEvents) there have been: events handed to one, and
     * events tagged while one was open that it never received (its full queue, the driver's
     * losses, those unread when it ended). For each subscription the two add up to the events
     * tagged while it was open. */
    uint64_t subscriberDeliveries;
    uint64_t subscriberDrops;
    int64_t sampleOffsetNanos;     /* the feed's last sample: board time minus system time */
    int64_t sampleErrorBoundNanos; /* and its error bound */
    struct timespec sampleAt;      /* when the feed reported it */
    int32_t sampleReporterPid;     /* the process that reported it */
    uint32_t sampleReporterUid;    /* and its user */
} VornHealth;

/* Fills *health for the board. VORN_ERR_HANDLE, VORN_ERR_ARGUMENT, VORN_ERR_HOST (also for a
 * host too old to keep health), VORN_ERR_NO_DEVICE (a device not named VORNpci + number). */
VORN_API uint8_t VORN_getHealth(BoardHandle handle, VornHealth* health);
/* The name of request kind `kind` (below VORN_REQUEST_KINDS): "get_time", "wait_event", ...,
 * "other" for codes the driver does not define; NULL for a number no request uses. */
VORN_API const char* VORN_requestKindName(unsigned kind);
/* For synchronization feeds: hands the host the offset (board minus system time) and the error
 * bound of the latest sample taken from the board, which VORN_getHealth and the daemon's metrics
 * then show. VORN_ERR_RANGE for a negative error bound; errors otherwise as VORN_getHealth. */
VORN_API uint8_t VORN_reportSyncSample(BoardHandle handle, int64_t offsetNanos,
                                       int64_t errorBoundNanos);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layouts callers depend on. */
#ifdef __cplusplus
#define VORN_STATIC_ASSERT static_assert
#else
#define VORN_STATIC_ASSERT _Static_assert
#endif
#include <stddef.h>
VORN_STATIC_ASSERT(sizeof(BoardRecord) == 8 && offsetof(BoardRecord, modelCode) == 4,
                   "BoardRecord layout");
VORN_STATIC_ASSERT(sizeof(TimeObj) == 16 && offsetof(TimeObj, wholeSeconds) == 8 &&
                       offsetof(TimeObj, minutes) == 9 && offsetof(TimeObj, hours) == 10 &&
                       offsetof(TimeObj, dayOfYear) == 12 && offsetof(TimeObj, year) == 14,
                   "TimeObj layout");
VORN_STATIC_ASSERT(sizeof(DateObj) == 4 && offsetof(DateObj, month) == 2 &&
                       offsetof(DateObj, day) == 3,
                   "DateObj layout");
VORN_STATIC_ASSERT(sizeof(AltObj) == 4, "AltObj layout");
VORN_STATIC_ASSERT(sizeof(LongLat) == 8 && offsetof(LongLat, minutes) == 4, "LongLat layout");
VORN_STATIC_ASSERT(sizeof(SatObj) == 2, "SatObj layout");
VORN_STATIC_ASSERT(sizeof(HeartObj) == 16 && offsetof(HeartObj, mode) == 1 &&
                       offsetof(HeartObj, thirdByte) == 2 && offsetof(HeartObj, frequency) == 8,
                   "HeartObj layout");
VORN_STATIC_ASSERT(sizeof(MatchObj) == 24 && offsetof(MatchObj, seconds) == 8 &&
                       offsetof(MatchObj, minutes) == 16 && offsetof(MatchObj, hours) == 17 &&
                       offsetof(MatchObj, dayOfYear) == 18,
                   "MatchObj layout");
VORN_STATIC_ASSERT(sizeof(EventObj) == 24 && offsetof(EventObj, seconds) == 8 &&
                       offsetof(EventObj, minutes) == 16 && offsetof(EventObj, hours) == 17 &&
                       offsetof(EventObj, dayOfYear) == 18,
                   "EventObj layout");
VORN_STATIC_ASSERT(sizeof(StampedTimeObj) == 48 && offsetof(StampedTimeObj, dayOfYear) == 2 &&
                       offsetof(StampedTimeObj, microsOfDay) == 8 &&
                       offsetof(StampedTimeObj, before) == 16 &&
                       offsetof(StampedTimeObj, after) == 32,
                   "StampedTimeObj layout");
VORN_STATIC_ASSERT(sizeof(SequencedEventObj) == 48 && offsetof(SequencedEventObj, year) == 4 &&
                       offsetof(SequencedEventObj, dayOfYear) == 6 &&
                       offsetof(SequencedEventObj, sequence) == 8 &&
                       offsetof(SequencedEventObj, droppedBefore) == 16 &&
                       offsetof(SequencedEventObj, microsOfDay) == 24 &&
                       offsetof(SequencedEventObj, received) == 32,
                   "SequencedEventObj layout");
#undef VORN_STATIC_ASSERT
