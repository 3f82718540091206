// The match dialogs over the real library, driver and board model: "Set Match Time" opens on
// the board's time, a match a few seconds ahead is armed, and "Check For Match Time" sees it.
#include "heartbeat_match_dialogs.h"
#include "operation_e2e_fixture.h"

namespace vorngui {
namespace {

class MatchE2eTest : public testing::OperationE2eFixture {};

TEST_F(MatchE2eTest, AMatchSetAheadIsSeenByCheck) {
    advance(5 * kSecond + 400 * kMilli);
    MatchSetDialog set(services);
    testing::FakeView setView;
    open(set, setView);
    // The board started at 12:00:00 on day 61 and has run 5.4 s.
    EXPECT_EQ(setView.text(controls::match_set::kDays), "61");
    EXPECT_EQ(setView.text(controls::match_set::kHours), "12");
    EXPECT_EQ(setView.text(controls::match_set::kMinutes), "0");
    EXPECT_EQ(setView.text(controls::match_set::kSeconds), "5");
    setView.setText(controls::match_set::kSeconds, "8");
    set.onCommand(setView, controls::match_set::kSet);
    EXPECT_TRUE(setView.messages.empty());
    EXPECT_EQ(setView.ended, DialogResult::Ok);
    const vornhost::BoardState armed = board();
    EXPECT_TRUE(armed.matchArmed);
    EXPECT_FALSE(armed.matchStop);
    EXPECT_EQ(armed.matchDayOfYear, 61);
    EXPECT_EQ(armed.matchHours, 12);
    EXPECT_EQ(armed.matchMinutes, 0);
    EXPECT_EQ(armed.matchMicrosInMinute, 8'000'000u);

    MatchCheckDialog check(services);
    testing::FakeView view;
    open(check, view);
    view.setText(controls::interrupt_check::kTimeout, "60");
    pressWhileWaiting(check, view, controls::interrupt_check::kCheck,
                      [&] { advance(3 * kSecond); });
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kMatch));
    EXPECT_EQ(board().matches, 1u);
}

TEST_F(MatchE2eTest, AMatchTimeTheBoardRefusesKeepsTheDialogOpen) {
    MatchSetDialog set(services);
    testing::FakeView view;
    open(set, view);
    view.setText(controls::match_set::kMinutes, "75");
    set.onEnterKey(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not set match time!!"});
    EXPECT_FALSE(view.ended);
    EXPECT_FALSE(board().matchArmed);
}

TEST_F(MatchE2eTest, CheckTimesOutBeforeAMatchFarAhead) {
    MatchCheckDialog check(services);
    testing::FakeView view;
    open(check, view);
    view.setText(controls::interrupt_check::kTimeout, "2");
    pressWhileWaiting(check, view, controls::interrupt_check::kCheck,
                      [&] { advance(2 * kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Match Timeout!!"});
    EXPECT_FALSE(view.isChecked(controls::interrupt_check::kMatch));
}

} // namespace
} // namespace vorngui
