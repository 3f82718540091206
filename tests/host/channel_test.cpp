// One set of device request cases run against both forms of host: in-process and a vornhost
// daemon started from its binary. The board model is the reference for what the driver did.
#include "daemon_client.h"
#include "daemon_host.h"
#include "device_channel.h"
#include "driver_requests.h"
#include "ntemu/io.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace vornhost;
using namespace vornpci;

enum class Kind { InProcess, Daemon };

using namespace vorntest;
constexpr int kBoundMs = 10'000;

class ChannelTest : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::InProcess) {
            m_channel = openInProcessChannel(defaultMachine());
        } else {
            m_daemon = vorntest::startDaemon({});
            ASSERT_TRUE(m_daemon);
            m_client = DaemonClient::connect(m_daemon->socketPath()).release();
            m_channel.reset(m_client);
        }
        ASSERT_TRUE(m_channel);
        ASSERT_EQ(m_channel->open(u"\\\\.\\VORNpci0", kShareAll, &m_handle), STATUS_SUCCESS);
    }

    void TearDown() override {
        m_channel.reset();
        if (m_daemon)
            vorntest::expectCleanStop(*m_daemon);
    }

    template <typename Record>
    ChannelResult control(uint32_t code, Record& record, uint32_t inLength = sizeof(Record)) {
        return m_channel->deviceIoControl(m_handle, code, &record, inLength, &record,
                                          sizeof(Record));
    }

    // Bounded wait until the driver holds at least `count` requests.
    bool waitPending(size_t count) {
        if (m_client)
            return vorntest::pendingAtLeast(*m_client, count);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (ntemu::IoManager::current().liveIrpCount() < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    BoardState boardState() {
        BoardState state;
        EXPECT_EQ(m_channel->inspectBoard(0, &state), STATUS_SUCCESS);
        return state;
    }

    std::unique_ptr<vorntest::DaemonProcess> m_daemon;
    DaemonClient* m_client = nullptr; // the channel, when it is a daemon client
    std::unique_ptr<DeviceChannel> m_channel;
    uint64_t m_handle = 0;
};

TEST_P(ChannelTest, OpenReplyCarriesModelAndSlot) {
    OpenReply reply{{1, 2, 3, 4}, 0, 0, 0x77};
    ChannelResult result = control(IOCTL_VORNPCI_OPEN, reply);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    EXPECT_EQ(reply.modelCode, 0x9070);
    EXPECT_EQ(reply.slotNumber, 3);
    EXPECT_EQ(reply.unused0[3], 4); // left as sent
    EXPECT_EQ(reply.unused7, 0x77);
}

TEST_P(ChannelTest, DevicesThatDoNotExistAreNotFound) {
    for (const char16_t* name :
         {u"\\\\.\\VORNpci1", u"\\\\.\\VORNcpci0", u"\\\\.\\VORNisa0", u"\\\\.\\DEMO"}) {
        uint64_t handle = 99;
        EXPECT_EQ(m_channel->open(name, kShareAll, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(handle, 0u);
    }
}

TEST_P(ChannelTest, DriverVersionNeedsInputLengthSeven) {
    char text[12] = {};
    ChannelResult result =
        m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_GET_DRIVER, text, 7, text, sizeof(text));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 7u);
    EXPECT_STREQ(text, "1.300 ");
    result = m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_GET_DRIVER, text, 12, text, 12);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
}

TEST_P(ChannelTest, HandlesWorkOnlyWhileOpen) {
    TimeObj time{};
    for (uint64_t bad : {uint64_t(0), m_handle + 4, uint64_t(1) << 40}) {
        ChannelResult result =
            m_channel->deviceIoControl(bad, IOCTL_VORNPCI_GET_TIME, &time, 16, &time, 16);
        EXPECT_EQ(result.status, STATUS_INVALID_HANDLE) << bad;
    }
    uint64_t second = 0;
    ASSERT_EQ(m_channel->open(u"\\\\.\\VORNpci0", kShareAll, &second), STATUS_SUCCESS);
    EXPECT_NE(second, m_handle);
    EXPECT_EQ(m_channel->close(second), STATUS_SUCCESS);
    EXPECT_EQ(m_channel->close(second), STATUS_INVALID_HANDLE);
    EXPECT_EQ(
        m_channel->deviceIoControl(second, IOCTL_VORNPCI_GET_TIME, &time, 16, &time, 16).status,
        STATUS_INVALID_HANDLE);
    EXPECT_EQ(control(IOCTL_VORNPCI_GET_TIME, time).status, STATUS_SUCCESS);
}

TEST_P(ChannelTest, ShortOutputBufferIsNeverOverrun) {
    uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof(buffer));
    std::memset(buffer, 0, 16); // a time request's input
    ChannelResult result =
        m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_GET_TIME, buffer, 16, buffer, 8);
    EXPECT_LE(result.information, 8u);
    for (size_t i = 8; i < sizeof(buffer); ++i)
        ASSERT_EQ(buffer[i], i < 16 ? 0 : 0xEE) << i; // past the 8 bytes offered: as before
}

TEST_P(ChannelTest, SimulatedEventIsTaggedWithTheBoardTime) {
    BoardState before = boardState();
    SimCommand strobe;
    strobe.action = SimAction::StrobeEvent;
    ASSERT_EQ(m_channel->simulate(strobe), STATUS_SUCCESS);
    BoardState after = boardState();
    EXPECT_EQ(after.eventsTagged, before.eventsTagged + 1);
    EventWaitRecord record{5000, 0, 0, 0, 0};
    ChannelResult result = control(IOCTL_VORNPCI_WAIT_EVENT, record);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 12u);
    EXPECT_EQ(record.timeoutMs, 5000u);
    auto micros = [](int day, int hours, int minutes, uint32_t inMinute) {
        return ((int64_t(day) * 24 + hours) * 60 + minutes) * 60'000'000 + inMinute;
    };
    if (before.year != after.year)
        GTEST_SKIP() << "the year turned during the test";
    int64_t tagged = micros(record.dayOfYear, record.hours, record.minutes, record.microsInMinute);
    EXPECT_GE(tagged,
              micros(before.dayOfYear, before.hours, before.minutes, before.microsInMinute));
    EXPECT_LE(tagged, micros(after.dayOfYear, after.hours, after.minutes, after.microsInMinute));
}

TEST_P(ChannelTest, WaitWithoutInterruptEndsDeviceNotReady) {
    EXPECT_EQ((Driver{*m_channel, m_handle}.waitMatch(1)), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ((Driver{*m_channel, m_handle}.waitHeartbeat(0)), STATUS_DEVICE_NOT_READY);
}

TEST_P(ChannelTest, BlockedWaitHoldsUpNoOtherThread) {
    auto waiting = std::async(std::launch::async, [&] {
        return Driver{*m_channel, m_handle}.waitHeartbeat(20'000);
    });
    ASSERT_TRUE(waitPending(1));
    for (int i = 0; i < 10; ++i) {
        TimeObj time{};
        ASSERT_EQ(control(IOCTL_VORNPCI_GET_TIME, time).status, STATUS_SUCCESS);
    }
    // 100 Hz from now on: the blocked thread's heartbeat comes within 10 ms.
    HeartObj heart{1, 0xE5, 100, {0, 0}};
    ASSERT_EQ(control(IOCTL_VORNPCI_SET_HEARTBEAT, heart).status, STATUS_SUCCESS);
    EXPECT_EQ(waiting.get(), STATUS_SUCCESS);
    EXPECT_EQ(boardState().heartbeatDivider, 100);
}

TEST_P(ChannelTest, CloseReleasesWaitsOnThatHandleOnly) {
    uint64_t second = 0;
    ASSERT_EQ(m_channel->open(u"\\\\.\\VORNpci0", kShareAll, &second), STATUS_SUCCESS);
    auto waiting = std::async(std::launch::async, [&] {
        return Driver{*m_channel, second}.waitMatch(20'000);
    });
    ASSERT_TRUE(waitPending(1));
    EXPECT_EQ(m_channel->close(second), STATUS_SUCCESS);
    EXPECT_EQ(waiting.get(), STATUS_CANCELLED);
    // The match slot is free again and the first handle serves on.
    EXPECT_EQ((Driver{*m_channel, m_handle}.waitMatch(1)), STATUS_DEVICE_NOT_READY);
}

TEST_P(ChannelTest, SimulateChecksBoardAndValues) {
    SimCommand c;
    c.board = 1;
    EXPECT_EQ(m_channel->simulate(c), STATUS_NO_SUCH_DEVICE);
    c.board = 0;
    c.action = SimAction::StrobeEvents;
    c.count = 0;
    EXPECT_EQ(m_channel->simulate(c), STATUS_INVALID_PARAMETER);
    c.count = 1001;
    EXPECT_EQ(m_channel->simulate(c), STATUS_INVALID_PARAMETER);
    c.action = SimAction::SetGpsScenario;
    c.satellites = 16;
    EXPECT_EQ(m_channel->simulate(c), STATUS_INVALID_PARAMETER);
    c.action = SimAction::StrobeEventAt;
    c.atDayOfYear = 367;
    EXPECT_EQ(m_channel->simulate(c), STATUS_INVALID_PARAMETER);
    c.action = SimAction(99);
    EXPECT_EQ(m_channel->simulate(c), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(boardState().eventsTagged, 0u); // nothing refused reached the board
    c.action = SimAction::StrobeEvents;
    c.count = 3;
    EXPECT_EQ(m_channel->simulate(c), STATUS_SUCCESS);
    EXPECT_EQ(boardState().eventsTagged, 3u);
    BoardState state;
    EXPECT_EQ(m_channel->inspectBoard(1, &state), STATUS_NO_SUCH_DEVICE);
}

TEST_P(ChannelTest, GpsScenarioAndFaultsReachTheDriver) {
    SimCommand gps;
    gps.action = SimAction::SetGpsScenario;
    gps.altitudeDecimetres = 1'234'567;
    gps.latitudeDegrees = 227; // 47 degrees south
    gps.latitudeMinutes = 123'456;
    gps.satellites = 9;
    ASSERT_EQ(m_channel->simulate(gps), STATUS_SUCCESS);
    SatObj sats{0xAA, 0xBB};
    ChannelResult result = control(IOCTL_VORNPCI_GET_SATINFO, sats);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(sats.satellites, 9);
    AltObj altitude{};
    EXPECT_EQ(control(IOCTL_VORNPCI_GET_ALTITUDE, altitude).status, STATUS_SUCCESS);
    EXPECT_EQ(altitude.altitude, 1'234'567);
    LongLat latitude{};
    EXPECT_EQ(control(IOCTL_VORNPCI_GET_LATITUDE, latitude).status, STATUS_SUCCESS);
    EXPECT_EQ(latitude.degrees, 227);
    EXPECT_EQ(latitude.arcMinutes, 123'456u);

    SimCommand faults;
    faults.action = SimAction::SetFaults;
    faults.faultBadEcho = true;
    ASSERT_EQ(m_channel->simulate(faults), STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_VORNPCI_GET_SATINFO, sats).status, STATUS_INVALID_PARAMETER);
    faults.faultBadEcho = false;
    ASSERT_EQ(m_channel->simulate(faults), STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_VORNPCI_GET_SATINFO, sats).status, STATUS_SUCCESS);
}

TEST_P(ChannelTest, InspectionShowsWhatTheDriverProgrammed) {
    int32_t delay = -250;
    ASSERT_EQ(
        m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_SET_PROP_DELAY, &delay, 4, nullptr, 0)
            .status,
        STATUS_SUCCESS);
    uint8_t control[4] = {0, 0, 0, 0}; // freewheel
    ASSERT_EQ(m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_SYNCH_CTRL, control, 4, control, 4)
                  .status,
              STATUS_SUCCESS);
    BoardState state = boardState();
    EXPECT_EQ(state.model, 0x9070);
    EXPECT_EQ(state.propagationDelayMicros, -250);
    EXPECT_TRUE(state.freewheel);
    SimCommand reference;
    reference.action = SimAction::SetReference;
    reference.referencePresent = true;
    ASSERT_EQ(m_channel->simulate(reference), STATUS_SUCCESS);
    EXPECT_TRUE(boardState().referencePresent);
}

TEST_P(ChannelTest, ManyThreadsSideBySide) {
    std::vector<std::future<int>> threads;
    for (int t = 0; t < 6; ++t) {
        threads.push_back(std::async(std::launch::async, [&] {
            int good = 0;
            for (int i = 0; i < 40; ++i) {
                TimeObj time{};
                ChannelResult r = m_channel->deviceIoControl(m_handle, IOCTL_VORNPCI_GET_TIME,
                                                             &time, 16, &time, 16);
                good += r.status == STATUS_SUCCESS && r.information == 16;
            }
            return good;
        }));
    }
    for (auto& thread : threads)
        EXPECT_EQ(thread.get(), 40);
}

INSTANTIATE_TEST_SUITE_P(Host, ChannelTest, testing::Values(Kind::InProcess, Kind::Daemon),
                         [](const auto& info) {
                             return info.param == Kind::InProcess ? "InProcess" : "Daemon";
                         });

} // namespace
