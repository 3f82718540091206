// The in-process host: one per program, machines it refuses, and each board model's device.
#include "device_channel.h"
#include "ntemu/verifier.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

namespace {

using namespace vornhost;

constexpr uint16_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

TEST(InProcessTest, OneHostPerProgramAtATime) {
    auto first = openInProcessChannel(defaultMachine());
    ASSERT_TRUE(first);
    EXPECT_FALSE(openInProcessChannel(defaultMachine()));
    first.reset();
    auto again = openInProcessChannel(defaultMachine());
    ASSERT_TRUE(again);
    uint64_t handle = 0;
    EXPECT_EQ(again->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
}

TEST(InProcessTest, RefusedMachineGivesNoChannel) {
    vornsim::MachineDescription twice = defaultMachine();
    twice.cards.push_back(twice.cards[0]); // the same bus, slot and function again
    EXPECT_FALSE(openInProcessChannel(twice));
    // Refusal leaves nothing behind: a good machine starts afterwards.
    EXPECT_TRUE(openInProcessChannel(defaultMachine()));
}

TEST(InProcessTest, EachModelAnswersWithItsCode) {
    vornsim::MachineDescription machine;
    const uint16_t models[] = {0x7000, 0x7100, 0x9070, 0x9072};
    for (unsigned n = 0; n < 4; ++n)
        machine.cards.push_back(
            vornsim::CardDescription::board(models[n], 0, n + 1, 10, n % 2 ? 0x9030 : 0x9050));
    auto channel = openInProcessChannel(machine);
    ASSERT_TRUE(channel);
    for (unsigned n = 0; n < 4; ++n) {
        std::u16string name = u"\\\\.\\VORNpci" + std::u16string(1, char16_t(u'0' + n));
        uint64_t handle = 0;
        ASSERT_EQ(channel->open(name, kShareAll, &handle), STATUS_SUCCESS);
        vornpci::OpenReply reply{};
        ASSERT_EQ(
            channel->deviceIoControl(handle, vornpci::IOCTL_VORNPCI_OPEN, &reply, 8, &reply, 8)
                .status,
            STATUS_SUCCESS);
        EXPECT_EQ(reply.modelCode, models[n]);
        EXPECT_EQ(reply.slotNumber, n + 1);
        BoardState state;
        ASSERT_EQ(channel->inspectBoard(n, &state), STATUS_SUCCESS);
        EXPECT_EQ(state.model, models[n]);
    }
}

TEST(InProcessTest, HandlesLeftOpenAreClosedWithTheChannel) {
    auto channel = openInProcessChannel(defaultMachine());
    ASSERT_TRUE(channel);
    uint64_t handle = 0;
    ASSERT_EQ(channel->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
    ASSERT_EQ(channel->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
    // The driver must unload cleanly although the caller never closed: a leak or a refused
    // unload would leave a verifier report behind, which fails the test.
    channel.reset();
    EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);
    EXPECT_TRUE(openInProcessChannel(defaultMachine()));
}

} // namespace
