// "Set Match Time" and "Check For Match Time": the time prefilled at opening, the record sent,
// refusals, and the check's messages and own demonstration toggle.
#include "heartbeat_match_dialogs.h"
#include "operation_fixture.h"
#include "resource_ids.h"

namespace vorngui {
namespace {

using ::testing::_;
using testing::OperationDialogFixture;
using ::testing::Pointee;
using ::testing::Return;

class MatchDialogsTest : public OperationDialogFixture {
protected:
    void boardTimeIs(uint16_t day, uint8_t hours, uint8_t minutes, double seconds) {
        ON_CALL(fakes.board, getTime(_, _)).WillByDefault([=](BoardHandle, TimeObj* time) {
            time->dayOfYear = day;
            time->hours = hours;
            time->minutes = minutes;
            time->seconds = seconds;
            time->wholeSeconds = static_cast<uint8_t>(seconds);
            return uint8_t{0};
        });
    }
    MatchObj sent{};
    void recordSet(uint8_t result = 0) {
        EXPECT_CALL(fakes.board, setMatchTime(_, _))
            .WillOnce([this, result](BoardHandle, MatchObj* m) {
                sent = *m;
                return result;
            });
    }
    // Types the time-out into the check dialog and presses "Check".
    void check(MatchCheckDialog& dialog, testing::FakeView& on, const std::string& timeout) {
        on.setText(controls::interrupt_check::kTimeout, timeout);
        dialog.onCommand(on, controls::interrupt_check::kCheck);
    }
};

TEST_F(MatchDialogsTest, OpensWithTheBoardTimeInWholeSecondsAndStartSelected) {
    boardTimeIs(61, 12, 5, 59.9996);
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    EXPECT_EQ(view.listItems(controls::match_set::kType),
              (std::vector<std::string>{"Start", "Stop"}));
    EXPECT_EQ(view.listSelection(controls::match_set::kType), MatchSetDialog::kStart);
    EXPECT_EQ(view.text(controls::match_set::kDays), "61");
    EXPECT_EQ(view.text(controls::match_set::kHours), "12");
    EXPECT_EQ(view.text(controls::match_set::kMinutes), "5");
    EXPECT_EQ(view.text(controls::match_set::kSeconds), "59");
}

TEST_F(MatchDialogsTest, SetSendsTheTypedTimeAndType) {
    boardTimeIs(61, 12, 5, 1);
    recordSet();
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    view.setListSelection(controls::match_set::kType, MatchSetDialog::kStop);
    view.setText(controls::match_set::kSeconds, "7.25");
    view.setText(controls::match_set::kDays, "300");
    view.setText(controls::match_set::kHours, "23");
    view.setText(controls::match_set::kMinutes, "59");
    dialog.onCommand(view, controls::match_set::kSet);
    EXPECT_EQ(sent.type, 1);
    EXPECT_EQ(sent.seconds, 7.25);
    EXPECT_EQ(sent.dayOfYear, 300);
    EXPECT_EQ(sent.hours, 23);
    EXPECT_EQ(sent.minutes, 59);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(MatchDialogsTest, WithoutTheBoardTimeASetIsAnInvalidMatchType) {
    ON_CALL(fakes.board, getTime(_, _)).WillByDefault(Return(VORN_ERR_DEVICE));
    EXPECT_CALL(fakes.board, setMatchTime(_, _)).Times(0);
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Couldn't receive time from board!!"});
    EXPECT_EQ(view.listSelection(controls::match_set::kType), -1);
    EXPECT_EQ(view.text(controls::match_set::kDays), "0");
    EXPECT_EQ(view.text(controls::match_set::kSeconds), "0");
    EXPECT_FALSE(view.ended);
    dialog.onCommand(view, controls::match_set::kSet);
    EXPECT_EQ(view.messages.back(), "Invalid Match Type!!");
    EXPECT_FALSE(view.ended);
}

TEST_F(MatchDialogsTest, ARefusedMatchTimeKeepsTheDialogOpen) {
    boardTimeIs(61, 12, 5, 1);
    recordSet(VORN_ERR_RANGE);
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::match_set::kHours, "99");
    dialog.onEnterKey(view);
    EXPECT_EQ(sent.hours, 99) << "no range beyond the field's own";
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not set match time!!"});
    EXPECT_FALSE(view.ended);
}

TEST_F(MatchDialogsTest, AnUnparsedFieldSetsNoMatchTime) {
    boardTimeIs(61, 12, 5, 1);
    EXPECT_CALL(fakes.board, setMatchTime(_, _)).Times(0);
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::match_set::kSeconds, "30");
    view.setText(controls::match_set::kHours, "noon");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"Please enter an integer between 0 and 255."});
    EXPECT_EQ(view.focused, controls::match_set::kHours);
    EXPECT_FALSE(view.ended);
}

TEST_F(MatchDialogsTest, ReturnRunsSetOnly) {
    boardTimeIs(61, 12, 5, 1);
    recordSet(1);
    MatchSetDialog dialog(fakes.services);
    open(dialog);
    dialog.onEnterKey(view);
    EXPECT_FALSE(view.ended);
    dialog.onCommand(view, controls::match_set::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(MatchDialogsTest, DemonstrationPrefillsFromTheClockAndSetCloses) {
    EXPECT_CALL(fakes.board, getTime(_, _)).Times(0);
    EXPECT_CALL(fakes.board, setMatchTime(_, _)).Times(0);
    fakes.clock.now = {2023, 12, 0, 31, 8, 9, 10, 999};
    MatchSetDialog dialog(fakes.services);
    open(dialog, true);
    EXPECT_EQ(view.text(controls::match_set::kDays), "365");
    EXPECT_EQ(view.text(controls::match_set::kHours), "8");
    EXPECT_EQ(view.text(controls::match_set::kMinutes), "9");
    EXPECT_EQ(view.text(controls::match_set::kSeconds), "10");
    EXPECT_EQ(view.listSelection(controls::match_set::kType), MatchSetDialog::kStart);
    dialog.onCommand(view, controls::match_set::kSet);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(MatchDialogsTest, CheckWaitsWithTheTimeoutAndShowsItsOwnMessages) {
    EXPECT_CALL(fakes.board, waitMatch(_, Pointee(10000u)))
        .WillOnce(Return(VORN_WAIT_TIMEOUT))
        .WillOnce(Return(VORN_WAIT_NOT_STARTED))
        .WillOnce(Return(0));
    MatchCheckDialog dialog(fakes.services);
    open(dialog);
    check(dialog, view, "10");
    check(dialog, view, "10");
    EXPECT_EQ(view.messages,
              (std::vector<std::string>{"Match Timeout!!", "Could Not Wait for Match Time!!"}));
    EXPECT_FALSE(view.isChecked(controls::interrupt_check::kMatch));
    check(dialog, view, "10");
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kMatch));
    EXPECT_EQ(view.blockingCalls, 3);
}

TEST_F(MatchDialogsTest, CheckDemonstrationUsesTheMatchToggleOnly) {
    EXPECT_CALL(fakes.board, waitMatch(_, _)).Times(0);
    fakes.process.heartbeatToggle = true;
    MatchCheckDialog dialog(fakes.services);
    open(dialog, true);
    check(dialog, view, "1");
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kMatch));
    EXPECT_TRUE(fakes.process.matchToggle);
    check(dialog, view, "1");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Match Timeout!!"});
    EXPECT_EQ(fakes.clock.sleeps, std::vector<uint32_t>{1000});
    EXPECT_TRUE(fakes.process.heartbeatToggle);
}

TEST_F(MatchDialogsTest, MenuCommandsOpenTheirDialogs) {
    testing::expectMenuOpens({
        {commands::kMatchSet, templates::kMatchSet},
        {commands::kMatchCheck, templates::kMatchCheck},
    });
}

} // namespace
} // namespace vorngui
