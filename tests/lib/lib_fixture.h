// The library tests' fixture: each case runs over each way of reaching a private host (an
// in-process host on the virtual clock, or a vornhost daemon on the real clock: short
// time-outs, and assertions on results only where timing matters), with VORNpci0 open.
#pragma once

#include "host_rig.h"
#include "vorn.h"

#include <functional>
#include <future>

namespace libtest {

using vorntest::kMilli;
using vorntest::kSecond;
using vorntest::kStartUtc;
using vorntest::oneBoard;
using vorntest::rigKinds;
using vorntest::rigName;

class LibTest : public vorntest::PrivateHostTest,
                public ::testing::WithParamInterface<vorntest::RigKind> {
protected:
    void SetUp() override {
        restart(oneBoard());
        ASSERT_EQ(VORN_open(&m_handle, "VORNpci0"), VORN_OK);
    }
    void TearDown() override {
        if (m_handle != nullptr) {
            EXPECT_EQ(VORN_close(m_handle), VORN_OK);
        }
        PrivateHostTest::TearDown();
    }

    // Starts on `machine` instead of the one-board default; opens nothing.
    void restart(const vornsim::MachineDescription& machine) {
        if (m_handle != nullptr)
            VORN_close(m_handle);
        m_handle = nullptr;
        start(machine, GetParam());
    }

    // Runs a call that blocks in the driver on a thread of its own; under virtual time, once it
    // is pending, moves the clock on by `ticks` so that its interrupt or time-out can come.
    uint8_t blockingCall(const std::function<uint8_t()>& call, int64_t ticks) {
        std::future<uint8_t> result = std::async(std::launch::async, call);
        if (virtualTime()) {
            EXPECT_TRUE(rig().waitForPending(1));
            advance(ticks);
        }
        return result.get();
    }

    BoardHandle m_handle = nullptr;
};

} // namespace libtest
