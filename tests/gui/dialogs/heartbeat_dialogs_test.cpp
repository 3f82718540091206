// "Set Heartbeat" and "Get Heartbeat Event": the record sent for each choice and model, the
// refusals, Return given to "Set", and the check with its wait and demonstration alternation.
#include "heartbeat_match_dialogs.h"
#include "operation_fixture.h"
#include "resource_ids.h"

namespace vorngui {
namespace {

using ::testing::_;
using testing::OperationDialogFixture;
using ::testing::Pointee;
using ::testing::Return;

class HeartbeatDialogsTest : public OperationDialogFixture {
protected:
    // Opens "Set Heartbeat", chooses the list positions and frequency, and presses "Set";
    // returns the record sent (start 0xAA when nothing was sent).
    HeartObj setWith(int type, int start, const std::string& frequency) {
        HeartObj sent{};
        sent.start = 0xAA;
        ON_CALL(fakes.board, setHeartbeat(_, _)).WillByDefault([&sent](BoardHandle, HeartObj* h) {
            sent = *h;
            return uint8_t{0};
        });
        HeartbeatSetDialog dialog(fakes.services);
        view = {};
        open(dialog);
        view.setListSelection(controls::heartbeat_set::kType, type);
        view.setListSelection(controls::heartbeat_set::kStart, start);
        view.setText(controls::heartbeat_set::kFrequency, frequency);
        dialog.onCommand(view, controls::heartbeat_set::kSet);
        return sent;
    }
    // Types the time-out into the check dialog and presses "Check".
    void check(InterruptCheckDialog& dialog, testing::FakeView& on, const std::string& timeout) {
        on.setText(controls::interrupt_check::kTimeout, timeout);
        dialog.onCommand(on, controls::interrupt_check::kCheck);
    }
};

TEST_F(HeartbeatDialogsTest, OpensWithPulseImmediatelyAndFrequencyZero) {
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog);
    EXPECT_EQ(view.listItems(controls::heartbeat_set::kType),
              (std::vector<std::string>{"Pulse", "Square"}));
    EXPECT_EQ(view.listItems(controls::heartbeat_set::kStart),
              (std::vector<std::string>{"Immediately", "Next Cycle"}));
    EXPECT_EQ(view.listSelection(controls::heartbeat_set::kType), HeartbeatSetDialog::kPulse);
    EXPECT_EQ(view.listSelection(controls::heartbeat_set::kStart),
              HeartbeatSetDialog::kImmediately);
    EXPECT_EQ(view.text(controls::heartbeat_set::kFrequency), "0");
}

TEST_F(HeartbeatDialogsTest, SetSendsTheChosenModeStartAndFrequencyThenCloses) {
    HeartObj sent = setWith(HeartbeatSetDialog::kSquare, HeartbeatSetDialog::kNextCycle, "2.5");
    EXPECT_EQ(sent.mode, 0xE7);
    EXPECT_EQ(sent.start, 0);
    EXPECT_EQ(sent.frequency, 2.5);
    EXPECT_EQ(view.ended, DialogResult::Ok);

    sent = setWith(HeartbeatSetDialog::kPulse, HeartbeatSetDialog::kImmediately, "100");
    EXPECT_EQ(sent.mode, 0xE5);
    EXPECT_EQ(sent.start, 1);
    EXPECT_EQ(sent.frequency, 100.0);
}

TEST_F(HeartbeatDialogsTest, OlderModelsGetStartZeroModeFourForEveryChoice) {
    for (const uint16_t model : {uint16_t{0x7000}, uint16_t{0x7100}}) {
        setModel(model);
        for (const int type : {HeartbeatSetDialog::kPulse, HeartbeatSetDialog::kSquare}) {
            for (const int start :
                 {HeartbeatSetDialog::kImmediately, HeartbeatSetDialog::kNextCycle}) {
                const HeartObj sent = setWith(type, start, "10");
                EXPECT_EQ(sent.start, 0) << model << ' ' << type << ' ' << start;
                EXPECT_EQ(sent.mode, 4) << model << ' ' << type << ' ' << start;
                EXPECT_EQ(sent.thirdByte, 0);
                EXPECT_EQ(sent.frequency, 10.0);
            }
        }
    }
    setModel(0x9072);
    EXPECT_EQ(setWith(HeartbeatSetDialog::kSquare, HeartbeatSetDialog::kImmediately, "1").mode,
              0xE7);
}

TEST_F(HeartbeatDialogsTest, NoSelectionIsRefusedBeforeTheBoardIsAsked) {
    EXPECT_CALL(fakes.board, setHeartbeat(_, _)).Times(0);
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog);
    view.setListSelection(controls::heartbeat_set::kType, -1);
    dialog.onCommand(view, controls::heartbeat_set::kSet);
    view.setListSelection(controls::heartbeat_set::kType, 0);
    view.setListSelection(controls::heartbeat_set::kStart, -1);
    dialog.onCommand(view, controls::heartbeat_set::kSet);
    EXPECT_EQ(view.messages,
              (std::vector<std::string>{"Invalid Heartbeat Type!!", "Invalid Start Type!!"}));
    EXPECT_FALSE(view.ended);
}

TEST_F(HeartbeatDialogsTest, ARefusedFrequencyKeepsTheDialogOpen) {
    EXPECT_CALL(fakes.board, setHeartbeat(_, _)).WillOnce(Return(VORN_ERR_RANGE));
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::heartbeat_set::kFrequency, "3");
    dialog.onCommand(view, controls::heartbeat_set::kSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Invalid Frequency value!!"});
    EXPECT_FALSE(view.ended);
}

TEST_F(HeartbeatDialogsTest, AnUnparsedFrequencySendsNothing) {
    EXPECT_CALL(fakes.board, setHeartbeat(_, _)).Times(0);
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::heartbeat_set::kFrequency, "fast");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter a number."});
    EXPECT_EQ(view.focused, controls::heartbeat_set::kFrequency);
    EXPECT_FALSE(view.ended);
}

TEST_F(HeartbeatDialogsTest, ReturnRunsSetAndTheFrequencyIdIsNoButton) {
    EXPECT_CALL(fakes.board, setHeartbeat(_, _)).WillOnce(Return(1));
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog);
    dialog.onCommand(view, controls::heartbeat_set::kFrequency);
    EXPECT_FALSE(view.ended) << "1005 is the frequency edit here, not Cancel";
    dialog.onEnterKey(view);
    EXPECT_FALSE(view.ended) << "Return ran Set only, which was refused";
    dialog.onCommand(view, controls::heartbeat_set::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(HeartbeatDialogsTest, DemonstrationSetClosesWithoutTheBoard) {
    EXPECT_CALL(fakes.board, setHeartbeat(_, _)).Times(0);
    HeartbeatSetDialog dialog(fakes.services);
    open(dialog, true);
    dialog.onEnterKey(view);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(HeartbeatDialogsTest, CheckAnInterruptTicksTheBoxWithButtonsDisabledMeanwhile) {
    EXPECT_CALL(fakes.board, waitHeartbeat(_, Pointee(2000u))).WillOnce(Return(0));
    HeartbeatCheckDialog dialog(fakes.services);
    open(dialog);
    check(dialog, view, "2");
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kHeartbeat));
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(
        view.disabledDuringBlocking[0],
        (std::vector<int>{controls::interrupt_check::kCancel, controls::interrupt_check::kCheck}));
    EXPECT_TRUE(view.isEnabled(controls::interrupt_check::kCheck));
    EXPECT_TRUE(view.isEnabled(controls::interrupt_check::kCancel));
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(HeartbeatDialogsTest, CheckTimeoutZeroAsksTheBoardAndClearsATickedBox) {
    EXPECT_CALL(fakes.board, waitHeartbeat(_, Pointee(0u))).WillOnce(Return(VORN_WAIT_TIMEOUT));
    HeartbeatCheckDialog dialog(fakes.services);
    open(dialog);
    view.setChecked(controls::interrupt_check::kHeartbeat, true);
    check(dialog, view, "0");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Heartbeat Interrupt Timeout!!"});
    EXPECT_FALSE(view.isChecked(controls::interrupt_check::kHeartbeat));
}

TEST_F(HeartbeatDialogsTest, CheckAWaitThatCannotStartSaysSo) {
    ON_CALL(fakes.board, waitHeartbeat(_, _)).WillByDefault(Return(VORN_WAIT_NOT_STARTED));
    HeartbeatCheckDialog dialog(fakes.services);
    open(dialog);
    check(dialog, view, "1");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could Not Wait for Heartbeat Interrupt!!"});
    EXPECT_EQ(dialog.seen(), 0);
}

TEST_F(HeartbeatDialogsTest, CheckAnUnparsedTimeoutWaitsForNothing) {
    EXPECT_CALL(fakes.board, waitHeartbeat(_, _)).Times(0);
    HeartbeatCheckDialog dialog(fakes.services);
    open(dialog);
    view.setChecked(controls::interrupt_check::kHeartbeat, true);
    check(dialog, view, "abc");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter a positive integer."});
    EXPECT_EQ(view.blockingCalls, 0);
    dialog.onCommand(view, controls::interrupt_check::kCancel);
    EXPECT_FALSE(view.ended) << "Cancel reads back too and stops at the same field";
}

TEST_F(HeartbeatDialogsTest, CheckDemonstrationAlternatesAcrossReopeningsAndZeroResets) {
    EXPECT_CALL(fakes.board, waitHeartbeat(_, _)).Times(0);
    HeartbeatCheckDialog first(fakes.services);
    open(first, true);
    check(first, view, "4");
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kHeartbeat));
    EXPECT_TRUE(view.messages.empty());
    check(first, view, "4");
    EXPECT_FALSE(view.isChecked(controls::interrupt_check::kHeartbeat));
    EXPECT_EQ(fakes.clock.sleeps, std::vector<uint32_t>{4000});
    EXPECT_EQ(view.messages, std::vector<std::string>{"Heartbeat Interrupt Timeout!!"});
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(view.disabledDuringBlocking[0].size(), 2u);

    testing::FakeView reopened;
    HeartbeatCheckDialog second(fakes.services);
    give(second, true);
    second.onInitDialog(reopened);
    check(second, reopened, "4");
    EXPECT_TRUE(reopened.isChecked(controls::interrupt_check::kHeartbeat));
    check(second, reopened, "0");
    EXPECT_FALSE(reopened.isChecked(controls::interrupt_check::kHeartbeat));
    EXPECT_EQ(reopened.messages, std::vector<std::string>{"Heartbeat Interrupt Timeout!!"});
    check(second, reopened, "4");
    EXPECT_TRUE(reopened.isChecked(controls::interrupt_check::kHeartbeat));
    EXPECT_FALSE(fakes.process.matchToggle) << "each source has its own toggle";
}

TEST_F(HeartbeatDialogsTest, MenuCommandsOpenTheirDialogs) {
    testing::expectMenuOpens({
        {commands::kHeartbeatSet, templates::kHeartbeatSet},
        {commands::kHeartbeatCheck, templates::kHeartbeatCheck},
    });
}

} // namespace
} // namespace vorngui
