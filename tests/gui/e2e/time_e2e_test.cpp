// The time, date and year dialogs end to end: what one dialog sets, another reads back from the
// simulated board.
#include "main_dialog_e2e_fixture.h"
#include "time_dialogs.h"

#include "field_text.h"

namespace vorngui::e2e {
namespace {

using namespace controls::time_of_day;
using testing::FakeView;

class TimeE2eTest : public MainDialogE2eFixture {};

// The operator types a time into "Set Time" and presses "Set".
auto typeTime(const char* days, const char* hours, const char* minutes, const char* seconds) {
    return [=](Dialog& d, FakeView& v) {
        v.setText(kDays, days);
        v.setText(kHours, hours);
        v.setText(kMinutes, minutes);
        v.setText(kSeconds, seconds);
        d.onCommand(v, kRetrieveOrSet);
    };
}

TEST_F(TimeE2eTest, SetTimeThenRetrieveTimeShowsTheTimeSet) {
    MainDialog& main = openMain();
    ASSERT_TRUE(main.boardOpen());
    fakes.runner.script(templates::kTimeSet, typeTime("100", "10", "20", "30"));
    main.onMenuCommand(mainView, commands::kTimeSet);
    EXPECT_EQ(lastView().ended, DialogResult::Ok);
    EXPECT_TRUE(lastView().messages.empty());
    const vornhost::BoardState state = board();
    EXPECT_EQ(state.dayOfYear, 100);
    EXPECT_EQ(state.hours, 10);
    EXPECT_EQ(state.minutes, 20);

    main.onMenuCommand(mainView, commands::kTimeRetrieve);
    const FakeView& shown = lastView();
    EXPECT_TRUE(shown.messages.empty());
    EXPECT_EQ(shown.text(kDays), "100");
    EXPECT_EQ(shown.text(kHours), "10");
    EXPECT_EQ(shown.text(kMinutes), "20");
    const auto seconds = parseNumber(shown.text(kSeconds));
    ASSERT_TRUE(seconds);
    EXPECT_GE(*seconds, 30.0);
    EXPECT_LT(*seconds, 31.0);
}

TEST_F(TimeE2eTest, SetTimePrefillsTheBoardTimeAndATimeTheBoardRefusesKeepsItOpen) {
    MainDialog& main = openMain();
    fakes.runner.script(templates::kTimeSet, [](Dialog& d, FakeView& v) {
        // The machine started at 12:00:00 on day 61.
        EXPECT_EQ(v.text(kDays), "61");
        EXPECT_EQ(v.text(kHours), "12");
        EXPECT_EQ(v.text(kMinutes), "0");
        EXPECT_EQ(v.text(kSeconds), "0");
        v.setText(kHours, "25");
        d.onEnterKey(v);
    });
    main.onMenuCommand(mainView, commands::kTimeSet);
    EXPECT_EQ(lastView().messages, std::vector<std::string>{"Unable to set time!!"});
    EXPECT_FALSE(lastView().ended);
    EXPECT_EQ(board().hours, 12);
}

TEST_F(TimeE2eTest, SetYearThenRetrieveDateShowsTheYear) {
    MainDialog& main = openMain();
    fakes.runner.script(templates::kYearSet, [](Dialog& d, FakeView& v) {
        EXPECT_EQ(v.text(controls::date::kYear), "0");
        v.setText(controls::date::kYear, "2031");
        d.onCommand(v, controls::date::kSet);
    });
    main.onMenuCommand(mainView, commands::kYearSet);
    EXPECT_EQ(lastView().ended, DialogResult::Ok);
    EXPECT_EQ(board().year, 2031);

    main.onMenuCommand(mainView, commands::kDateRetrieve);
    EXPECT_TRUE(lastView().messages.empty());
    EXPECT_EQ(lastView().text(controls::date::kYear), "2031");
}

TEST_F(TimeE2eTest, YearTheBoardCannotTakeIsRefused) {
    MainDialog& main = openMain();
    fakes.runner.script(templates::kYearSet, [](Dialog& d, FakeView& v) {
        v.setText(controls::date::kYear, "0");
        d.onEnterKey(v);
    });
    main.onMenuCommand(mainView, commands::kYearSet);
    EXPECT_EQ(lastView().messages, std::vector<std::string>{"Unable to set year!!"});
    EXPECT_EQ(board().year, 2024);
}

} // namespace
} // namespace vorngui::e2e
