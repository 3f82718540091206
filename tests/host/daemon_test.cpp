// The vornhost daemon as a whole: bad input on the socket, clients that die while they wait,
// two clients waiting at once, peers refused or admitted by their credentials, and the stop.
#include "connection.h"
#include "daemon_client.h"
#include "daemon_host.h"
#include "driver_requests.h"
#include "socket_io.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>

namespace {

using namespace vornhost;
using namespace vornpci;
using namespace vorntest;

constexpr uint32_t kBoundMs = 10'000;

class DaemonTest : public testing::Test {
protected:
    void start(std::vector<std::string> args = {},
               const std::string& socketName = "vornhost.sock") {
        m_daemon = startDaemon(std::move(args), socketName);
        ASSERT_TRUE(m_daemon);
    }

    std::unique_ptr<DaemonClient> client() {
        auto c = DaemonClient::connect(m_daemon->socketPath());
        EXPECT_TRUE(c);
        return c;
    }

    static bool driverAnswers(DeviceChannel& channel, uint64_t handle) {
        char text[8] = {};
        ChannelResult r =
            channel.deviceIoControl(handle, IOCTL_VORNPCI_GET_DRIVER, text, 7, text, 7);
        return r.status == STATUS_SUCCESS && std::string(text) == "1.300 ";
    }

    std::unique_ptr<DaemonProcess> m_daemon;
};

TEST_F(DaemonTest, NobodyListeningGivesNoChannel) {
    std::string directory = makeDirectory();
    EXPECT_FALSE(connectDaemon(directory + "/none.sock"));
    ::rmdir(directory.c_str());
}

// As on a fresh machine, where /run/vornhost does not exist yet: the daemon makes the socket's
// directories, open to every user whatever the umask, and gives the socket to its group.
TEST_F(DaemonTest, MakesTheSocketDirectoryAndGivesTheSocketToItsGroup) {
    group* own = ::getgrgid(::getegid());
    ASSERT_TRUE(own);
    mode_t umaskBefore = ::umask(077);
    start({"--group", own->gr_name}, "run/vornhost/vornhost.sock");
    ::umask(umaskBefore);
    ASSERT_TRUE(m_daemon);
    for (const char* directory : {"/run", "/run/vornhost"}) {
        struct stat made {};
        ASSERT_EQ(::stat((m_daemon->directory() + directory).c_str(), &made), 0) << directory;
        EXPECT_EQ(made.st_mode & 07777, 0755u) << directory;
    }
    struct stat socket {};
    ASSERT_EQ(::stat(m_daemon->socketPath().c_str(), &socket), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 07777, 0660u);
    EXPECT_EQ(socket.st_gid, ::getegid());
    auto c = client();
    ASSERT_TRUE(c);
    EXPECT_TRUE(driverAnswers(*c, openBoard(*c)));
    c.reset();
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, HelpAndBadOptionsExitAtOnce) {
    std::string output;
    EXPECT_EQ(runDaemonToExit({"--help"}, &output), 0);
    EXPECT_NE(output.find("--socket PATH"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(runDaemonToExit({"--frobnicate"}, &output), 64);
    EXPECT_NE(output.find("unknown option '--frobnicate'"), std::string::npos) << output;
}

TEST_F(DaemonTest, MetricsOnAPortInUseRefusesToStart) {
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string directory = makeDirectory();
    std::string output;
    EXPECT_EQ(runDaemonToExit({"--socket", directory + "/s.sock", "--metrics", "127.0.0.1:" + port},
                              &output),
              1);
    EXPECT_NE(output.find("cannot serve metrics on 127.0.0.1:" + port + ": Address already in use"),
              std::string::npos)
        << output;
    EXPECT_FALSE(std::filesystem::exists(directory + "/s.sock"));
    ::close(taken);
    std::filesystem::remove_all(directory);
}

// vornctl health through the library and the daemon: the board's state, the requests the
// daemon served, and the sample a feed reported.
TEST_F(DaemonTest, HealthShowsStateRequestsAndTheFeedsSample) {
    start({"--board", "model=0x9070,bus=0,slot=3,reference=1"});
    auto c = client();
    ASSERT_TRUE(c);
    ASSERT_EQ(c->reportSyncSample(0, {-1'250, 40'000}), STATUS_SUCCESS);
    EXPECT_EQ(c->reportSyncSample(7, {0, 0}), STATUS_NO_SUCH_DEVICE);
    const std::string command = "VORN_HOST_SOCKET='" + m_daemon->socketPath() + "' '" +
                                VORN_BUILD_DIR + "/ctl/vornctl' health --json 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << output;
    for (const char* field :
         {"\"synchronized\":true", "\"mode\":\"synchronize\"", "\"served_open\":1",
          "\"sync_offset_s\":-0.000001250", "\"sync_error_bound_s\":0.000040000"})
        EXPECT_NE(output.find(field), std::string::npos) << field << " in " << output;
    c.reset();
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, SecondDaemonOnTheSameSocketRefusesToStart) {
    start();
    std::string output;
    EXPECT_EQ(runDaemonToExit({"--socket", m_daemon->socketPath()}, &output), 1);
    EXPECT_NE(output.find("a daemon already answers"), std::string::npos) << output;
    auto c = client();
    ASSERT_TRUE(c);
    EXPECT_TRUE(driverAnswers(*c, openBoard(*c)));
    c.reset();
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, MachineFromOptionsGivesEachModelItsDevice) {
    start({"--board", "model=0x7000,bus=0,slot=1", "--board", "model=0x7100,bus=0,slot=2",
           "--board", "model=0x9070,bus=1,slot=4,irq=5", "--board", "model=0x9072,bus=2,slot=0"});
    auto c = client();
    ASSERT_TRUE(c);
    const uint16_t models[] = {0x7000, 0x7100, 0x9070, 0x9072};
    for (unsigned n = 0; n < 4; ++n) {
        std::u16string name = u"\\\\.\\VORNpci" + std::u16string(1, char16_t(u'0' + n));
        uint64_t handle = 0;
        ASSERT_EQ(c->open(name, kShareAll, &handle), STATUS_SUCCESS);
        OpenReply reply{};
        ASSERT_EQ(c->deviceIoControl(handle, IOCTL_VORNPCI_OPEN, &reply, 8, &reply, 8).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(reply.modelCode, models[n]) << n;
    }
    uint64_t handle = 0;
    EXPECT_EQ(c->open(u"\\\\.\\VORNpci4", kShareAll, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    c.reset();
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, MachineFromAFile) {
    std::string directory = makeDirectory();
    std::string path = directory + "/machine.txt";
    {
        std::ofstream file(path);
        file << "# one plain board\nboard model=0x7100 bus=3 slot=9 irq=7 bridge=0x9030\n";
    }
    start({"--machine", path});
    auto c = client();
    ASSERT_TRUE(c);
    uint64_t handle = openBoard(*c);
    OpenReply reply{};
    ASSERT_EQ(c->deviceIoControl(handle, IOCTL_VORNPCI_OPEN, &reply, 8, &reply, 8).status,
              STATUS_SUCCESS);
    EXPECT_EQ(reply.modelCode, 0x7100);
    EXPECT_EQ(reply.slotNumber, 9);
    c.reset();
    expectCleanStop(*m_daemon);
    ::unlink(path.c_str());
    ::rmdir(directory.c_str());
    std::string output;
    EXPECT_EQ(runDaemonToExit({"--machine", path}, &output), 64);
    EXPECT_NE(output.find("cannot read machine file"), std::string::npos) << output;
}

// Each bad message closes its own connection; a well-behaved client goes on being served.
TEST_F(DaemonTest, BadMessagesCloseOnlyTheirConnection) {
    start();
    auto good = client();
    ASSERT_TRUE(good);
    uint64_t handle = openBoard(*good);

    std::mt19937 random(7);
    std::vector<uint8_t> garbage(200);
    for (auto& b : garbage)
        b = uint8_t(random());
    auto oversized = wire::frame(uint16_t(wire::MessageType::Open), 2, 1, {});
    oversized[8] = 0xFF; // payload length far beyond the limit
    oversized[10] = 0x01;
    auto badOpen = wire::frame(uint16_t(wire::MessageType::Open), 2, 1,
                               std::vector<uint8_t>{3, 0, 50, 0, 'A', 0}); // 50 units promised
    auto whole = wire::frame(uint16_t(wire::MessageType::Inspect), 2, 1,
                             wire::encode(wire::InspectRequest{0}));
    std::vector<uint8_t> cutShort(whole.begin(), whole.end() - 2);

    struct Case {
        const char* what;
        bool greet;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"garbage", false, garbage},
        {"oversized", true, oversized},
        {"malformed payload", true, badOpen},
        {"request before the greeting", false, whole},
        {"truncated, then the end", true, cutShort},
    };
    for (const Case& c : cases) {
        RawConnection raw(m_daemon->socketPath());
        ASSERT_TRUE(raw.connected());
        if (c.greet) {
            ASSERT_TRUE(raw.hello()) << c.what;
        }
        raw.send(c.bytes);
        if (std::string(c.what).find("truncated") != std::string::npos)
            raw.endWrites();
        ReadFrame answer = raw.read();
        if (answer.status == ReadStatus::Ok) { // told why, then closed
            EXPECT_EQ(RawConnection::error(answer), wire::WireError::NotPermitted) << c.what;
            answer = raw.read();
        }
        EXPECT_EQ(answer.status, ReadStatus::Closed) << c.what;
        EXPECT_TRUE(driverAnswers(*good, handle)) << c.what;
    }
    EXPECT_TRUE(daemonIdle(*good)); // every bad connection has ended
    good.reset();
    expectCleanStop(*m_daemon);
    EXPECT_NE(m_daemon->log().find("malformed open, closing"), std::string::npos);
    EXPECT_NE(m_daemon->log().find("truncated message, closing"), std::string::npos);
}

// Half a message and then silence: the connection is closed once the gap bound passes.
TEST_F(DaemonTest, StalledHalfMessageIsClosed) {
    start();
    RawConnection raw(m_daemon->socketPath());
    ASSERT_TRUE(raw.hello());
    auto whole = wire::frame(uint16_t(wire::MessageType::Inspect), 2, 1,
                             wire::encode(wire::InspectRequest{0}));
    raw.send(std::span(whole.data(), 7));
    EXPECT_EQ(raw.read().status, ReadStatus::Closed);
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, UnknownCommandsAndBadArgumentsAreAnsweredNotClosed) {
    start();
    RawConnection raw(m_daemon->socketPath());
    ASSERT_TRUE(raw.hello());
    raw.send(wire::frame(99, 5, 1, {}));
    ReadFrame reply = raw.read();
    ASSERT_EQ(reply.status, ReadStatus::Ok);
    EXPECT_EQ(reply.header.requestId, 5u);
    EXPECT_EQ(reply.header.type, 99 | wire::kReplyBit);
    EXPECT_EQ(RawConnection::error(reply), wire::WireError::UnknownCommand);

    raw.send(wire::MessageType::DeviceControl, 6,
             wire::encode(wire::ControlRequest{4, IOCTL_VORNPCI_GET_TIME, 5000, {}}));
    reply = raw.read();
    EXPECT_EQ(RawConnection::error(reply), wire::WireError::BadArgument);
    raw.send(wire::MessageType::Status, 7,
             wire::encode(wire::StatusRequest{wire::StatusWait::Idle, 0, 60'000}));
    EXPECT_EQ(RawConnection::error(raw.read()), wire::WireError::BadArgument);
    raw.send(wire::MessageType::Hello, 8, wire::encode(wire::HelloRequest{1}));
    EXPECT_EQ(RawConnection::error(raw.read()), wire::WireError::NotPermitted);
    EXPECT_EQ(raw.read().status, ReadStatus::Closed); // a second greeting is out of turn
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, ThreadAndQueueLimitsAreAnswered) {
    start();
    RawConnection raw(m_daemon->socketPath());
    ASSERT_TRUE(raw.hello());
    // Thread ids whose work has ended make room for new ones: a client that starts a thread
    // for every call is served for as long as it runs.
    raw.send(wire::MessageType::Open, 2,
             wire::encode(wire::OpenRequest{kShareAll, u"\\\\.\\VORNpci0"}));
    auto open = raw.read();
    ASSERT_EQ(RawConnection::error(open), wire::WireError::Ok);
    const uint64_t timeHandle = *wire::decodeHandleReply(open.payload);
    auto status = wire::encode(wire::StatusRequest{});
    auto getTime = wire::encode(
        wire::ControlRequest{timeHandle, IOCTL_VORNPCI_GET_TIME, 16, std::vector<uint8_t>(16)});
    for (uint32_t thread = 1; thread <= 3 * kMaxClientThreads; ++thread) {
        raw.send(wire::MessageType::Status, thread, status, thread);
        ASSERT_EQ(RawConnection::error(raw.read()), wire::WireError::Ok) << "thread " << thread;
        raw.send(wire::MessageType::DeviceControl, thread, getTime, thread);
        auto time = raw.read();
        ASSERT_EQ(RawConnection::error(time), wire::WireError::Ok) << "thread " << thread;
        ASSERT_EQ(wire::decodeReplyHead(time.payload)->status, STATUS_SUCCESS) << thread;
    }
    raw.send(wire::MessageType::Close, 3, wire::encode(wire::CloseRequest{timeHandle}));
    ASSERT_EQ(RawConnection::error(raw.read()), wire::WireError::Ok);
    // Only ids with work under way count: each of these holds its request thread in a status
    // wait that cannot be reached, until its bound passes.
    auto held = wire::encode(wire::StatusRequest{wire::StatusWait::PendingAtLeast, 1000, 5000});
    for (uint32_t thread = 1; thread <= kMaxClientThreads; ++thread)
        raw.send(wire::MessageType::Status, 1000 + thread, held, 1000 + thread);
    raw.send(wire::MessageType::Status, 2000, status, 2000);
    size_t tooMany = 0;
    for (size_t reply = 0; reply <= kMaxClientThreads; ++reply)
        tooMany += RawConnection::error(raw.read()) == wire::WireError::TooManyThreads;
    EXPECT_EQ(tooMany, 1u);

    // One thread id blocked in a wait, with more requests behind it than its queue holds.
    raw.send(wire::MessageType::Open, 100,
             wire::encode(wire::OpenRequest{kShareAll, u"\\\\.\\VORNpci0"}), 1);
    auto opened = raw.read();
    ASSERT_EQ(RawConnection::error(opened), wire::WireError::Ok);
    ASSERT_EQ(wire::decodeReplyHead(opened.payload)->status, STATUS_SUCCESS);
    uint64_t handle = *wire::decodeHandleReply(opened.payload);
    uint32_t timeout = 20'000;
    std::vector<uint8_t> input(4);
    std::memcpy(input.data(), &timeout, 4);
    raw.send(wire::MessageType::DeviceControl, 101,
             wire::encode(wire::ControlRequest{handle, IOCTL_VORNPCI_WAIT_HEART, 0, input}), 1);
    for (uint32_t id = 102; id < 102 + 17; ++id)
        raw.send(wire::MessageType::Status, id,
                 wire::encode(wire::StatusRequest{wire::StatusWait::PendingAtLeast, 1000, 0}), 1);
    ReadFrame busy = raw.read();
    ASSERT_EQ(busy.status, ReadStatus::Ok);
    EXPECT_EQ(RawConnection::error(busy), wire::WireError::Busy);
    expectCleanStop(*m_daemon); // the wait and the queue behind it end with the connection
}

// A client killed while it waits: its request is cancelled (the driver's heartbeat slot is
// free again), the host serves a new client, and it stops with an empty pool.
TEST_F(DaemonTest, KilledClientsWaitIsCancelled) {
    start();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        auto c = DaemonClient::connect(m_daemon->socketPath());
        uint64_t handle = 0;
        if (!c || c->open(u"\\\\.\\VORNpci0", kShareAll, &handle) != STATUS_SUCCESS)
            ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        Driver{*c, handle}.waitHeartbeat(60'000);
        ::_exit(2);
    }
    ::close(ready[1]);
    char byte = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, int(kBoundMs)), 1);
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    auto observer = client();
    ASSERT_TRUE(observer);
    ASSERT_TRUE(pendingAtLeast(*observer, 1));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(daemonIdle(*observer));

    uint64_t handle = openBoard(*observer);
    // With the dead client's wait still in its slot this would be refused at once.
    EXPECT_EQ((Driver{*observer, handle}.waitHeartbeat(1)), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(driverAnswers(*observer, handle));
    observer.reset();
    expectCleanStop(*m_daemon);
    EXPECT_NE(m_daemon->log().find("1 handle(s) left open were closed"), std::string::npos)
        << m_daemon->log();
}

TEST_F(DaemonTest, TwoClientsWaitForDifferentKindsAtOnce) {
    start();
    auto first = client();
    auto second = client();
    ASSERT_TRUE(first && second);
    uint64_t firstHandle = openBoard(*first);
    uint64_t secondHandle = openBoard(*second);
    auto eventWait = std::async(std::launch::async, [&] {
        EventWaitRecord record{20'000, 0, 0, 0, 0};
        ChannelResult r =
            first->deviceIoControl(firstHandle, IOCTL_VORNPCI_WAIT_EVENT, &record, 12, &record, 12);
        return std::make_pair(r, record);
    });
    auto heartWait = std::async(std::launch::async, [&] {
        return Driver{*second, secondHandle}.waitHeartbeat(20'000);
    });
    ASSERT_TRUE(pendingAtLeast(*first, 2));

    SimCommand strobe;
    strobe.action = SimAction::StrobeEvent;
    ASSERT_EQ(first->simulate(strobe), STATUS_SUCCESS);
    auto [result, record] = eventWait.get();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 12u);
    BoardState state;
    ASSERT_EQ(second->inspectBoard(0, &state), STATUS_SUCCESS);
    EXPECT_EQ(state.eventsTagged, 1u);
    EXPECT_GE(record.dayOfYear, 1);
    EXPECT_EQ(state.heartbeats, 0u); // nothing has released the heartbeat wait yet

    // The second client's other thread programs the heartbeat while its first one waits.
    HeartObj heart{1, 0xE7, 50, {0, 0}};
    ASSERT_EQ(
        second->deviceIoControl(secondHandle, IOCTL_VORNPCI_SET_HEARTBEAT, &heart, 6, nullptr, 0)
            .status,
        STATUS_SUCCESS);
    EXPECT_EQ(heartWait.get(), STATUS_SUCCESS);
    first.reset();
    second.reset();
    expectCleanStop(*m_daemon);
}

// A next-event request waits in the driver: its connection's reader hands it over and goes on
// serving the same client.
TEST_F(DaemonTest, PendingNextEventLeavesItsConnectionFree) {
    start();
    auto c = client();
    ASSERT_TRUE(c);
    uint64_t handle = openBoard(*c);
    auto next = std::async(std::launch::async, [&] {
        SequencedEventRecord record{};
        record.timeoutMs = 20'000;
        ChannelResult r = c->deviceIoControl(handle, IOCTL_VORNPCI_NEXT_EVENT, &record,
                                             sizeof(record), &record, sizeof(record));
        return std::make_pair(r, record);
    });
    ASSERT_TRUE(pendingAtLeast(*c, 1));
    SimCommand strobe;
    strobe.action = SimAction::StrobeEvent;
    ASSERT_EQ(c->simulate(strobe), STATUS_SUCCESS);
    auto [result, record] = next.get();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(record.sequence, 1u);
    expectCleanStop(*m_daemon);
}

TEST_F(DaemonTest, StopEndsClientsThatStillWait) {
    start();
    auto c = client();
    ASSERT_TRUE(c);
    uint64_t handle = openBoard(*c);
    auto waiting = std::async(std::launch::async, [&] {
        return Driver{*c, handle}.waitMatch(60'000);
    });
    ASSERT_TRUE(pendingAtLeast(*c, 1));
    expectCleanStop(*m_daemon);
    NTSTATUS status = waiting.get();
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) << status;
    EXPECT_FALSE(c->connected());
    EXPECT_EQ(c->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_DEVICE_NOT_CONNECTED);
}

// Events already queued leave in one reply, as many as the take names, oldest first; a take
// of none or of more than a reply holds is refused.
TEST_F(DaemonTest, OneNextEventReplyCarriesTheQueuedEvents) {
    start();
    RawConnection raw(m_daemon->socketPath());
    ASSERT_TRUE(raw.hello());
    uint32_t id = 1;
    auto ask = [&](wire::MessageType type, const std::vector<uint8_t>& payload) {
        raw.send(type, ++id, payload);
        return raw.read();
    };
    auto subscribe = [&] {
        ReadFrame reply = ask(wire::MessageType::Subscribe,
                              wire::encode(wire::SubscribeRequest{u"\\\\.\\VORNpci0"}));
        return uint32_t(wire::decodeHandleReply(reply.payload).value_or(0));
    };
    auto take = [&](uint32_t subscription, uint32_t most) {
        ReadFrame reply = ask(wire::MessageType::NextEvent,
                              wire::encode(wire::NextEventRequest{subscription, kBoundMs, most}));
        return wire::decodeEventsReply(reply.payload).value_or(std::vector<HostEvent>{});
    };
    const uint32_t batched = subscribe(),
                   witness = subscribe(); // each event reaches `batched` first
    SimCommand strobes;
    strobes.action = SimAction::StrobeEvents;
    strobes.count = 5;
    ASSERT_EQ(RawConnection::error(ask(wire::MessageType::Simulate, wire::encode(strobes))),
              wire::WireError::Ok);
    for (uint64_t last = 0; last < 5;) {
        const std::vector<HostEvent> one = take(witness, 1);
        ASSERT_EQ(one.size(), 1u);
        last = one.front().sequence;
    }
    std::vector<HostEvent> taken = take(batched, 2);
    ASSERT_EQ(taken.size(), 2u);
    const std::vector<HostEvent> rest = take(batched, wire::kMaxEventsPerReply);
    ASSERT_EQ(rest.size(), 3u);
    taken.insert(taken.end(), rest.begin(), rest.end());
    for (size_t i = 0; i < taken.size(); ++i) {
        EXPECT_EQ(taken[i].sequence, i + 1);
        EXPECT_EQ(taken[i].droppedBefore, 0u);
    }
    for (uint32_t most : {0u, wire::kMaxEventsPerReply + 1}) {
        const wire::NextEventRequest request{batched, 0, most};
        EXPECT_EQ(RawConnection::error(ask(wire::MessageType::NextEvent, wire::encode(request))),
                  wire::WireError::BadArgument)
            << most;
    }
    expectCleanStop(*m_daemon);
}

// Strobes `count` events at once and waits until `witness`, subscribed after the others, has
// the last of them: every subscription before it holds them all by then.
void strobeAndSettle(DaemonClient& c, uint32_t witness, uint32_t count, uint64_t lastSequence) {
    SimCommand strobes;
    strobes.action = SimAction::StrobeEvents;
    strobes.count = count;
    ASSERT_EQ(c.simulate(strobes), STATUS_SUCCESS);
    for (HostEvent event{}; event.sequence < lastSequence;)
        ASSERT_EQ(c.nextEvent(witness, kBoundMs, &event), STATUS_SUCCESS);
}

// What one reply brought beyond the first event is handed out, in order, by the calls after;
// it goes with its subscription when that ends.
TEST_F(DaemonTest, ClientHandsOutBufferedEventsInOrderUntilUnsubscribed) {
    start();
    auto c = client();
    ASSERT_TRUE(c);
    uint32_t batched = 0, witness = 0;
    ASSERT_EQ(c->subscribeEvents(u"\\\\.\\VORNpci0", &batched), STATUS_SUCCESS);
    ASSERT_EQ(c->subscribeEvents(u"\\\\.\\VORNpci0", &witness), STATUS_SUCCESS);
    strobeAndSettle(*c, witness, 5, 5);
    HostEvent event;
    for (uint64_t expected = 1; expected <= 5; ++expected) {
        ASSERT_EQ(c->nextEvent(batched, 0, &event), STATUS_SUCCESS);
        EXPECT_EQ(event.sequence, expected);
        EXPECT_EQ(event.droppedBefore, 0u);
    }
    strobeAndSettle(*c, witness, 3, 8);
    ASSERT_EQ(c->nextEvent(batched, 0, &event), STATUS_SUCCESS);
    EXPECT_EQ(event.sequence, 6u);
    ASSERT_EQ(c->unsubscribeEvents(batched), STATUS_SUCCESS);
    EXPECT_EQ(c->nextEvent(batched, 0, &event), STATUS_INVALID_HANDLE);
    c.reset();
    expectCleanStop(*m_daemon);
}

// Threads that share a subscription through one connection get each event once: what they
// took and what was counted lost add up to every event strobed.
TEST_F(DaemonTest, ThreadsSharingASubscriptionGetEachEventOnce) {
    constexpr uint64_t kEvents = 400;
    start();
    auto c = client();
    ASSERT_TRUE(c);
    uint32_t shared = 0;
    ASSERT_EQ(c->subscribeEvents(u"\\\\.\\VORNpci0", &shared), STATUS_SUCCESS);
    std::atomic<uint64_t> accounted{0};
    auto takeUntilEnded = [&] {
        std::vector<uint64_t> sequences;
        for (HostEvent event; c->nextEvent(shared, kBoundMs, &event) == STATUS_SUCCESS;) {
            sequences.push_back(event.sequence);
            if ((accounted += 1 + event.droppedBefore) == kEvents)
                c->unsubscribeEvents(shared); // ends the takes still waiting
        }
        return sequences;
    };
    std::vector<std::future<std::vector<uint64_t>>> takers;
    for (int i = 0; i < 3; ++i)
        takers.push_back(std::async(std::launch::async, takeUntilEnded));
    SimCommand train;
    train.action = SimAction::StrobeEventTrain;
    train.count = uint32_t(kEvents);
    train.intervalMicros = 200;
    ASSERT_EQ(c->simulate(train), STATUS_SUCCESS);
    std::set<uint64_t> seen;
    size_t taken = 0;
    for (auto& taker : takers)
        for (uint64_t sequence : taker.get()) {
            seen.insert(sequence);
            ++taken;
        }
    EXPECT_EQ(accounted.load(), kEvents);
    EXPECT_EQ(seen.size(), taken) << "an event handed out twice";
    c.reset();
    expectCleanStop(*m_daemon);
}

// Runs `body` in a child process under uid and gid 65534; its exit code.
int runAsNobody(int (*body)(const std::string&), const std::string& socket) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(90);
        ::_exit(body(socket));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int expectRefusal(const std::string& socket) {
    RawConnection raw(socket);
    if (!raw.connected())
        return 10;
    ReadFrame notice = raw.read();
    if (notice.status != ReadStatus::Ok || notice.header.requestId != 0 ||
        RawConnection::error(notice) != wire::WireError::AccessRefused)
        return 11;
    if (raw.read().status != ReadStatus::Closed)
        return 12;
    return DaemonClient::connect(socket) ? 13 : 0;
}

int expectAdmission(const std::string& socket) {
    auto c = DaemonClient::connect(socket);
    if (!c)
        return 20;
    uint64_t handle = 0;
    if (c->open(u"\\\\.\\VORNpci0", kShareAll, &handle) != STATUS_SUCCESS)
        return 21;
    char text[8] = {};
    return c->deviceIoControl(handle, IOCTL_VORNPCI_GET_DRIVER, text, 7, text, 7).status ==
                   STATUS_SUCCESS
               ? 0
               : 22;
}

TEST_F(DaemonTest, PeerOutsideTheGroupIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another uid";
    start({"--group", "vorn-test-no-such-group"});
    EXPECT_EQ(runAsNobody(expectRefusal, m_daemon->socketPath()), 0);
    auto c = client(); // root is still served
    ASSERT_TRUE(c);
    EXPECT_TRUE(driverAnswers(*c, openBoard(*c)));
    c.reset();
    expectCleanStop(*m_daemon);
    EXPECT_NE(m_daemon->log().find("refused peer"), std::string::npos);
}

TEST_F(DaemonTest, MemberOfTheGroupIsAdmitted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another uid";
    group* nogroup = ::getgrgid(65534);
    if (!nogroup)
        GTEST_SKIP() << "no group with id 65534 on this system";
    start({"--group", nogroup->gr_name});
    EXPECT_EQ(runAsNobody(expectAdmission, m_daemon->socketPath()), 0);
    expectCleanStop(*m_daemon);
}

// A child that writes far more than a pipe holds before anyone asks for its output still runs
// to its end: a daemon's log never stalls the daemon.
TEST(DaemonChildOutputTest, AChattyChildIsNeverBlockedByItsOutput) {
    ChildProcess child({"/bin/sh", "-c", "head -c 1000000 /dev/zero; echo end"});
    EXPECT_EQ(child.wait(kStopBoundMs), 0);
    EXPECT_EQ(child.output().size(), 1'000'004u);
}

} // namespace
