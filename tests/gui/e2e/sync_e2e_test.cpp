// The synchronization and propagation dialogs over the real library, driver and board model.
#include "operation_e2e_fixture.h"
#include "sync_dialogs.h"

namespace vorngui {
namespace {

class SyncE2eTest : public testing::OperationE2eFixture {
protected:
    void setControl(int position) {
        SyncSetupDialog setup(services);
        testing::FakeView view;
        open(setup, view);
        view.setListSelection(controls::sync_setup::kControl, position);
        setup.onEnterKey(view);
        EXPECT_TRUE(view.messages.empty());
        EXPECT_EQ(view.ended, DialogResult::Ok);
    }
    bool checkShowsSynchronized() {
        SyncCheckDialog check(services);
        testing::FakeView view;
        open(check, view);
        check.onCommand(view, controls::sync_check::kCheck);
        EXPECT_TRUE(view.messages.empty());
        return view.isChecked(controls::sync_check::kSynchronized);
    }
};

TEST_F(SyncE2eTest, ControlThenStatus) {
    vornhost::SimCommand reference;
    reference.action = vornhost::SimAction::SetReference;
    reference.referencePresent = true;
    simulate(reference);

    setControl(SyncSetupDialog::kFreewheel);
    EXPECT_TRUE(board().freewheel);
    EXPECT_FALSE(checkShowsSynchronized());

    setControl(SyncSetupDialog::kSynchronize);
    EXPECT_FALSE(board().freewheel);
    EXPECT_TRUE(checkShowsSynchronized());

    reference.referencePresent = false;
    simulate(reference);
    EXPECT_FALSE(checkShowsSynchronized()) << "no reference to lock to";
}

TEST_F(SyncE2eTest, ACorrectionReachesTheBoard) {
    PropDelayDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::prop_delay::kCorrection, "-250");
    dialog.onCommand(view, controls::prop_delay::kSet);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.ended, DialogResult::Ok);
    EXPECT_EQ(board().propagationDelayMicros, -250);
}

TEST_F(SyncE2eTest, ACorrectionTheBoardCannotTakeLeavesZeroAndTheBoardAlone) {
    PropDelayDialog first(services);
    testing::FakeView firstView;
    open(first, firstView);
    firstView.setText(controls::prop_delay::kCorrection, "4999");
    first.onEnterKey(firstView);
    ASSERT_EQ(board().propagationDelayMicros, 4999);

    PropDelayDialog dialog(services);
    testing::FakeView view;
    open(dialog, view);
    view.setText(controls::prop_delay::kCorrection, "5000");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"Could not set Propagation Delay Correction!!"});
    EXPECT_EQ(view.text(controls::prop_delay::kCorrection), "0");
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(board().propagationDelayMicros, 4999);
}

} // namespace
} // namespace vorngui
