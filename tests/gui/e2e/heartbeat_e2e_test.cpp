// The heartbeat dialogs over the real library, driver and board model: a programme set by
// "Set Heartbeat" reaches the board, and "Get Heartbeat Event" sees its interrupt.
#include "heartbeat_match_dialogs.h"
#include "operation_e2e_fixture.h"

namespace vorngui {
namespace {

class HeartbeatE2eTest : public testing::OperationE2eFixture {};

TEST_F(HeartbeatE2eTest, AProgrammedHeartbeatIsSeenByCheck) {
    HeartbeatSetDialog set(services);
    testing::FakeView setView;
    open(set, setView);
    setView.setListSelection(controls::heartbeat_set::kType, HeartbeatSetDialog::kSquare);
    setView.setText(controls::heartbeat_set::kFrequency, "100");
    set.onEnterKey(setView);
    EXPECT_TRUE(setView.messages.empty());
    EXPECT_EQ(setView.ended, DialogResult::Ok);
    const vornhost::BoardState programmed = board();
    EXPECT_EQ(programmed.heartbeatDivider, 100u);
    EXPECT_TRUE(programmed.heartbeatSquare);
    EXPECT_TRUE(programmed.heartbeatImmediately);

    HeartbeatCheckDialog check(services);
    testing::FakeView view;
    open(check, view);
    view.setText(controls::interrupt_check::kTimeout, "60");
    pressWhileWaiting(check, view, controls::interrupt_check::kCheck,
                      [&] { advance(20 * kMilli); });
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.isChecked(controls::interrupt_check::kHeartbeat));
    EXPECT_GE(board().heartbeats, 1u);
}

TEST_F(HeartbeatE2eTest, AFrequencyWithoutADividerIsRefused) {
    HeartbeatSetDialog set(services);
    testing::FakeView view;
    open(set, view);
    view.setText(controls::heartbeat_set::kFrequency, "3");
    set.onCommand(view, controls::heartbeat_set::kSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Invalid Frequency value!!"});
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(board().heartbeatDivider, 0u);
}

TEST_F(HeartbeatE2eTest, WithoutAHeartbeatCheckTimesOut) {
    HeartbeatCheckDialog check(services);
    testing::FakeView view;
    open(check, view);
    view.setText(controls::interrupt_check::kTimeout, "1");
    pressWhileWaiting(check, view, controls::interrupt_check::kCheck,
                      [&] { advance(kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Heartbeat Interrupt Timeout!!"});
    EXPECT_FALSE(view.isChecked(controls::interrupt_check::kHeartbeat));
}

TEST_F(HeartbeatE2eTest, AnOlderModelIsProgrammedAsAPulseAtTheNextSecond) {
    boot(0x7000);
    HeartbeatSetDialog set(services);
    testing::FakeView view;
    open(set, view);
    view.setListSelection(controls::heartbeat_set::kType, HeartbeatSetDialog::kSquare);
    view.setText(controls::heartbeat_set::kFrequency, "10");
    set.onEnterKey(view);
    EXPECT_TRUE(view.messages.empty());
    const vornhost::BoardState programmed = board();
    EXPECT_EQ(programmed.model, 0x7000);
    EXPECT_EQ(programmed.heartbeatDivider, 1000u);
    EXPECT_FALSE(programmed.heartbeatSquare);
    EXPECT_FALSE(programmed.heartbeatImmediately);
}

} // namespace
} // namespace vorngui
