// Driver start-up and unload: which boards become which devices, a driver with no board, and
// a failure injected at every step of a board device's construction.
#include "driver_fixture.h"

#include "ntemu/faults.h"
#include "ntemu/hal.h"

#include <algorithm>
#include <optional>

namespace vornpcitest {
namespace {

using namespace vornpci;
using namespace vorntest;

vornsim::MachineDescription machineOf(std::vector<vornsim::CardDescription> cards,
                                      std::vector<unsigned> buses = {}) {
    vornsim::MachineDescription description;
    description.cards = std::move(cards);
    description.extraBuses = std::move(buses);
    return description;
}

vornsim::CardDescription boardAt(unsigned bus, unsigned slot, uint16_t model = 0x9070,
                                 uint16_t bridge = 0x9050) {
    return vornsim::CardDescription::board(model, bus, slot, 11, bridge);
}

class StartupTest : public ::testing::Test {
protected:
    void TearDown() override { ntemu::faults::clear(); }

    // The open reply of VORNpci<index>: model code and slot, or nothing when it cannot be opened.
    static std::optional<OpenReply> openReply(vornhost::DriverHost& host, unsigned index) {
        auto process = host.createProcess();
        ntemu::Handle handle = 0;
        if (process->open(vornhost::deviceName(index), {}, &handle) != STATUS_SUCCESS)
            return std::nullopt;
        Bytes output(8);
        ntemu::IoResult result = process->createThread().deviceIoControl(
            handle, IOCTL_VORNPCI_OPEN, Bytes(8).data(), 8, output.data(), 8);
        process->close(handle);
        if (result.status != STATUS_SUCCESS)
            return std::nullopt;
        return valueOf<OpenReply>(output);
    }

    // Nothing of the driver is left in the system.
    static void expectNothingLeft(vornhost::DriverHost& host) {
        EXPECT_EQ(host.io().findDevice(u"\\Device\\VORNpci0"), nullptr);
        EXPECT_FALSE(host.io().linkExists(u"\\DosDevices\\VORNpci0"));
        EXPECT_EQ(host.system().hal().claimCount(), 0u);
        EXPECT_EQ(host.system().hal().connectedInterruptCount(), 0u);
        EXPECT_EQ(host.system().hal().mappingCount(), 0u);
        EXPECT_TRUE(host.system().kernel().poolBlocks().empty());
        EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);
    }
};

// Time tags the board took before the driver started are old: start-up drops them.
TEST_F(StartupTest, EventsTaggedBeforeTheDriverStartedAreDropped) {
    vornhost::DriverHost host(oneBoard(), boardHostOptions());
    host.board(0)->strobeEvents(3);
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    EXPECT_EQ(host.board(0)->fifoLevel(), 0u);
    EXPECT_EQ(boardDevice(host, 0)->EventRingFrames, 0u);
    EXPECT_TRUE(host.unload());
}

// Slot 9 holds the older bridge: it must not be found ahead of slot 3, nor slot 3 passed over.
TEST_F(StartupTest, BoardsAreNamedInBusAndSlotOrder) {
    vornhost::DriverHost host(
        machineOf({boardAt(2, 1, 0x7000), boardAt(0, 9, 0x7100, 0x9030), boardAt(0, 3)}),
        boardHostOptions());
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    std::vector<std::pair<uint16_t, uint8_t>> found;
    for (unsigned i = 0; i < 3; ++i) {
        auto reply = openReply(host, i);
        ASSERT_TRUE(reply) << i;
        found.emplace_back(reply->modelCode, reply->slotNumber);
    }
    EXPECT_EQ(found,
              (std::vector<std::pair<uint16_t, uint8_t>>{{0x9070, 3}, {0x7100, 9}, {0x7000, 1}}));
    EXPECT_FALSE(openReply(host, 3));
    EXPECT_TRUE(host.unload());
    expectNothingLeft(host);
}

TEST_F(StartupTest, ACardOfAnotherSubsystemVendorEndsItsBus) {
    vornsim::CardIds foreign;
    foreign.subsystemVendorId = 0x1234;
    vornhost::DriverHost host(
        machineOf({boardAt(0, 3), vornsim::CardDescription::other(foreign, 0, 5, 10), boardAt(0, 9),
                   boardAt(1, 4)}),
        boardHostOptions());
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    EXPECT_EQ(openReply(host, 0)->slotNumber, 3);
    EXPECT_EQ(openReply(host, 1)->slotNumber, 4); // bus 1: slot 9 of bus 0 was never reached
    EXPECT_FALSE(openReply(host, 2));
}

TEST_F(StartupTest, ACardInSlot31EndsItsBusWithoutAnotherAttempt) {
    vornhost::DriverHost host(machineOf({boardAt(0, 31), boardAt(1, 0)}), boardHostOptions());
    ntemu::faults::clear();
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    EXPECT_EQ(openReply(host, 0)->slotNumber, 31);
    EXPECT_EQ(openReply(host, 1)->slotNumber, 0);
    // Bus 0: one device; bus 1: one device and one attempt that finds nothing more; buses 2
    // to 15: one attempt each.
    EXPECT_EQ(ntemu::faults::calls(ntemu::FaultPoint::IoCreateDevice), 1u + 2u + 14u);
}

TEST_F(StartupTest, NoBoardMeansNoDriverAndNothingLeft) {
    vornsim::CardIds foreign;
    foreign.subsystemVendorId = 0x4321;
    vornhost::DriverHost host(machineOf({vornsim::CardDescription::other(foreign, 0, 2, 9)}, {3}),
                              boardHostOptions());
    EXPECT_EQ(host.load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host.loaded());
    expectNothingLeft(host);
}

// Each construction step that can fail is made to fail in turn (every call of each fault point
// a clean start-up makes); with the one board gone, the driver does not load and leaves
// nothing behind, and where the failure hits a later attempt the board loads and unloads clean.
TEST_F(StartupTest, AFailureAtEveryStepLeavesNothingBehind) {
    using ntemu::FaultPoint;
    std::vector<std::pair<FaultPoint, uint64_t>> points;
    {
        vornhost::DriverHost host(machineOf({boardAt(0, 3)}), boardHostOptions());
        ntemu::faults::clear();
        ASSERT_EQ(host.load(), STATUS_SUCCESS);
        for (FaultPoint point :
             {FaultPoint::PoolAllocation, FaultPoint::IoCreateDevice,
              FaultPoint::IoCreateSymbolicLink, FaultPoint::HalAssignSlotResources,
              FaultPoint::MmMapIoSpace, FaultPoint::IoConnectInterrupt})
            points.emplace_back(point, ntemu::faults::calls(point));
    }
    size_t failedLoads = 0;
    for (auto [point, calls] : points) {
        for (uint64_t n = 1; n <= calls; ++n) {
            vornhost::DriverHost host(machineOf({boardAt(0, 3)}), boardHostOptions());
            ntemu::faults::clear();
            ntemu::faults::failNth(point, n);
            NTSTATUS status = host.load();
            ntemu::faults::clear();
            SCOPED_TRACE(testing::Message() << "fault point " << int(point) << " call " << n);
            if (status == STATUS_SUCCESS) {
                EXPECT_TRUE(openReply(host, 0));
                EXPECT_TRUE(host.unload());
            } else {
                ++failedLoads;
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY)
                    << std::hex << status;
            }
            expectNothingLeft(host);
        }
    }
    // Device creation, link, resource claim and interrupt each fail the only board.
    EXPECT_GE(failedLoads, 4u);
}

TEST_F(StartupTest, UnloadAfterHeartbeatWaitsLeavesNothingQueued) {
    vornhost::DriverHost host(machineOf({boardAt(0, 3)}), boardHostOptions());
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    auto process = host.createProcess();
    ntemu::Handle handle = 0;
    ASSERT_EQ(process->open(vornhost::deviceName(0), {}, &handle), STATUS_SUCCESS);
    Bytes none;
    HeartObj heart{1, 0xE5, 0x0001, {}}; // 10 kHz: interrupts keep coming
    ASSERT_EQ(process->createThread()
                  .deviceIoControl(handle, IOCTL_VORNPCI_SET_HEARTBEAT, &heart, 6, nullptr, 0)
                  .status,
              STATUS_SUCCESS);
    // The heartbeat wait ends at the next heartbeat; the interrupts go on until unload.
    AsyncRequest wait(*process, handle, IOCTL_VORNPCI_WAIT_HEART, timeoutOf(3'600'000), 0);
    // A heartbeat latched before the wait may end it at once; otherwise the next one does.
    for (int step = 0; step < 100'000 && !wait.done(); ++step)
        host.virtualClock()->advance(100 * ntemu::kMicrosecond);
    EXPECT_EQ(wait.result().status, STATUS_SUCCESS);
    process->close(handle);
    EXPECT_TRUE(host.unload());
    // No timer or DPC left in the freed device extension, no leak.
    expectNothingLeft(host);
}

} // namespace
} // namespace vornpcitest
