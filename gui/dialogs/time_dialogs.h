// The dialogs that read and set the board's clock: time of day with day of year, calendar date,
// and year. With the demonstration board they read the computer's clock in UTC instead.
#pragma once

#include "dialog.h"
#include "resource_ids.h"
#include "time_reading.h"

#include <cstdint>

namespace vorngui {

namespace time_messages {
inline constexpr const char* kGetTimeFailed = kGetTimeFailedMessage;
inline constexpr const char* kSetTimeFailed = "Unable to set time!!";
inline constexpr const char* kGetDateFailed = "Could not retrieve date!!";
inline constexpr const char* kSetYearFailed = "Unable to set year!!";
} // namespace time_messages

// The year every time entry carries; the board takes its year from "Set Year" instead.
inline constexpr uint16_t kTimeEntryYear = 2001;

// "RetrieveTime": shows the board's day of year and time of day, seconds with their fraction,
// at opening and on "Retrieve".
class TimeRetrieveDialog : public Dialog {
public:
    explicit TimeRetrieveDialog(const Services& services);

    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;

private:
    void readTime(DialogView& view);

    int16_t m_days = 0;
    uint8_t m_hours = 0;
    uint8_t m_minutes = 0;
    double m_seconds = 0;
};

// "Set Time": prefilled with the board's time in whole seconds; "Set" (or Enter) loads the
// typed time into the board, "Cancel" closes without reading the fields.
class TimeSetDialog : public Dialog {
public:
    explicit TimeSetDialog(const Services& services);

    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;
    void onEnterKey(DialogView& view) override;

private:
    void setTime(DialogView& view);

    int16_t m_days = 0;
    uint8_t m_hours = 0;
    uint8_t m_minutes = 0;
    uint8_t m_seconds = 0;
};

// "Retrieve Gregorian Date": shows the board's calendar date at opening and on "Retrieve".
class DateRetrieveDialog : public Dialog {
public:
    explicit DateRetrieveDialog(const Services& services);

    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;

private:
    void readDate(DialogView& view);

    uint8_t m_day = 0;
    uint8_t m_month = 0;
    int16_t m_year = 0;
};

// "Set Year": opens showing 0 (the board's year is not read); "Set" (or Enter) sets the typed
// year.
class YearSetDialog : public Dialog {
public:
    explicit YearSetDialog(const Services& services);

    void onCommand(DialogView& view, int control) override;
    void onEnterKey(DialogView& view) override;

private:
    void setYear(DialogView& view);

    int16_t m_year = 0;
};

} // namespace vorngui
