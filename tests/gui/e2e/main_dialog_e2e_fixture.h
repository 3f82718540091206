// The control utility end to end: its dialogs over the real library, which reaches a private
// in-process host with the driver and simulated boards on a virtual clock. The operator is played
// by scripts on recording views.
#pragma once

#include "board_select_dialog.h"
#include "fake_view.h"
#include "main_dialog.h"
#include "private_board_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vorngui::e2e {

class MainDialogE2eFixture : public PrivateBoardFixture {
protected:
    void SetUp() override { boot(0x9070); }

    void TearDown() override {
        m_main.reset();
        EXPECT_EQ(vornlib::testing::openBoardCount(), 0u);
        PrivateBoardFixture::TearDown();
    }

    // A machine with one board of `model` as "VORNpci0"; the library's next open reaches it.
    void boot(uint16_t model) {
        m_main.reset();
        bootHost(model);
    }

    // Runs the main window's opening with `deviceName` typed into the board selection.
    MainDialog& openMain(const std::string& deviceName = "VORNpci0") {
        fakes.runner.script(templates::kBoardSelect, [deviceName](Dialog& d, testing::FakeView& v) {
            v.setText(controls::board_select::kDeviceName, deviceName);
            d.onCommand(v, controls::board_select::kOk);
        });
        m_main = std::make_unique<MainDialog>(services);
        m_main->onInitDialog(mainView);
        return *m_main;
    }

    // The view of the last dialog the main window ran.
    testing::FakeView& lastView() { return fakes.runner.views.back(); }

    testing::FakeView mainView;

private:
    std::unique_ptr<MainDialog> m_main;
};

} // namespace vorngui::e2e
