// Reading and setting the board's time, date and year, or reading the computer's clock for the
// demonstration board.
#include "time_dialogs.h"

namespace vorngui {

using namespace controls::time_of_day;
using namespace controls::date;
using namespace time_messages;

TimeRetrieveDialog::TimeRetrieveDialog(const Services& services)
    : Dialog(templates::kTimeRetrieve, services) {
    fields().bindInt16(kDays, m_days);
    fields().bindUInt8(kHours, m_hours);
    fields().bindUInt8(kMinutes, m_minutes);
    fields().bindDouble(kSeconds, m_seconds);
}

void TimeRetrieveDialog::onInitDialog(DialogView& view) {
    readTime(view);
}

void TimeRetrieveDialog::onCommand(DialogView& view, int control) {
    if (control == kRetrieveOrSet) {
        readTime(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void TimeRetrieveDialog::readTime(DialogView& view) {
    const auto reading = readStartTime(services(), boardHandle(), demo(), view);
    if (!reading) {
        return;
    }
    m_days = reading->days;
    m_hours = reading->hours;
    m_minutes = reading->minutes;
    m_seconds = reading->seconds;
    showFields(view);
}

TimeSetDialog::TimeSetDialog(const Services& services) : Dialog(templates::kTimeSet, services) {
    fields().bindInt16(kDays, m_days);
    fields().bindUInt8(kHours, m_hours);
    fields().bindUInt8(kMinutes, m_minutes);
    fields().bindUInt8(kSeconds, m_seconds);
}

void TimeSetDialog::onInitDialog(DialogView& view) {
    const auto reading = readStartTime(services(), boardHandle(), demo(), view);
    if (!reading) {
        return;
    }
    m_days = reading->days;
    m_hours = reading->hours;
    m_minutes = reading->minutes;
    m_seconds = wholeSeconds(reading->seconds);
    showFields(view);
}

void TimeSetDialog::onCommand(DialogView& view, int control) {
    if (control == kRetrieveOrSet) {
        setTime(view);
    } else if (control == controls::time_of_day::kCancel) {
        cancelPath(view);
    }
}

void TimeSetDialog::onEnterKey(DialogView& view) {
    setTime(view);
}

void TimeSetDialog::setTime(DialogView& view) {
    if (demo()) {
        view.endDialog(DialogResult::Ok);
        return;
    }
    // A field that does not parse has shown its message; the board is given nothing the
    // operator did not type.
    if (!readBack(view)) {
        return;
    }
    TimeObj time{};
    time.wholeSeconds = m_seconds;
    time.minutes = m_minutes;
    time.hours = m_hours;
    time.dayOfYear = static_cast<uint16_t>(m_days);
    time.year = kTimeEntryYear;
    if (board().setTime(boardHandle(), &time) != 0) {
        view.showMessage(kSetTimeFailed);
        return;
    }
    view.endDialog(DialogResult::Ok);
}

DateRetrieveDialog::DateRetrieveDialog(const Services& services)
    : Dialog(templates::kDateRetrieve, services) {
    fields().bindUInt8(kDay, m_day);
    fields().bindUInt8(kMonth, m_month);
    fields().bindInt16(kYear, m_year);
}

void DateRetrieveDialog::onInitDialog(DialogView& view) {
    readDate(view);
}

void DateRetrieveDialog::onCommand(DialogView& view, int control) {
    if (control == kRetrieve) {
        readDate(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void DateRetrieveDialog::readDate(DialogView& view) {
    if (demo()) {
        const win32::SYSTEMTIME now = services().clock.utcNow();
        m_day = static_cast<uint8_t>(now.wDay);
        m_month = static_cast<uint8_t>(now.wMonth);
        m_year = static_cast<int16_t>(now.wYear);
        showFields(view);
        return;
    }
    DateObj date{};
    if (board().getDate(boardHandle(), &date) != 0) {
        view.showMessage(kGetDateFailed);
        return;
    }
    m_month = date.month;
    m_day = date.day;
    m_year = static_cast<int16_t>(date.year);
    showFields(view);
}

YearSetDialog::YearSetDialog(const Services& services) : Dialog(templates::kYearSet, services) {
    fields().bindInt16(kYear, m_year);
}

void YearSetDialog::onCommand(DialogView& view, int control) {
    if (control == kSet) {
        setYear(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void YearSetDialog::onEnterKey(DialogView& view) {
    setYear(view);
}

void YearSetDialog::setYear(DialogView& view) {
    // A year that does not parse has shown its message; the previous year is not sent instead.
    if (!readBack(view)) {
        return;
    }
    if (demo()) {
        acceptPath(view);
        return;
    }
    uint16_t year = static_cast<uint16_t>(m_year);
    if (board().setYear(boardHandle(), &year) != 0) {
        view.showMessage(kSetYearFailed);
        return;
    }
    acceptPath(view);
}

} // namespace vorngui
