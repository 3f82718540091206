// The time, date and year dialogs over a mock library and a settable clock: what they show, what
// they send, and how they end.
#include "fake_services.h"
#include "fake_view.h"
#include "time_dialogs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace vorngui {
namespace {

using namespace controls::time_of_day;
using ::testing::_;
using testing::FakeServices;
using testing::FakeView;
using ::testing::Return;

struct TimeDialogsTest : ::testing::Test {
    template <typename T> void open(T& dialog, bool demonstration = false) {
        dialog.setBoard(&record, demonstration ? 1 : 0);
        dialog.onInitDialog(view);
    }
    // A board reading of day 45, 07:08 and `seconds`.
    void boardTimeIs(double seconds) {
        const auto reading = [seconds](BoardHandle, TimeObj* t) {
            t->seconds = seconds;
            t->wholeSeconds = static_cast<uint8_t>(seconds);
            t->minutes = 8;
            t->hours = 7;
            t->dayOfYear = 45;
            return uint8_t{0};
        };
        EXPECT_CALL(fake.board, getTime(&record, _)).WillRepeatedly(reading);
    }

    FakeServices fake;
    BoardRecord record{0, 0x9070, 0, 0};
    FakeView view;
};

// Year, month, day of month, and the day of year shown.
using DateAndDay = std::tuple<int, int, int, const char*>;
class TimeDialogsDemoDayOfYearTest : public TimeDialogsTest,
                                     public ::testing::WithParamInterface<DateAndDay> {};

TEST_P(TimeDialogsDemoDayOfYearTest, FollowsTheLeapRuleWithoutCenturies) {
    const auto [year, month, day, expected] = GetParam();
    fake.clock.now.wYear = static_cast<uint16_t>(year);
    fake.clock.now.wMonth = static_cast<uint16_t>(month);
    fake.clock.now.wDay = static_cast<uint16_t>(day);
    EXPECT_CALL(fake.board, getTime(_, _)).Times(0);
    TimeRetrieveDialog retrieve(fake.services);
    open(retrieve, true);
    EXPECT_EQ(view.text(kDays), expected);
    FakeView setView;
    TimeSetDialog set(fake.services);
    set.setBoard(&record, 1);
    set.onInitDialog(setView);
    EXPECT_EQ(setView.text(kDays), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, TimeDialogsDemoDayOfYearTest,
    ::testing::Values(std::make_tuple(2024, 3, 1, "61"), std::make_tuple(2023, 3, 1, "60"),
                      std::make_tuple(2024, 12, 31, "366"), std::make_tuple(2023, 12, 31, "365"),
                      std::make_tuple(1900, 3, 1, "61"), std::make_tuple(2023, 1, 1, "1")));

TEST_F(TimeDialogsTest, DemoRetrieveShowsUtcWithMillisecondsAndSetPrefillsWholeSeconds) {
    fake.clock.now = {2024, 7, 2, 9, 23, 4, 12, 345};
    TimeRetrieveDialog retrieve(fake.services);
    open(retrieve, true);
    EXPECT_EQ(view.text(kHours), "23");
    EXPECT_EQ(view.text(kMinutes), "4");
    EXPECT_EQ(view.text(kSeconds), "12.345");

    EXPECT_CALL(fake.board, setTime(_, _)).Times(0);
    FakeView setView;
    TimeSetDialog set(fake.services);
    set.setBoard(&record, 1);
    set.onInitDialog(setView);
    EXPECT_EQ(setView.text(kSeconds), "12");
    setView.setText(kHours, "junk");
    set.onCommand(setView, kRetrieveOrSet);
    EXPECT_EQ(setView.ended, DialogResult::Ok);
    EXPECT_TRUE(setView.messages.empty());
}

TEST_F(TimeDialogsTest, RetrieveShowsTheBoardTimeFromAZeroedRecordWithItsFraction) {
    EXPECT_CALL(fake.board, getTime(&record, _)).WillOnce([](BoardHandle, TimeObj* t) {
        EXPECT_EQ(t->seconds, 0.0);
        EXPECT_EQ(t->wholeSeconds | t->minutes | t->hours | t->dayOfYear | t->year, 0);
        *t = TimeObj{59.9996, 59, 58, 23, 0, 366, 0};
        return uint8_t{0};
    });
    TimeRetrieveDialog retrieve(fake.services);
    open(retrieve);
    EXPECT_EQ(view.text(kDays), "366");
    EXPECT_EQ(view.text(kHours), "23");
    EXPECT_EQ(view.text(kMinutes), "58");
    EXPECT_EQ(view.text(kSeconds), "59.9996");
}

TEST_F(TimeDialogsTest, RetrieveFailingAtOpeningLeavesEmptyFieldsThatStopTheCancelButton) {
    EXPECT_CALL(fake.board, getTime(_, _)).WillRepeatedly(Return(7));
    TimeRetrieveDialog retrieve(fake.services);
    open(retrieve);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Couldn't receive time from board!!"});
    EXPECT_FALSE(view.hasText(kDays));

    retrieve.onCommand(view, kCancel);
    EXPECT_EQ(view.messages.back(), "Please enter an integer.");
    EXPECT_EQ(view.focused, kDays);
    EXPECT_FALSE(view.ended);
    retrieve.onEnterKey(view);
    EXPECT_FALSE(view.ended);
    retrieve.onEscapeKey(view);
    EXPECT_EQ(view.ended, DialogResult::Cancel);
}

TEST_F(TimeDialogsTest, RetrieveFailingLaterKeepsTheLastValues) {
    boardTimeIs(30.5);
    TimeRetrieveDialog retrieve(fake.services);
    open(retrieve);
    ::testing::Mock::VerifyAndClearExpectations(&fake.board);
    EXPECT_CALL(fake.board, getTime(_, _)).WillOnce(Return(1));
    retrieve.onCommand(view, kRetrieveOrSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Couldn't receive time from board!!"});
    EXPECT_EQ(view.text(kSeconds), "30.5");
    retrieve.onCommand(view, kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(TimeDialogsTest, SetPrefillsWholeSecondsTruncated) {
    boardTimeIs(59.9996);
    TimeSetDialog set(fake.services);
    open(set);
    EXPECT_EQ(view.text(kSeconds), "59");
    EXPECT_EQ(view.text(kMinutes), "8");
    EXPECT_EQ(view.text(kHours), "7");
    EXPECT_EQ(view.text(kDays), "45");
}

TEST_F(TimeDialogsTest, SetFailingToReadLeavesTheFieldsEmpty) {
    EXPECT_CALL(fake.board, getTime(_, _)).WillOnce(Return(1));
    TimeSetDialog set(fake.services);
    open(set);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Couldn't receive time from board!!"});
    for (int control : {kDays, kHours, kMinutes, kSeconds}) {
        EXPECT_FALSE(view.hasText(control)) << control;
    }
}

TEST_F(TimeDialogsTest, SetSendsTheTypedFieldsWithYear2001AndZeroedRest) {
    boardTimeIs(1);
    TimeSetDialog set(fake.services);
    open(set);
    view.setText(kDays, "-2");
    view.setText(kHours, "255");
    view.setText(kMinutes, " 0 ");
    view.setText(kSeconds, "200");
    TimeObj sent{};
    EXPECT_CALL(fake.board, setTime(&record, _)).WillOnce([&sent](BoardHandle, TimeObj* t) {
        sent = *t;
        return uint8_t{0};
    });
    set.onEnterKey(view);
    EXPECT_EQ(sent.dayOfYear, 0xFFFE);
    EXPECT_EQ(sent.hours, 255);
    EXPECT_EQ(sent.minutes, 0);
    EXPECT_EQ(sent.wholeSeconds, 200);
    EXPECT_EQ(sent.year, 2001);
    EXPECT_EQ(sent.seconds, 0.0);
    EXPECT_EQ(sent.reserved, 0);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(TimeDialogsTest, SetRefusedByTheBoardStaysOpenWithTheTypedValues) {
    boardTimeIs(1);
    TimeSetDialog set(fake.services);
    open(set);
    view.setText(kHours, "12");
    EXPECT_CALL(fake.board, setTime(_, _)).WillOnce(Return(3));
    set.onCommand(view, kRetrieveOrSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to set time!!"});
    EXPECT_EQ(view.text(kHours), "12");
    EXPECT_FALSE(view.ended);
}

TEST_F(TimeDialogsTest, SetWithAFieldThatDoesNotParseSendsNothing) {
    boardTimeIs(1);
    TimeSetDialog set(fake.services);
    open(set);
    view.setText(kMinutes, "256");
    EXPECT_CALL(fake.board, setTime(_, _)).Times(0);
    set.onCommand(view, kRetrieveOrSet);
    set.onEnterKey(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>(2, "Please enter an integer between 0 and 255."));
    EXPECT_EQ(view.focused, kMinutes);
    EXPECT_FALSE(view.ended);
}

TEST_F(TimeDialogsTest, SetCancelClosesAtOnceWithoutReading) {
    boardTimeIs(1);
    TimeSetDialog set(fake.services);
    open(set);
    view.setText(kDays, "not a day");
    EXPECT_CALL(fake.board, setTime(_, _)).Times(0);
    set.onCommand(view, kCancel);
    EXPECT_EQ(view.ended, DialogResult::Cancel);
    EXPECT_TRUE(view.messages.empty());
}

using controls::date::kDay;
using controls::date::kMonth;
using controls::date::kYear;

TEST_F(TimeDialogsTest, DateShowsTheBoardDateOrTheDemonstrationClock) {
    EXPECT_CALL(fake.board, getDate(&record, _)).WillOnce([](BoardHandle, DateObj* d) {
        EXPECT_EQ(d->year | d->month | d->day, 0);
        *d = DateObj{2031, 12, 24};
        return uint8_t{0};
    });
    DateRetrieveDialog date(fake.services);
    open(date);
    EXPECT_EQ(view.text(kDay), "24");
    EXPECT_EQ(view.text(kMonth), "12");
    EXPECT_EQ(view.text(kYear), "2031");

    fake.clock.now.wDay = 17;
    FakeView demoView;
    DateRetrieveDialog demoDate(fake.services);
    demoDate.setBoard(&record, 1);
    demoDate.onInitDialog(demoView);
    EXPECT_EQ(demoView.text(kDay), "17");
    EXPECT_EQ(demoView.text(kMonth), "3");
    EXPECT_EQ(demoView.text(kYear), "2024");
}

TEST_F(TimeDialogsTest, DateFailingAtOpeningStopsCancelAtTheDay) {
    EXPECT_CALL(fake.board, getDate(_, _)).WillRepeatedly(Return(7));
    DateRetrieveDialog date(fake.services);
    open(date);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not retrieve date!!"});
    date.onCommand(view, controls::date::kCancel);
    EXPECT_EQ(view.messages.back(), "Please enter an integer between 0 and 255.");
    EXPECT_EQ(view.focused, kDay);
    EXPECT_FALSE(view.ended);
    date.onCloseBox(view);
    EXPECT_EQ(view.ended, DialogResult::Cancel);
}

TEST_F(TimeDialogsTest, YearOpensAtZeroAndSendsTheTypedYear) {
    EXPECT_CALL(fake.board, getDate(_, _)).Times(0);
    EXPECT_CALL(fake.board, getTime(_, _)).Times(0);
    YearSetDialog year(fake.services);
    open(year);
    EXPECT_EQ(view.text(kYear), "0");

    view.setText(kYear, "2030");
    uint16_t sent = 0;
    EXPECT_CALL(fake.board, setYear(&record, _)).WillOnce([&sent](BoardHandle, uint16_t* y) {
        sent = *y;
        return uint8_t{0};
    });
    year.onEnterKey(view);
    EXPECT_EQ(sent, 2030);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(TimeDialogsTest, YearThatDoesNotParseSendsNothingAndShowsOneMessage) {
    YearSetDialog year(fake.services);
    open(year);
    view.setText(kYear, "20x0");
    EXPECT_CALL(fake.board, setYear(_, _)).Times(0);
    year.onCommand(view, controls::date::kSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter an integer."});
    EXPECT_FALSE(view.ended);
}

TEST_F(TimeDialogsTest, YearRefusedByTheBoardStaysOpen) {
    YearSetDialog year(fake.services);
    open(year);
    view.setText(kYear, "-1");
    uint16_t sent = 0;
    EXPECT_CALL(fake.board, setYear(_, _)).WillOnce([&sent](BoardHandle, uint16_t* y) {
        sent = *y;
        return uint8_t{3};
    });
    year.onCommand(view, controls::date::kSet);
    EXPECT_EQ(sent, 0xFFFF);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to set year!!"});
    EXPECT_FALSE(view.ended);
    year.onCommand(view, controls::date::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(TimeDialogsTest, DemonstrationYearClosesWithoutACall) {
    YearSetDialog year(fake.services);
    open(year, true);
    view.setText(kYear, "1999");
    EXPECT_CALL(fake.board, setYear(_, _)).Times(0);
    year.onCommand(view, controls::date::kSet);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

} // namespace
} // namespace vorngui
