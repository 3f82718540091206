// The board selection: the name each radio button gives, and which name OK, Enter, Escape and
// the close box leave.
#include "board_select_dialog.h"
#include "fake_services.h"
#include "fake_view.h"

#include <gtest/gtest.h>

namespace vorngui {
namespace {

using namespace controls::board_select;
using testing::FakeServices;
using testing::FakeView;

TEST(BoardSelectDialogTest, OpensOnThePciBoardAndRadiosReplaceTheTypedName) {
    FakeServices fake;
    FakeView view;
    BoardSelectDialog select(fake.services);
    select.onInitDialog(view);
    EXPECT_EQ(view.text(kDeviceName), "VORNpci0");
    EXPECT_TRUE(view.isChecked(kPci));
    for (int radio : {kCompactPci, kIsa, kDemo}) {
        EXPECT_FALSE(view.isChecked(radio)) << radio;
    }

    const std::pair<int, const char*> radios[] = {
        {kCompactPci, "VORNcpci0"}, {kIsa, "VORNisa0"}, {kDemo, "DEMO"}, {kPci, "VORNpci0"}};
    for (const auto& [radio, name] : radios) {
        view.setText(kDeviceName, "typed");
        select.onCommand(view, radio);
        EXPECT_EQ(view.text(kDeviceName), name);
        EXPECT_EQ(select.deviceName(), name);
        EXPECT_TRUE(view.isChecked(radio));
    }
}

TEST(BoardSelectDialogTest, OkAndEnterTakeTheTypedNameEscapeKeepsTheRadiosAndCloseBoxEmptiesIt) {
    FakeServices fake;
    for (const bool enter : {false, true}) {
        FakeView view;
        BoardSelectDialog select(fake.services);
        select.onInitDialog(view);
        view.setText(kDeviceName, "VORNpci3");
        enter ? select.onEnterKey(view) : select.onCommand(view, kOk);
        EXPECT_EQ(view.ended, DialogResult::Ok);
        EXPECT_EQ(select.deviceName(), "VORNpci3");
    }

    FakeView view;
    BoardSelectDialog select(fake.services);
    select.onInitDialog(view);
    select.onCommand(view, kIsa);
    view.setText(kDeviceName, "typed but not taken");
    select.onEscapeKey(view);
    EXPECT_EQ(view.ended, DialogResult::Cancel);
    EXPECT_EQ(select.deviceName(), "VORNisa0");

    select.onCloseBox(view);
    EXPECT_EQ(select.deviceName(), "");
}

} // namespace
} // namespace vorngui
