// Board entries: time, year, heartbeat, match time, propagation delay and synchronization mode,
// sent as command bytes after the values have been checked against the board's ranges.
#include "board_ops.h"
#include "board_protocol.h"

namespace {

// Decimal text of a value with leading zeros, as the board's digit fields take it.
struct DigitText {
    CHAR text[12];
};

DigitText formatDigits(ULONG value, int width) {
    DigitText digits;
    snprintf(digits.text, sizeof(digits.text), "%0*lu", width, static_cast<unsigned long>(value));
    return digits;
}

// The board's ranges. It throws away a load outside them without a word, so such entries are
// refused before any byte is sent.
constexpr ULONG kLastDayOfYear = 366;
constexpr ULONG kLastHour = 23;
constexpr ULONG kLastMinute = 59;
constexpr ULONG kLastSecond = 59;
constexpr ULONG kMicrosPerMinute = 60'000'000;
constexpr ULONG kFirstYear = 1;
constexpr ULONG kLastYear = 9999;
// Four digits in ten's complement carry -5000 to 4999 microseconds; 5000 would come back as
// -5000.
constexpr LONG kPropDelayMin = -5000;
constexpr LONG kPropDelayMax = 4999;
constexpr LONG kPropDelayModulus = 10000;

BOOLEAN validDayAndClock(ULONG dayOfYear, ULONG hours, ULONG minutes) {
    return dayOfYear >= 1 && dayOfYear <= kLastDayOfYear && hours <= kLastHour &&
           minutes <= kLastMinute;
}

BOOLEAN isLeapYear(ULONG year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Day 366 exists only in a leap year, and the board's own year decides: it is read first.
UCHAR checkLeapDay(ULONG_PTR portBase, ULONG dayOfYear) {
    if (dayOfYear != kLastDayOfYear)
        return VORN_SUCCESS;
    vornpci::DateObj date{};
    const UCHAR result = vornGetDate(portBase, &date);
    if (result != VORN_SUCCESS)
        return result;
    return isLeapYear(date.year) ? VORN_SUCCESS : VORN_REFUSED;
}

VOID sendDayAndClock(ULONG_PTR portBase, ULONG dayOfYear, ULONG hours, ULONG minutes) {
    sendDays(portBase, formatDigits(dayOfYear, 3).text);
    sendHours(portBase, formatDigits(hours, 2).text);
    sendMinutes(portBase, formatDigits(minutes, 2).text);
}

} // namespace

UCHAR vornSetTime(ULONG_PTR portBase, const vornpci::TimeObj* time) {
    if (!validDayAndClock(time->dayOfYear, time->hours, time->minutes) ||
        time->seconds > kLastSecond)
        return VORN_REFUSED;
    const UCHAR leapDay = checkLeapDay(portBase, time->dayOfYear);
    if (leapDay != VORN_SUCCESS)
        return leapDay;
    sendCmd(portBase, CMD_ENTRY_BEGIN);
    sendDayAndClock(portBase, time->dayOfYear, time->hours, time->minutes);
    sendSeconds(portBase, formatDigits(time->seconds, 2).text);
    sendCmd(portBase, time->loadSelect != 0 ? CMD_ENTRY_LOAD_ALT : CMD_ENTRY_LOAD);
    return VORN_SUCCESS;
}

// A year entry is not opened with CMD_ENTRY_BEGIN.
UCHAR vornSetYear(ULONG_PTR portBase, const USHORT* year) {
    if (*year < kFirstYear || *year > kLastYear)
        return VORN_REFUSED;
    const DigitText digits = formatDigits(*year, 4);
    for (ULONG i = 0; i < 4; ++i)
        sendCmd(portBase, static_cast<UCHAR>(POS_YEAR[i] | (digits.text[i] - '0')));
    sendCmd(portBase, CMD_LOAD_YEAR);
    return VORN_SUCCESS;
}

// The load byte is the mode code plus the start code: 0xE5 to 0xE8.
UCHAR vornSetHeartbeat(ULONG_PTR portBase, const vornpci::HeartObj* heartbeat) {
    const BOOLEAN startKnown = heartbeat->startCode <= 1;
    const BOOLEAN modeKnown =
        heartbeat->modeCode == CMD_HEART_PULSE || heartbeat->modeCode == CMD_HEART_SQUARE;
    if (!startKnown || !modeKnown)
        return VORN_REFUSED;
    const USHORT divider = heartbeat->divider;
    sendCmd(portBase, CMD_ENTRY_BEGIN);
    for (ULONG i = 0; i < 4; ++i) {
        const ULONG shift = 12 - 4 * i;
        sendCmd(portBase, static_cast<UCHAR>(POS_DIVIDER[i] | ((divider >> shift) & 0x0F)));
    }
    sendCmd(portBase, static_cast<UCHAR>(heartbeat->modeCode + heartbeat->startCode));
    return VORN_SUCCESS;
}

UCHAR vornSetMatchTime(ULONG_PTR portBase, const vornpci::MatchObj* match) {
    if (match->matchType > 1 || !validDayAndClock(match->dayOfYear, match->hours, match->minutes) ||
        match->microsInMinute >= kMicrosPerMinute)
        return VORN_REFUSED;
    vornClearStaleMatch(portBase);
    sendCmd(portBase, CMD_ENTRY_BEGIN);
    sendDayAndClock(portBase, match->dayOfYear, match->hours, match->minutes);
    sendMatchSecs(portBase, formatDigits(match->microsInMinute, 8).text);
    sendCmd(portBase, match->matchType == 0 ? CMD_MATCH_START : CMD_MATCH_STOP);
    return VORN_SUCCESS;
}

// A negative delay goes to the board as its ten's complement in four digits (-1 as 9999).
UCHAR vornSetPropDelayCorr(ULONG_PTR portBase, const LONG* delay) {
    LONG value = *delay;
    if (value < kPropDelayMin || value > kPropDelayMax)
        return VORN_REFUSED;
    if (value < 0)
        value += kPropDelayModulus;
    sendCmd(portBase, CMD_ENTRY_BEGIN);
    sendProp(portBase, formatDigits(static_cast<ULONG>(value), 4).text);
    sendCmd(portBase, CMD_ENTRY_LOAD);
    return VORN_SUCCESS;
}

// The control byte goes back to the caller overwritten with the board's acknowledgement code.
UCHAR vornSynchControl(ULONG_PTR portBase, PUCHAR control) {
    if (*control == 1) {
        *control = 0xEE;
        sendCmd(portBase, CMD_SYNCHRONIZE);
    } else {
        *control = 0xFF;
        sendCmd(portBase, CMD_FREEWHEEL);
    }
    return VORN_SUCCESS;
}
