// The end-to-end tests' board: a private in-process host with one simulated board on the
// virtual clock, which the library's next open of "VORNpci0" reaches, the means to look at and
// drive that board from the test, and the dialogs' services with the real library in place of
// the mock.
#pragma once

#include "board_api.h"
#include "fake_services.h"
#include "private_host.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace vorngui::e2e {

class PrivateBoardFixture : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(vornlib::testing::resetChannel());
        m_channel.reset();
    }

    // Boots a fresh host with one board of `model` in place of the one before.
    void bootHost(uint16_t model) {
        m_channel.reset();
        m_channel = vorntest::bootPrivateHost(vorntest::oneBoard(model));
        ASSERT_NE(m_channel, nullptr);
    }

    vornhost::BoardState board() {
        vornhost::BoardState state;
        EXPECT_EQ(m_channel->inspectBoard(0, &state), STATUS_SUCCESS);
        return state;
    }
    vornsim::BoardModel& boardModel() { return *m_channel->host().board(0); }
    vornlib::testing::HostChannel& channel() { return *m_channel; }

    testing::FakeServices fakes;
    Services services{libraryBoardApi(), fakes.clock, fakes.random, fakes.process, fakes.runner};

private:
    std::shared_ptr<vornlib::testing::HostChannel> m_channel;
};

} // namespace vorngui::e2e
