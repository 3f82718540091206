// A fixture for operation dialogs over the real library: a private in-process host with one
// simulated board on the virtual clock, opened as the main window opens it, and the means to
// press a button whose handler blocks in a wait while the test moves the clock.
#pragma once

#include "dialog.h"
#include "fake_view.h"
#include "private_board_fixture.h"
#include "vorn.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>

namespace vorngui::testing {

class OperationE2eFixture : public e2e::PrivateBoardFixture {
protected:
    // 100 ns units of the virtual clock.
    static constexpr int64_t kMilli = 10'000;
    static constexpr int64_t kSecond = 1000 * kMilli;

    void SetUp() override { boot(0x9070); }

    void TearDown() override {
        if (m_handle != nullptr) {
            EXPECT_EQ(VORN_close(m_handle), VORN_OK);
        }
        PrivateBoardFixture::TearDown();
    }

    // Boots a fresh host with one board of `model` and opens it as "VORNpci0".
    void boot(uint16_t model) {
        if (m_handle != nullptr) {
            VORN_close(m_handle);
            m_handle = nullptr;
        }
        bootHost(model);
        ASSERT_EQ(VORN_open(&m_handle, "VORNpci0"), VORN_OK);
    }

    // Gives the dialog the open board and runs its opening on `view`.
    void open(Dialog& dialog, FakeView& view) {
        dialog.setBoard(m_handle, 0);
        dialog.onInitDialog(view);
    }

    void simulate(const vornhost::SimCommand& command) {
        EXPECT_EQ(channel().simulate(command), STATUS_SUCCESS);
    }

    void advance(int64_t ticks) { channel().host().virtualClock()->advance(ticks); }

    // Presses `control` on a thread of its own, standing for the user-interface thread that the
    // wait blocks; once the wait is parked in the driver, runs `meanwhile` (which moves the clock
    // or strobes the board), then waits for the handler to return.
    void pressWhileWaiting(Dialog& dialog, FakeView& view, int control,
                           const std::function<void()>& meanwhile) {
        std::future<void> pressed =
            std::async(std::launch::async, [&] { dialog.onCommand(view, control); });
        const bool parked = channel().waitForPending(1);
        if (parked) {
            meanwhile();
        } else {
            // Let a wait that is somewhere else still end, so the test fails instead of hanging.
            advance(24 * 3600 * kSecond);
        }
        pressed.get();
        EXPECT_TRUE(parked) << "the wait never reached the driver";
    }

    BoardHandle m_handle = nullptr;
};

} // namespace vorngui::testing
