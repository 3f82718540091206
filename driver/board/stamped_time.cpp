// The stamped time request: the board's time of day latched between two readings of the
// system time, with the year that day belongs to. The year comes from a date query only when
// the driver does not know it yet; otherwise it follows the board's day of year, so that the
// event FIFO is not flushed by a query on every read.
#include "board_ops.h"
#include "board_protocol.h"
#include "vornpci_device.h"

namespace {

// A year learnt more than this long ago (interrupt time, 100 ns units) is learnt again: the
// day of year alone cannot tell how many year ends have passed since.
constexpr ULONGLONG kYearKnownFor = 24ULL * 3600 * 10'000'000;

// A board whose time jumps between the date query and the time read is read again this often.
constexpr ULONG kQueryAttempts = 2;

constexpr USHORT kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

BOOLEAN IsLeapYear(ULONG Year) {
    return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

USHORT DaysInYear(ULONG Year) {
    return IsLeapYear(Year) ? 366 : 365;
}

// The day of year of a date answer; 0 when the answer is no date.
USHORT DayOfYearOf(const vornpci::DateObj& Date) {
    const USHORT* before = kDaysBeforeMonth[IsLeapYear(Date.year) ? 1 : 0];
    if (Date.year == 0 || Date.month < 1 || Date.month > 12 || Date.day < 1 ||
        Date.day > before[Date.month] - before[Date.month - 1])
        return 0;
    return USHORT(before[Date.month - 1] + Date.day);
}

// The year of a time read on day `Day`, given that the board showed day `KnownDay` of
// `KnownYear` less than a day before: the same year, or the next one when the board has
// passed the end of the year since. FALSE when the two days cannot follow each other so (the
// board's time jumped).
BOOLEAN YearOfDay(USHORT KnownYear, USHORT KnownDay, USHORT Day, USHORT* Year) {
    const USHORT days = DaysInYear(KnownYear);
    if (KnownDay < 1 || KnownDay > days || Day < 1)
        return FALSE;
    if (Day == KnownDay || (Day == KnownDay + 1 && Day <= days)) {
        *Year = KnownYear;
        return TRUE;
    }
    if (KnownDay == days && Day == 1 && KnownYear < 9999) {
        *Year = USHORT(KnownYear + 1);
        return TRUE;
    }
    return FALSE;
}

} // namespace

// Under BoardMutex: the year of a time just read, from the year known before, if that is still
// good for this read; the knowledge moves on with the read.
BOOLEAN CVORNpci::YearFromCache(const vornpci::StampedTimeObj* Stamped, UCHAR InSyncNow,
                                USHORT* Year) {
    const ULONGLONG now = KeQueryInterruptTime();
    if (KnownYear == 0 || KnownYearInSync != InSyncNow ||
        KnownYearGeneration != InterlockedCompareExchange(&TimeGeneration, 0, 0) ||
        now - KnownYearAt > kYearKnownFor)
        return FALSE;
    if (!YearOfDay(KnownYear, KnownYearDay, Stamped->dayOfYear, Year))
        return FALSE;
    KnownYear = *Year;
    KnownYearDay = Stamped->dayOfYear;
    KnownYearAt = now;
    return TRUE;
}

// Under BoardMutex with the FIFO exchange on: asks the board for its date, then reads the
// stamped time; a day that rolled over between the two is carried into the year.
UCHAR CVORNpci::ReadStampedTimeWithQuery(vornpci::StampedTimeObj* Stamped) {
    const ULONG_PTR port = PortBase();
    const LONG generation = InterlockedCompareExchange(&TimeGeneration, 0, 0);
    for (ULONG attempt = 0; attempt < kQueryAttempts; ++attempt) {
        vornpci::DateObj date{};
        const UCHAR result = vornGetDate(port, &date);
        if (result != VORN_SUCCESS)
            return result;
        UCHAR inSync = 0;
        vornSynchStatus(port, &inSync);
        vornGetStampedTime(port, Stamped);
        if (!YearOfDay(date.year, DayOfYearOf(date), Stamped->dayOfYear, &Stamped->year))
            continue;
        KnownYear = Stamped->year;
        KnownYearDay = Stamped->dayOfYear;
        KnownYearInSync = inSync;
        KnownYearAt = KeQueryInterruptTime();
        KnownYearGeneration = generation;
        return VORN_SUCCESS;
    }
    return VORN_UNSETTLED;
}

NTSTATUS CVORNpci::VORNpciIoctlGetStampedTime(PIRP Irp) {
    vornpci::StampedTimeObj reading{};
    BOOLEAN yearKnown = FALSE;
    UCHAR result = BoardExchange(FALSE, [&](ULONG_PTR Port) {
        UCHAR inSync = 0;
        vornSynchStatus(Port, &inSync);
        vornGetStampedTime(Port, &reading);
        yearKnown = YearFromCache(&reading, inSync, &reading.year);
        return VORN_SUCCESS;
    });
    if (!yearKnown)
        result = BoardExchange(TRUE, [&](ULONG_PTR) { return ReadStampedTimeWithQuery(&reading); });
    const NTSTATUS status = vornResultToStatus(result);
    if (NT_SUCCESS(status))
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &reading, sizeof(reading));
    return status;
}
