// "Synchronization Check", "Synchronization Setup" and "Set Propagation Delay Correction".
#include "operation_fixture.h"
#include "resource_ids.h"
#include "sync_dialogs.h"

namespace vorngui {
namespace {

using ::testing::_;
using ::testing::DoAll;
using testing::OperationDialogFixture;
using ::testing::Pointee;
using ::testing::Return;
using ::testing::SetArgPointee;

class SyncDialogsTest : public OperationDialogFixture {};

TEST_F(SyncDialogsTest, CheckShowsTheBoardStatus) {
    EXPECT_CALL(fakes.board, synchStatus(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(uint8_t{1}), Return(0)))
        .WillOnce(DoAll(SetArgPointee<1>(uint8_t{0}), Return(0)));
    SyncCheckDialog dialog(fakes.services);
    open(dialog);
    dialog.onCommand(view, controls::sync_check::kCheck);
    EXPECT_TRUE(view.isChecked(controls::sync_check::kSynchronized));
    dialog.onCommand(view, controls::sync_check::kCheck);
    EXPECT_FALSE(view.isChecked(controls::sync_check::kSynchronized));
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(SyncDialogsTest, AFailedCheckLeavesTheBoxAsItWas) {
    EXPECT_CALL(fakes.board, synchStatus(_, _))
        .WillOnce(DoAll(SetArgPointee<1>(uint8_t{1}), Return(0)))
        .WillOnce(DoAll(SetArgPointee<1>(uint8_t{0}), Return(VORN_ERR_DEVICE)));
    SyncCheckDialog dialog(fakes.services);
    open(dialog);
    dialog.onCommand(view, controls::sync_check::kCheck);
    dialog.onCommand(view, controls::sync_check::kCheck);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not check Synch Status!!"});
    EXPECT_TRUE(view.isChecked(controls::sync_check::kSynchronized));
    dialog.onCommand(view, controls::sync_check::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(SyncDialogsTest, DemonstrationCheckAlternatesAcrossReopenings) {
    EXPECT_CALL(fakes.board, synchStatus(_, _)).Times(0);
    SyncCheckDialog first(fakes.services);
    open(first, true);
    first.onCommand(view, controls::sync_check::kCheck);
    EXPECT_TRUE(view.isChecked(controls::sync_check::kSynchronized));
    first.onCommand(view, controls::sync_check::kCheck);
    EXPECT_FALSE(view.isChecked(controls::sync_check::kSynchronized));

    testing::FakeView reopened;
    SyncCheckDialog second(fakes.services);
    give(second, true);
    second.onInitDialog(reopened);
    EXPECT_FALSE(reopened.isChecked(controls::sync_check::kSynchronized)) << "opens cleared";
    second.onCommand(reopened, controls::sync_check::kCheck);
    EXPECT_TRUE(reopened.isChecked(controls::sync_check::kSynchronized));
}

TEST_F(SyncDialogsTest, SetupListsFreewheelAboveSynchronizeAndSendsThePosition) {
    std::vector<uint8_t> sent;
    EXPECT_CALL(fakes.board, synchControl(_, _))
        .Times(2)
        .WillRepeatedly([&sent](BoardHandle, uint8_t* control) {
            sent.push_back(*control);
            *control = 0xEE;
            return uint8_t{0};
        });
    for (const int choice : {SyncSetupDialog::kSynchronize, SyncSetupDialog::kFreewheel}) {
        SyncSetupDialog dialog(fakes.services);
        view = {};
        open(dialog);
        EXPECT_EQ(view.listItems(controls::sync_setup::kControl),
                  (std::vector<std::string>{"Freewheel", "Synchronize"}));
        EXPECT_EQ(view.listSelection(controls::sync_setup::kControl), SyncSetupDialog::kFreewheel);
        view.setListSelection(controls::sync_setup::kControl, choice);
        dialog.onCommand(view, controls::sync_setup::kSet);
        EXPECT_EQ(view.ended, DialogResult::Ok);
    }
    EXPECT_EQ(sent, (std::vector<uint8_t>{1, 0}));
}

TEST_F(SyncDialogsTest, SetupRefusalsKeepTheDialogOpen) {
    EXPECT_CALL(fakes.board, synchControl(_, _)).WillOnce(Return(VORN_ERR_DEVICE));
    SyncSetupDialog dialog(fakes.services);
    open(dialog);
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could not set synch options!!"});
    view.setListSelection(controls::sync_setup::kControl, -1);
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages.back(), "Invalid Control!!");
    EXPECT_FALSE(view.ended);
    dialog.onCommand(view, controls::sync_setup::kCancel);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(SyncDialogsTest, DemonstrationSetupClosesWithoutTheBoard) {
    EXPECT_CALL(fakes.board, synchControl(_, _)).Times(0);
    SyncSetupDialog dialog(fakes.services);
    open(dialog, true);
    dialog.onCommand(view, controls::sync_setup::kSet);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(SyncDialogsTest, ANegativeCorrectionIsSentAsEntered) {
    EXPECT_CALL(fakes.board, setPropDelayCorr(_, Pointee(-250))).WillOnce(Return(0));
    PropDelayDialog dialog(fakes.services);
    open(dialog);
    EXPECT_EQ(view.text(controls::prop_delay::kCorrection), "0");
    view.setText(controls::prop_delay::kCorrection, "-250");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(SyncDialogsTest, ARefusedCorrectionLeavesZero) {
    EXPECT_CALL(fakes.board, setPropDelayCorr(_, Pointee(9000))).WillOnce(Return(VORN_ERR_RANGE));
    PropDelayDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::prop_delay::kCorrection, "9000");
    dialog.onCommand(view, controls::prop_delay::kSet);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"Could not set Propagation Delay Correction!!"});
    EXPECT_EQ(view.text(controls::prop_delay::kCorrection), "0");
    EXPECT_EQ(dialog.correction(), 0);
    EXPECT_FALSE(view.ended);
}

TEST_F(SyncDialogsTest, AnUnparsedCorrectionSendsNothing) {
    EXPECT_CALL(fakes.board, setPropDelayCorr(_, _)).Times(0);
    PropDelayDialog dialog(fakes.services);
    open(dialog);
    view.setText(controls::prop_delay::kCorrection, "12x");
    dialog.onEnterKey(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter an integer."});
    EXPECT_EQ(view.focused, controls::prop_delay::kCorrection);
    EXPECT_FALSE(view.ended);
}

TEST_F(SyncDialogsTest, DemonstrationCorrectionClosesWithoutTheBoard) {
    EXPECT_CALL(fakes.board, setPropDelayCorr(_, _)).Times(0);
    PropDelayDialog dialog(fakes.services);
    open(dialog, true);
    view.setText(controls::prop_delay::kCorrection, "100");
    dialog.onCommand(view, controls::prop_delay::kSet);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

TEST_F(SyncDialogsTest, MenuCommandsOpenTheirDialogs) {
    testing::expectMenuOpens({
        {commands::kSyncStatus, templates::kSyncCheck},
        {commands::kSyncControl, templates::kSyncSetup},
        {commands::kPropDelay, templates::kPropDelay},
    });
}

} // namespace
} // namespace vorngui
