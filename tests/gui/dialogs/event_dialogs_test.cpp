// "Get Time Tag Event" and "Simulate Time Tag Event": the wait and its results, the buttons
// while it blocks, flushing, simulating, and the demonstration board's alternation.
#include "event_dialogs.h"
#include "operation_fixture.h"
#include "resource_ids.h"

namespace vorngui {
namespace {

using ::testing::_;
using ::testing::Field;
using testing::OperationDialogFixture;
using ::testing::Pointee;
using ::testing::Return;

class EventDialogsTest : public OperationDialogFixture {
protected:
    // Types the time-out and presses "Check".
    void check(EventDialog& dialog, testing::FakeView& on, const std::string& timeout) {
        on.setText(controls::event::kTimeout, timeout);
        dialog.onCommand(on, controls::event::kCheck);
    }
    void expectZeroTime(const testing::FakeView& on) {
        EXPECT_EQ(on.text(controls::event::kDays), "0");
        EXPECT_EQ(on.text(controls::event::kHours), "0");
        EXPECT_EQ(on.text(controls::event::kMinutes), "0");
        EXPECT_EQ(on.text(controls::event::kSeconds), "0");
    }
};

TEST_F(EventDialogsTest, ATagShowsItsDayAndTime) {
    EventDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, waitEvent(_, Pointee(Field(&EventObj::timeoutMs, 5000u))))
        .WillOnce([](BoardHandle, EventObj* event) {
            event->dayOfYear = 61;
            event->hours = 12;
            event->minutes = 3;
            event->seconds = 7.654321;
            return uint8_t{0};
        });
    open(dialog);
    check(dialog, view, " 5 ");
    EXPECT_EQ(view.text(controls::event::kDays), "61");
    EXPECT_EQ(view.text(controls::event::kHours), "12");
    EXPECT_EQ(view.text(controls::event::kMinutes), "3");
    EXPECT_EQ(view.text(controls::event::kSeconds), "7.654321");
    EXPECT_TRUE(view.messages.empty());
    EXPECT_FALSE(view.ended);
}

TEST_F(EventDialogsTest, TheThreeButtonsAreDisabledOnlyWhileTheWaitBlocks) {
    EventDialog dialog(fakes.services);
    open(dialog);
    check(dialog, view, "1");
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(view.disabledDuringBlocking[0],
              (std::vector<int>{controls::event::kCancel, controls::event::kCheck,
                                controls::event::kFlushFifo}));
    for (const int button :
         {controls::event::kCancel, controls::event::kCheck, controls::event::kFlushFifo}) {
        EXPECT_TRUE(view.isEnabled(button)) << button;
    }
}

TEST_F(EventDialogsTest, TimeoutZeroStillAsksTheBoardAndTimesOutWithZeroFields) {
    EventDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, waitEvent(_, Pointee(Field(&EventObj::timeoutMs, 0u))))
        .WillOnce(Return(VORN_WAIT_TIMEOUT));
    open(dialog);
    view.setText(controls::event::kDays, "100");
    check(dialog, view, "0");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
    expectZeroTime(view);
}

TEST_F(EventDialogsTest, AWaitThatCannotStartSaysSo) {
    EventDialog dialog(fakes.services);
    ON_CALL(fakes.board, waitEvent(_, _)).WillByDefault(Return(VORN_WAIT_NOT_STARTED));
    open(dialog);
    check(dialog, view, "2");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Cannot wait for event!!"});
    expectZeroTime(view);
}

TEST_F(EventDialogsTest, ATimeoutBeyondThirtyTwoBitsOfMillisecondsWaitsTheLongestWait) {
    EventDialog dialog(fakes.services);
    // 4294967 s is the last that fits in milliseconds; 4294968 s would wrap to 704 ms.
    {
        ::testing::InSequence inOrder;
        EXPECT_CALL(fakes.board, waitEvent(_, Pointee(Field(&EventObj::timeoutMs, 4294967000u))))
            .WillOnce(Return(VORN_WAIT_TIMEOUT));
        EXPECT_CALL(fakes.board, waitEvent(_, Pointee(Field(&EventObj::timeoutMs, 4294967295u))))
            .Times(2)
            .WillRepeatedly(Return(VORN_WAIT_TIMEOUT));
    }
    open(dialog);
    check(dialog, view, "4294967");
    check(dialog, view, "4294968");
    check(dialog, view, "4294967295");
}

TEST_F(EventDialogsTest, AnUnparsedTimeoutWaitsForNothingAndKeepsTheDialogOpen) {
    EventDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, waitEvent(_, _)).Times(0);
    open(dialog);
    check(dialog, view, "abc");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter a positive integer."});
    EXPECT_EQ(view.focused, controls::event::kTimeout);
    EXPECT_EQ(view.blockingCalls, 0);

    // Nor in demonstration mode: the toggle is left alone.
    testing::FakeView demoView;
    EventDialog demoDialog(fakes.services);
    give(demoDialog, true);
    demoDialog.onInitDialog(demoView);
    check(demoDialog, demoView, "-1");
    EXPECT_FALSE(fakes.process.eventToggle);
    EXPECT_TRUE(fakes.clock.sleeps.empty());

    // "Cancel" takes the accept path, which stops at the same field.
    dialog.onCommand(view, controls::event::kCancel);
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(view.messages.back(), "Please enter a positive integer.");
}

TEST_F(EventDialogsTest, RangeChecksOfTheTimeFieldsStopTheAcceptPath) {
    EventDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::event::kDays, "367");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages.back(), "Please enter an integer between 0 and 366.");
    view.setText(controls::event::kDays, "366");
    view.setText(controls::event::kHours, "24");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages.back(), "Please enter an integer between 0 and 23.");
    view.setText(controls::event::kHours, "23");
    view.setText(controls::event::kSeconds, "60.5");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages.back(), "Please enter a number between 0 and 60.");
    EXPECT_FALSE(view.ended);
    view.setText(controls::event::kSeconds, "60");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(EventDialogsTest, DemonstrationAlternatesAcrossReopenings) {
    EXPECT_CALL(fakes.board, waitEvent(_, _)).Times(0);
    fakes.clock.now = {2024, 3, 2, 5, 12, 34, 56, 789};
    EventDialog first(fakes.services);
    open(first, true);
    check(first, view, "3");
    EXPECT_EQ(view.text(controls::event::kDays), "65");
    EXPECT_EQ(view.text(controls::event::kHours), "12");
    EXPECT_EQ(view.text(controls::event::kMinutes), "34");
    EXPECT_EQ(view.text(controls::event::kSeconds), "56.789");
    EXPECT_TRUE(view.messages.empty());

    check(first, view, "3");
    EXPECT_EQ(fakes.clock.sleeps, std::vector<uint32_t>{3000});
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
    expectZeroTime(view);
    ASSERT_EQ(view.blockingCalls, 1);
    EXPECT_EQ(view.disabledDuringBlocking[0].size(), 3u);

    testing::FakeView reopened;
    EventDialog second(fakes.services);
    give(second, true);
    second.onInitDialog(reopened);
    check(second, reopened, "3");
    EXPECT_EQ(reopened.text(controls::event::kDays), "65") << "the alternation carried over";
    EXPECT_TRUE(reopened.messages.empty());
}

TEST_F(EventDialogsTest, DemonstrationTimeoutZeroTimesOutAndMakesTheNextCheckAnswer) {
    EventDialog dialog(fakes.services);
    open(dialog, true);
    check(dialog, view, "1");
    EXPECT_TRUE(fakes.process.eventToggle);
    check(dialog, view, "0");
    EXPECT_FALSE(fakes.process.eventToggle);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Event Timeout!!"});
    EXPECT_TRUE(fakes.clock.sleeps.empty()) << "no wait for a zero time-out";
    check(dialog, view, "1");
    EXPECT_TRUE(fakes.process.eventToggle);
    EXPECT_EQ(view.messages.size(), 1u);
}

TEST_F(EventDialogsTest, DemonstrationDay366IsAcceptedByTheNextReadBack) {
    fakes.clock.now = {2024, 12, 2, 31, 23, 59, 59, 999};
    EventDialog dialog(fakes.services);
    open(dialog, true);
    check(dialog, view, "1");
    EXPECT_EQ(view.text(controls::event::kDays), "366");
    EXPECT_EQ(view.text(controls::event::kSeconds), "59.999");
    dialog.onCommand(view, controls::event::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(EventDialogsTest, FlushAsksTheBoardOutsideDemonstrationOnly) {
    EventDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, flushFIFO(_)).WillOnce(Return(0)).WillOnce(Return(7));
    open(dialog);
    dialog.onCommand(view, controls::event::kFlushFifo);
    EXPECT_TRUE(view.messages.empty());
    dialog.onCommand(view, controls::event::kFlushFifo);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Cannot Flush FIFO!!"});
    EXPECT_FALSE(view.ended);

    EventDialog demo(fakes.services);
    testing::FakeView demoView;
    give(demo, true);
    demo.onCommand(demoView, controls::event::kFlushFifo);
    EXPECT_TRUE(demoView.messages.empty());
}

TEST_F(EventDialogsTest, SimulateCanBePressedAgainAndReportsARefusal) {
    SimulateEventDialog dialog(fakes.services);
    EXPECT_CALL(fakes.board, simEvent(_)).WillOnce(Return(0)).WillOnce(Return(1));
    open(dialog);
    dialog.onCommand(view, controls::simulate_event::kSimulate);
    dialog.onCommand(view, controls::simulate_event::kSimulate);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not simulate time tag!!"});
    EXPECT_FALSE(view.ended);
    dialog.onCommand(view, controls::simulate_event::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);

    SimulateEventDialog demo(fakes.services);
    testing::FakeView demoView;
    give(demo, true);
    demo.onCommand(demoView, controls::simulate_event::kSimulate);
    EXPECT_TRUE(demoView.messages.empty());
    EXPECT_FALSE(demoView.ended);
}

TEST_F(EventDialogsTest, MenuCommandsOpenTheirDialogs) {
    testing::expectMenuOpens({
        {commands::kEventCheck, templates::kEvent},
        {commands::kSimulateEvent, templates::kSimulateEvent},
    });
}

} // namespace
} // namespace vorngui
