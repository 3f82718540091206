// Fuzzes the vornhost daemon's socket protocol in-process: each input becomes the byte stream
// one client sends over a socket pair to a daemon connection on a fresh host (virtual clock,
// driver loaded). Either the bytes go as they are, or they describe a run of messages that are
// framed properly with fuzzed types, ids and payloads. Every reply must be a well-formed frame
// answering a request, the connection must end once the client has gone, and the driver must
// unload clean.
#include "connection.h"
#include "driver_host.h"
#include "fuzz_check.h"
#include "vornpci_ioctl.h"

#include "fuzz_input.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace wire = vornhost::wire;

constexpr int64_t kNewYearsEveNoon = 128435760000000000; // 2007-12-31 12:00 UTC
constexpr auto kEndBound = std::chrono::seconds(30);
// Status waits poll in real time; a short bound keeps an input short.
constexpr uint32_t kStatusBoundCapMs = 2;
constexpr size_t kMaxMessages = 48;
// How long the daemon may stay quiet before the client takes the rest as blocked and goes.
constexpr int kQuietMs = 10;

class OneConnectionServer final : public vornhost::ServerView {
public:
    size_t connectionCount() const override { return 1; }
};

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Calls `visit(header, payload)` for each whole, well-formed frame at the start of `stream`.
template <typename Visit> void forEachFrame(Bytes& stream, Visit&& visit) {
    size_t at = 0;
    while (stream.size() - at >= wire::kHeaderSize) {
        wire::HeaderCheck check;
        wire::Header h = wire::decodeHeader(stream.data() + at, &check);
        if (check != wire::HeaderCheck::Ok || stream.size() - at - wire::kHeaderSize < h.length)
            return;
        visit(h, stream.data() + at + wire::kHeaderSize);
        at += wire::kHeaderSize + h.length;
    }
}

// Caps the real-time bound of every well-framed status request in a raw stream.
void capStatusBounds(Bytes& stream) {
    forEachFrame(stream, [](const wire::Header& h, uint8_t* payload) {
        if (h.type == uint16_t(wire::MessageType::Status) && h.length == 12 &&
            get32(payload + 8) > kStatusBoundCapMs)
            payload[8] = uint8_t(kStatusBoundCapMs), payload[9] = payload[10] = payload[11] = 0;
    });
}

// The (reply type, request id, thread id) of every whole frame sent: what a reply may answer.
std::set<std::tuple<uint16_t, uint32_t, uint32_t>> sentRequests(Bytes& stream) {
    std::set<std::tuple<uint16_t, uint32_t, uint32_t>> sent;
    forEachFrame(stream, [&](const wire::Header& h, uint8_t*) {
        sent.emplace(uint16_t(h.type | wire::kReplyBit), h.requestId, h.threadId);
    });
    return sent;
}

// Builds a run of framed messages: mostly a greeting first, then requests of every type with
// payloads the encoders make from fuzzed fields, or fuzzed bytes.
class MessageBuilder {
public:
    explicit MessageBuilder(vornfuzz::InputReader& in) : m_in(in) {}

    Bytes build() {
        Bytes stream;
        if (m_in.chance(90))
            append(stream, uint16_t(wire::MessageType::Hello),
                   wire::encode(wire::HelloRequest{42}));
        for (size_t i = 0; i < kMaxMessages && m_in.remaining() > 0; ++i) {
            uint16_t type = m_in.chance(95) ? m_in.range<uint16_t>(1, 13) : m_in.u16();
            Bytes body = m_in.flag() ? payload(type) : rawPayload();
            append(stream, type, body);
        }
        if (!stream.empty() && m_in.chance(10))
            stream.resize(stream.size() - 1 - stream.size() / 3); // the client goes mid-frame
        return stream;
    }

private:
    void append(Bytes& stream, uint16_t type, const Bytes& payload) {
        uint32_t requestId = m_in.byte();
        uint32_t threadId = m_in.chance(90) ? m_in.range<uint32_t>(0, 3) : m_in.u32();
        Bytes frame = wire::frame(type, requestId, threadId, payload);
        if (m_in.chance(5))
            put16(frame, 4, m_in.u16()); // a version the daemon lacks
        stream.insert(stream.end(), frame.begin(), frame.end());
    }

    Bytes rawPayload() { return m_in.bytes(m_in.range(0, 40)); }

    uint64_t handle() { return m_in.chance(90) ? m_in.range<uint64_t>(0, 16) : m_in.u64(); }

    Bytes payload(uint16_t type) {
        switch (wire::MessageType(type)) {
        case wire::MessageType::Hello:
            return wire::encode(wire::HelloRequest{m_in.u32()});
        case wire::MessageType::Open: {
            wire::OpenRequest r;
            r.shareAccess = m_in.u16();
            if (m_in.chance(80))
                r.name = m_in.flag() ? u"\\\\.\\VORNpci0" : u"\\\\.\\VORNpci1";
            else
                for (uint8_t c : m_in.bytes(m_in.range(0, 300)))
                    r.name.push_back(char16_t(c));
            return wire::encode(r);
        }
        case wire::MessageType::DeviceControl: {
            wire::ControlRequest r;
            r.handle = handle();
            r.code = vornpci::IOCTL_VORNPCI_OPEN + 4 * m_in.range(0u, 0x1Bu);
            r.outLength = m_in.chance(95) ? m_in.range(0u, 32u) : m_in.u32();
            r.input = m_in.bytes(m_in.range(0, 32));
            return wire::encode(r);
        }
        case wire::MessageType::Close:
            return wire::encode(wire::CloseRequest{handle()});
        case wire::MessageType::Simulate:
            return wire::encode(simCommand());
        case wire::MessageType::Inspect:
            return wire::encode(wire::InspectRequest{m_in.range(0u, 2u)});
        case wire::MessageType::Status: {
            wire::StatusRequest r;
            r.wait = wire::StatusWait(m_in.range(0u, 3u));
            r.count = m_in.range(0u, 3u);
            r.boundMs = m_in.range(0u, kStatusBoundCapMs);
            return wire::encode(r);
        }
        case wire::MessageType::Subscribe:
            return wire::encode(wire::SubscribeRequest{m_in.flag() ? u"VORNpci0" : u"VORNpci9"});
        case wire::MessageType::NextEvent:
            // Short time-outs: each take waits in real time on the daemon's side. Batch sizes
            // reach one past the bound on either side.
            return wire::encode(
                wire::NextEventRequest{m_in.range(0u, 3u), m_in.range(0u, 20u),
                                       m_in.range(0u, wire::kMaxEventsPerReply + 1)});
        case wire::MessageType::Unsubscribe:
            return wire::encode(wire::UnsubscribeRequest{m_in.range(0u, 3u)});
        case wire::MessageType::Health:
            return wire::encode(wire::HealthRequest{m_in.range(0u, 2u)});
        case wire::MessageType::ReportSample: {
            const int64_t offset = int64_t(m_in.u32()) - int64_t(1u << 31);
            const int64_t bound = int64_t(m_in.u32()) - int64_t(1u << 30);
            return wire::encode(wire::SampleReport{m_in.range(0u, 2u), {offset, bound}});
        }
        }
        return rawPayload();
    }

    vornhost::SimCommand simCommand() {
        vornhost::SimCommand c;
        c.board = m_in.range(0u, 2u);
        c.action = vornhost::SimAction(m_in.range(0, 9));
        c.count = m_in.range(0u, 1100u);
        c.atDayOfYear = m_in.range<uint16_t>(0, 367);
        c.atHours = m_in.range<uint8_t>(0, 25);
        c.atMinutes = m_in.range<uint8_t>(0, 61);
        c.atMicrosInMinute = m_in.range(0u, 60'000'001u);
        c.referencePresent = m_in.flag();
        c.altitudeDecimetres = m_in.u32();
        c.latitudeDegrees = m_in.range<uint16_t>(0, 400);
        c.latitudeMinutes = m_in.u32();
        c.longitudeDegrees = m_in.range<uint16_t>(0, 400);
        c.longitudeMinutes = m_in.u32();
        c.satellites = m_in.byte();
        c.faultNoAnswer = m_in.flag();
        c.faultBadEcho = m_in.flag();
        c.faultSlowFifoReads = m_in.range(0u, 1100u);
        c.intervalMicros = m_in.range(0u, 50u);
        if (c.action == vornhost::SimAction::SetReferenceOffset ||
            c.action == vornhost::SimAction::SetReferenceRate) {
            // Both reach past their limits, a day and 1,000 ppm, on either side.
            c.referenceOffsetMicros =
                int64_t(m_in.range(0u, 200'000u)) * 1'000'000 - 100'000'000'000;
            c.referencePpb = int64_t(m_in.range(0u, 2'200'000u)) - 1'100'000;
        }
        return c;
    }

    vornfuzz::InputReader& m_in;
};

size_t countFrames(Bytes& stream) {
    size_t count = 0;
    forEachFrame(stream, [&](const wire::Header&, uint8_t*) { ++count; });
    return count;
}

// Gathers the daemon's replies until it closes its end. The client half-closes (which the
// daemon takes for the client going) once everything is written and either every whole frame
// has its answer or the daemon has been quiet for a while, with requests blocked in the driver.
Bytes collectReplies(int fd, size_t framesSent, const std::atomic<bool>& written) {
    Bytes received;
    bool halfClosed = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kQuietMs);
        if (ready > 0) {
            uint8_t chunk[4096];
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return received;
            received.insert(received.end(), chunk, chunk + n);
        }
        if (!halfClosed && written && (ready == 0 || countFrames(received) >= framesSent)) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
    }
}

// Each reply: a well-formed frame answering a request that was sent, with a known error code.
void checkReplies(Bytes& received, Bytes& sentStream) {
    auto sent = sentRequests(sentStream);
    size_t at = 0, replies = 0;
    while (at < received.size()) {
        FUZZ_CHECK(received.size() - at >= wire::kHeaderSize);
        wire::HeaderCheck check;
        wire::Header h = wire::decodeHeader(received.data() + at, &check);
        FUZZ_CHECK(check == wire::HeaderCheck::Ok);
        FUZZ_CHECK(received.size() - at - wire::kHeaderSize >= h.length);
        FUZZ_CHECK(h.type & wire::kReplyBit);
        FUZZ_CHECK(sent.count({h.type, h.requestId, h.threadId}));
        std::span<const uint8_t> payload(received.data() + at + wire::kHeaderSize, h.length);
        auto head = wire::decodeReplyHead(payload.first(std::min<size_t>(payload.size(), 8)));
        FUZZ_CHECK(head.has_value());
        FUZZ_CHECK(uint32_t(head->error) <= uint32_t(wire::WireError::ShuttingDown));
        if (std::getenv("VORN_FUZZ_TRACE")) // to see what an input does
            std::fprintf(stderr, "reply type %u id %u thread %u: %s, status 0x%08x, %u byte(s)\n",
                         unsigned(h.type & ~wire::kReplyBit), unsigned(h.requestId),
                         unsigned(h.threadId), wire::errorName(head->error), unsigned(head->status),
                         unsigned(h.length));
        at += wire::kHeaderSize + h.length;
        ++replies;
    }
    FUZZ_CHECK(replies <= sentStream.size() / wire::kHeaderSize);
}

void serve(vornhost::DriverHost& host, Bytes stream) {
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    OneConnectionServer server;
    vornhost::PeerCredentials peer{::getpid(), ::getuid(), ::getgid()};
    vornhost::Connection connection(fds[0], 1, peer, host, server, {});
    connection.start();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        vornhost::writeAll(fds[1], stream);
        written = true;
    });
    Bytes received = collectReplies(fds[1], countFrames(stream), written);
    writer.join();
    checkReplies(received, stream);
    auto deadline = std::chrono::steady_clock::now() + kEndBound;
    while (!connection.ended()) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        std::this_thread::yield();
    }
    ::close(fds[1]);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vornfuzz::abortOnVerifierReport();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Bytes stream;
    if (data[0] & 1) { // the bytes as they are
        stream.assign(data + 1, data + size);
        capStatusBounds(stream);
    } else {
        vornfuzz::InputReader in(data + 1, size - 1);
        stream = MessageBuilder(in).build();
    }
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    vornhost::HostOptions options;
    options.systemTimeAtStart = kNewYearsEveNoon;
    vornhost::DriverHost host(machine, options);
    FUZZ_CHECK(host.load() == STATUS_SUCCESS);
    serve(host, std::move(stream));
    FUZZ_CHECK(host.unload());
    return 0;
}
