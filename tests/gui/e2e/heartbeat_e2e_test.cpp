// The heartbeat dialogs over the real library, driver and board model: a programme set by
// "Set Heartbeat" reaches the board, and "Get Heartbeat Event" sees its interrupt.
#include "heartbeat_match_dialogs.h"
#include "operation_e2e_fixture.h"

namespace vorngui {
namespace {

class HeartbeatE2e : public testing::OperationE2eTest {};

TEST_F(HeartbeatE2e, AProgrammedHeartbeatIsSeenByCheck) {
    HeartbeatSetDialog set(services);
    testing::FakeView setView;
    open(set, setView);
    setView.setListSelection(HeartbeatSetDialog::kIdType, HeartbeatSetDialog::kSquare);
    setView.setText(HeartbeatSetDialog::kIdFrequency, "100");
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
    view.setText(InterruptCheckDialog::kIdTimeout, "60");
    pressWhileWaiting(check, view, InterruptCheckDialog::kIdCheck, [&] { advance(20 * kMilli); });
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.isChecked(HeartbeatCheckDialog::kIdHeartbeat));
    EXPECT_GE(board().heartbeats, 1u);
}

TEST_F(HeartbeatE2e, AFrequencyWithoutADividerIsRefused) {
    HeartbeatSetDialog set(services);
    testing::FakeView view;
    open(set, view);
    view.setText(HeartbeatSetDialog::kIdFrequency, "3");
    set.onCommand(view, HeartbeatSetDialog::kIdSet);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Invalid Frequency value!!"});
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(board().heartbeatDivider, 0u);
}

TEST_F(HeartbeatE2e, WithoutAHeartbeatCheckTimesOut) {
    HeartbeatCheckDialog check(services);
    testing::FakeView view;
    open(check, view);
    view.setText(InterruptCheckDialog::kIdTimeout, "1");
    pressWhileWaiting(check, view, InterruptCheckDialog::kIdCheck,
                      [&] { advance(kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Heartbeat Interrupt Timeout!!"});
    EXPECT_FALSE(view.isChecked(HeartbeatCheckDialog::kIdHeartbeat));
}

TEST_F(HeartbeatE2e, AnOlderModelIsProgrammedAsAPulseAtTheNextSecond) {
    boot(0x7000);
    HeartbeatSetDialog set(services);
    testing::FakeView view;
    open(set, view);
    view.setListSelection(HeartbeatSetDialog::kIdType, HeartbeatSetDialog::kSquare);
    view.setText(HeartbeatSetDialog::kIdFrequency, "10");
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
