// The event dialogs over the real library, driver and board model: simulated and strobed time
// tags shown by "Get Time Tag Event", time-outs, and flushing.
#include "event_dialogs.h"
#include "operation_e2e_fixture.h"

#include <string>

namespace vorngui {
namespace {

class EventE2eTest : public testing::OperationE2eFixture {};

TEST_F(EventE2eTest, ASimulatedEventIsShownByCheck) {
    SimulateEventDialog simulate(services);
    testing::FakeView simulateView;
    open(simulate, simulateView);
    const vornhost::BoardState before = board();
    simulate.onCommand(simulateView, controls::simulate_event::kSimulate);
    EXPECT_TRUE(simulateView.messages.empty());
    EXPECT_EQ(board().eventsTagged, before.eventsTagged + 1);

    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::event::kTimeout, "5");
    // The tag is already queued, so the wait returns at once.
    dialog.onCommand(view, controls::event::kCheck);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.text(controls::event::kDays), "61");
    EXPECT_EQ(view.text(controls::event::kHours), "12");
    EXPECT_EQ(view.text(controls::event::kMinutes), "0");
    EXPECT_DOUBLE_EQ(std::stod(view.text(controls::event::kSeconds)), before.microsInMinute / 1e6);
}

TEST_F(EventE2eTest, AStrobeWhileTheWaitBlocksEndsIt) {
    advance(7 * kSecond + 250 * kMilli);
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::event::kTimeout, "60");
    pressWhileWaiting(dialog, view, controls::event::kCheck, [&] {
        vornhost::SimCommand strobe;
        strobe.action = vornhost::SimAction::StrobeEvent;
        simulate(strobe);
    });
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.text(controls::event::kSeconds), "7.25");
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(view.disabledDuringBlocking[0].size(), 3u);
}

TEST_F(EventE2eTest, NoEventWithinTheTimeoutShowsTheTimeout) {
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::event::kTimeout, "2");
    pressWhileWaiting(dialog, view, controls::event::kCheck,
                      [&] { advance(2 * kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
    EXPECT_EQ(view.text(controls::event::kDays), "0");
}

TEST_F(EventE2eTest, TimeoutZeroAnswersAtOnceFromTheQueueOrTimesOut) {
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::event::kTimeout, "0");
    pressWhileWaiting(dialog, view, controls::event::kCheck, [&] { advance(kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});

    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    dialog.onCommand(view, controls::event::kCheck);
    EXPECT_EQ(view.messages.size(), 1u) << "the queued tag is shown without waiting";
    EXPECT_EQ(view.text(controls::event::kDays), "61");
}

TEST_F(EventE2eTest, FlushDiscardsQueuedTags) {
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    EventDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    dialog.onCommand(view, controls::event::kFlushFifo);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(board().fifoLevel, 0u);
    view.setText(controls::event::kTimeout, "1");
    pressWhileWaiting(dialog, view, controls::event::kCheck, [&] { advance(kSecond + kMilli); });
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
}

} // namespace
} // namespace vorngui
