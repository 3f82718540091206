// The event dialogs over the real library, driver and board model: simulated and strobed time
// tags shown by "Get Time Tag Event", time-outs, and flushing.
#include "event_dialogs.h"
#include "operation_e2e_fixture.h"

#include <string>

namespace vorngui {
namespace {

class EventE2e : public testing::OperationE2eTest {};

TEST_F(EventE2e, ASimulatedEventIsShownByCheck) {
    SimulateEventDialog simulate(services);
    testing::FakeView simulateView;
    open(simulate, simulateView);
    const vornhost::BoardState before = board();
    simulate.onCommand(simulateView, SimulateEventDialog::kIdSimulate);
    EXPECT_TRUE(simulateView.messages.empty());
    EXPECT_EQ(board().eventsTagged, before.eventsTagged + 1);

    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(EventDialog::kIdTimeout, "5");
    // The tag is already queued, so the wait returns at once.
    dialog.onCommand(view, EventDialog::kIdCheck);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.text(EventDialog::kIdDays), "61");
    EXPECT_EQ(view.text(EventDialog::kIdHours), "12");
    EXPECT_EQ(view.text(EventDialog::kIdMinutes), "0");
    EXPECT_DOUBLE_EQ(std::stod(view.text(EventDialog::kIdSeconds)), before.microsInMinute / 1e6);
}

TEST_F(EventE2e, AStrobeWhileTheWaitBlocksEndsIt) {
    advance(7 * kSecond + 250 * kMilli);
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(EventDialog::kIdTimeout, "60");
    pressWhileWaiting(dialog, view, EventDialog::kIdCheck, [&] {
        vornhost::SimCommand strobe;
        strobe.action = vornhost::SimAction::StrobeEvent;
        simulate(strobe);
    });
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.text(EventDialog::kIdSeconds), "7.25");
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(view.disabledDuringBlocking[0].size(), 3u);
}

TEST_F(EventE2e, NoEventWithinTheTimeoutShowsTheTimeout) {
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(EventDialog::kIdTimeout, "2");
    pressWhileWaiting(dialog, view, EventDialog::kIdCheck, [&] { advance(2 * kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
    EXPECT_EQ(view.text(EventDialog::kIdDays), "0");
}

TEST_F(EventE2e, TimeoutZeroAnswersAtOnceFromTheQueueOrTimesOut) {
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(EventDialog::kIdTimeout, "0");
    pressWhileWaiting(dialog, view, EventDialog::kIdCheck, [&] { advance(kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});

    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    dialog.onCommand(view, EventDialog::kIdCheck);
    EXPECT_EQ(view.messages.size(), 1u) << "the queued tag is shown without waiting";
    EXPECT_EQ(view.text(EventDialog::kIdDays), "61");
}

TEST_F(EventE2e, FlushDiscardsQueuedTags) {
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    dialog.onCommand(view, EventDialog::kIdFlushFifo);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(board().fifoLevel, 0u);
    view.setText(EventDialog::kIdTimeout, "1");
    pressWhileWaiting(dialog, view, EventDialog::kIdCheck, [&] { advance(kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
}

} // namespace
} // namespace vorngui
