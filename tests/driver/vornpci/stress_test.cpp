// Many threads sending every kind of request while the board raises events, heartbeats and a
// match and the virtual clock runs: every request completes once with a status its kind
// allows, no event time tag is lost, and nothing is left after unload.
#include "driver_fixture.h"

#include <atomic>
#include <map>
#include <random>
#include <thread>

namespace vornpcitest {
namespace {

using namespace vornpci;
using namespace vorntest;
using ntemu::kMillisecond;

struct Kind {
    ULONG code;
    Bytes input;
    ULONG outputLength;
    std::vector<NTSTATUS> allowed;
};

std::vector<Kind> requestKinds() {
    const std::vector<NTSTATUS> ok = {STATUS_SUCCESS};
    // A wait while another thread's wait of its kind is pending is refused.
    const std::vector<NTSTATUS> waited = {STATUS_SUCCESS, STATUS_DEVICE_NOT_READY,
                                          STATUS_INVALID_PARAMETER};
    HeartObj heart{1, 0xE5, 0x0010, {}};
    MemObj status{0x02, 0};
    Bytes peek = bytesOf(status);
    peek.resize(8);
    return {
        {IOCTL_VORNPCI_OPEN, Bytes(8), 8, ok},
        {IOCTL_VORNPCI_GET_DRIVER, Bytes(7), 7, ok},
        {IOCTL_VORNPCI_GET_TIME, Bytes(16), 16, ok},
        {IOCTL_VORNPCI_GET_DATE, Bytes(4), 4, ok},
        {IOCTL_VORNPCI_GET_ALTITUDE, Bytes(4), 4, ok},
        {IOCTL_VORNPCI_GET_LATITUDE, Bytes(8), 8, ok},
        {IOCTL_VORNPCI_GET_LONGITUDE, Bytes(8), 8, ok},
        {IOCTL_VORNPCI_GET_SATINFO, Bytes(2), 2, ok},
        {IOCTL_VORNPCI_GET_FIRMWARE, Bytes(4), 4, ok},
        {IOCTL_VORNPCI_SYNCH_STATUS, Bytes(4), 4, ok},
        {IOCTL_VORNPCI_SET_HEARTBEAT, bytesOf(heart), 0, ok},
        {IOCTL_VORNPCI_SIM_EVENT, Bytes(), 0, ok},
        {IOCTL_VORNPCI_PEEK, peek, 8, ok},
        {IOCTL_VORNPCI_WAIT_EVENT, eventWait(2), 12, waited},
        {IOCTL_VORNPCI_WAIT_HEART, timeoutOf(2), 0, waited},
        {IOCTL_VORNPCI_WAIT_MATCH, timeoutOf(1), 0, waited},
        {0x80812014, Bytes(4), 4, {STATUS_NOT_IMPLEMENTED}},
    };
}

class StressTest : public DriverTest {};

TEST_F(StressTest, EveryRequestCompletesOnceAndNoEventIsLost) {
    constexpr int kThreads = 4;
    constexpr int kRequestsPerThread = 150;
    const std::vector<Kind> kinds = requestKinds();
    const size_t simEventKind = 11;
    ASSERT_EQ(kinds[simEventKind].code, IOCTL_VORNPCI_SIM_EVENT);

    // A match 30 ms of board time from now.
    vornsim::BoardTime now = board().time().plus(30 * kMillisecond);
    MatchObj match{0,
                   {},
                   now.microsInMinute(),
                   UCHAR(now.minutes()),
                   UCHAR(now.hours()),
                   USHORT(now.dayOfYear())};
    Bytes none;
    ASSERT_EQ(send(IOCTL_VORNPCI_SET_MATCH_TIME, bytesOf(match), none).status, STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop)
            clock().advance(100 * ntemu::kMicrosecond);
    });
    std::atomic<int> delivered{0};
    std::atomic<int> simEvents{0};
    std::atomic<int> wrongStatus{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            auto process = m_host.createProcess("worker");
            ntemu::Handle handle = 0;
            if (process->open(vornhost::deviceName(0), {}, &handle) != STATUS_SUCCESS) {
                ++wrongStatus;
                return;
            }
            ntemu::Thread& thread = process->createThread();
            std::mt19937 random(t + 1);
            for (int i = 0; i < kRequestsPerThread; ++i) {
                // Few simulated events, so the ring never holds more than it can keep.
                size_t k = random() % kinds.size();
                if (k == simEventKind && simEvents.fetch_add(1) >= 40)
                    k = 0;
                const Kind& kind = kinds[k];
                Bytes output(kind.outputLength);
                ntemu::IoResult result = thread.deviceIoControl(
                    handle, kind.code, kind.input.data(), ULONG(kind.input.size()), output.data(),
                    ULONG(output.size()));
                if (std::find(kind.allowed.begin(), kind.allowed.end(), result.status) ==
                    kind.allowed.end()) {
                    ADD_FAILURE() << std::hex << kind.code << " ended with " << result.status;
                    ++wrongStatus;
                }
                if (kind.code == IOCTL_VORNPCI_WAIT_EVENT && result.status == STATUS_SUCCESS)
                    ++delivered;
            }
            process->close(handle);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    stop = true;
    ticker.join();
    m_host.system().kernel().settle();

    EXPECT_EQ(wrongStatus.load(), 0);
    // Every event the board tagged is either delivered or still queued, and the queued ones
    // come out to waits that follow.
    EXPECT_EQ(board().fifoLevel(), 0u);
    const int queued = int(device().EventRingFrames);
    for (int i = 0; i < queued; ++i) {
        Bytes output(12);
        EXPECT_EQ(send(IOCTL_VORNPCI_WAIT_EVENT, eventWait(0), output).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(uint64_t(delivered + queued), board().counters().eventsTagged);
    EXPECT_GT(board().counters().heartbeats, 0u);
    EXPECT_EQ(board().counters().matches, 1u);
    EXPECT_EQ(m_host.io().liveIrpCount(), 0u);
}

} // namespace
} // namespace vornpcitest
