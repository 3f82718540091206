// The wire codec against good, truncated, padded and random input, and the command line.
#include "options.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

using namespace vornhost;

SimCommand sampleCommand() {
    SimCommand c;
    c.board = 2;
    c.action = SimAction::SetGpsScenario;
    c.count = 7;
    c.atDayOfYear = 366;
    c.atHours = 23;
    c.atMinutes = 59;
    c.atMicrosInMinute = 59'999'999;
    c.referencePresent = true;
    c.altitudeDecimetres = 9'999'999;
    c.latitudeDegrees = 231;
    c.latitudeMinutes = 599'999;
    c.longitudeDegrees = 359;
    c.longitudeMinutes = 123'456;
    c.satellites = 15;
    c.faultBadEcho = true;
    c.faultSlowFifoReads = 1000;
    c.referenceOffsetMicros = -86'400'000'000;
    c.referencePpb = -999'999;
    c.intervalMicros = 0x01020304;
    return c;
}

TEST(WireCodecTest, RequestsSurviveTheRoundTrip) {
    auto open =
        wire::decode<wire::OpenRequest>(wire::encode(wire::OpenRequest{3, u"\\\\.\\VORNpci0"}));
    ASSERT_TRUE(open);
    EXPECT_EQ(open->shareAccess, 3);
    EXPECT_EQ(open->name, u"\\\\.\\VORNpci0");

    wire::ControlRequest control{0x1234'5678'9ABCull, 0x80812050, 12, {1, 2, 3, 4, 5}};
    auto decoded = wire::decodeControl(wire::encode(control));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->handle, control.handle);
    EXPECT_EQ(decoded->code, control.code);
    EXPECT_EQ(decoded->outLength, 12u);
    EXPECT_EQ(decoded->input, control.input);

    SimCommand c = sampleCommand();
    auto sim = wire::decode<SimCommand>(wire::encode(c));
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->board, c.board);
    EXPECT_EQ(sim->action, c.action);
    EXPECT_EQ(sim->atDayOfYear, c.atDayOfYear);
    EXPECT_EQ(sim->atMicrosInMinute, c.atMicrosInMinute);
    EXPECT_EQ(sim->altitudeDecimetres, c.altitudeDecimetres);
    EXPECT_EQ(sim->latitudeDegrees, c.latitudeDegrees);
    EXPECT_EQ(sim->latitudeMinutes, c.latitudeMinutes);
    EXPECT_EQ(sim->longitudeDegrees, c.longitudeDegrees);
    EXPECT_EQ(sim->longitudeMinutes, c.longitudeMinutes);
    EXPECT_EQ(sim->satellites, c.satellites);
    EXPECT_TRUE(sim->referencePresent);
    EXPECT_TRUE(sim->faultBadEcho);
    EXPECT_FALSE(sim->faultNoAnswer);
    EXPECT_EQ(sim->faultSlowFifoReads, c.faultSlowFifoReads);
    EXPECT_EQ(sim->referenceOffsetMicros, c.referenceOffsetMicros);
    EXPECT_EQ(sim->referencePpb, c.referencePpb);

    auto status = wire::decode<wire::StatusRequest>(
        wire::encode(wire::StatusRequest{wire::StatusWait::Idle, 4, 900}));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->wait, wire::StatusWait::Idle);
    EXPECT_EQ(status->count, 4u);
    EXPECT_EQ(status->boundMs, 900u);
}

TEST(WireCodecTest, RepliesSurviveTheRoundTrip) {
    wire::ReplyHead head{wire::WireError::Ok, NTSTATUS(0xC00000A3)};
    std::vector<uint8_t> output = {9, 8, 7};
    auto reply = wire::encodeReply(head, output);
    auto decodedHead = wire::decodeReplyHead(reply);
    ASSERT_TRUE(decodedHead);
    EXPECT_EQ(decodedHead->status, NTSTATUS(0xC00000A3));
    EXPECT_EQ(wire::decodeControlReply(reply), output);

    BoardState state;
    state.model = 0x9072;
    state.year = 2026;
    state.dayOfYear = 342;
    state.microsInMinute = 59'000'001;
    state.propagationDelayMicros = -5000;
    state.matchStop = true;
    state.matchMicrosInMinute = 17;
    state.heartbeats = 1ull << 40;
    auto decodedState = wire::decodeStateReply(wire::encodeReply(head, state));
    ASSERT_TRUE(decodedState);
    EXPECT_EQ(decodedState->model, 0x9072);
    EXPECT_EQ(decodedState->year, 2026);
    EXPECT_EQ(decodedState->dayOfYear, 342);
    EXPECT_EQ(decodedState->microsInMinute, 59'000'001u);
    EXPECT_EQ(decodedState->propagationDelayMicros, -5000);
    EXPECT_TRUE(decodedState->matchStop);
    EXPECT_EQ(decodedState->matchMicrosInMinute, 17u);
    EXPECT_EQ(decodedState->heartbeats, 1ull << 40);

    EXPECT_EQ(wire::decodeHandleReply(wire::encodeReply(head, uint64_t(0x44))), 0x44u);

    BoardHealth health;
    health.synchronized = true;
    health.syncChangedAt = -3;
    health.failed[kRequestKinds - 1] = 11;
    health.timedOut[0] = 12;
    health.subscriberDrops = 13;
    health.sampleKnown = true;
    health.sample = {-14, 15};
    health.sampleAt = 16;
    health.sampleReporter = {-17, 18};
    auto decodedHealth = wire::decodeHealthReply(wire::encodeReply(head, health));
    ASSERT_TRUE(decodedHealth);
    EXPECT_TRUE(decodedHealth->synchronized);
    EXPECT_EQ(decodedHealth->syncChangedAt, -3);
    EXPECT_EQ(decodedHealth->failed[kRequestKinds - 1], 11u);
    EXPECT_EQ(decodedHealth->timedOut[0], 12u);
    EXPECT_EQ(decodedHealth->subscriberDrops, 13u);
    EXPECT_EQ(decodedHealth->sample.offsetNanos, -14);
    EXPECT_EQ(decodedHealth->sample.errorBoundNanos, 15);
    EXPECT_EQ(decodedHealth->sampleAt, 16);
    EXPECT_EQ(decodedHealth->sampleReporter.pid, -17);
    EXPECT_EQ(decodedHealth->sampleReporter.uid, 18u);
}

// Every proper prefix and every one-byte extension of a valid payload is refused.
template <typename Decode>
void expectExactLength(const std::vector<uint8_t>& payload, Decode decode) {
    ASSERT_TRUE(decode(payload));
    for (size_t length = 0; length < payload.size(); ++length)
        EXPECT_FALSE(decode(std::span(payload.data(), length))) << "prefix of " << length;
    std::vector<uint8_t> longer = payload;
    longer.push_back(0);
    EXPECT_FALSE(decode(longer));
}

TEST(WireCodecTest, TruncatedOrPaddedPayloadsAreRefused) {
    expectExactLength(wire::encode(wire::HelloRequest{7}), wire::decode<wire::HelloRequest>);
    expectExactLength(wire::encode(wire::OpenRequest{1, u"VORNpci0"}),
                      wire::decode<wire::OpenRequest>);
    expectExactLength(wire::encode(wire::ControlRequest{4, 0x80812024, 16, {1, 2, 3}}),
                      wire::decodeControl);
    expectExactLength(wire::encode(wire::CloseRequest{4}), wire::decode<wire::CloseRequest>);
    expectExactLength(wire::encode(sampleCommand()), wire::decode<SimCommand>);
    expectExactLength(wire::encode(wire::InspectRequest{1}), wire::decode<wire::InspectRequest>);
    expectExactLength(wire::encode(wire::StatusRequest{}), wire::decode<wire::StatusRequest>);
    expectExactLength(wire::encodeReply({}, BoardState{}), wire::decodeStateReply);
    expectExactLength(wire::encodeReply({}, std::vector<uint8_t>{1, 2}), wire::decodeControlReply);
}

TEST(WireCodecTest, LengthsBeyondTheLimitsAreRefused) {
    // An input length field larger than the limit, with the bytes really there.
    wire::ControlRequest big{4, 1, 0, std::vector<uint8_t>(wire::kMaxIoLength + 1, 0xAA)};
    EXPECT_FALSE(wire::decodeControl(wire::encode(big)));
    big.input.resize(wire::kMaxIoLength);
    EXPECT_TRUE(wire::decodeControl(wire::encode(big)));

    std::u16string longName(wire::kMaxNameLength + 1, u'A');
    EXPECT_FALSE(wire::decode<wire::OpenRequest>(wire::encode(wire::OpenRequest{0, longName})));
    longName.pop_back();
    EXPECT_TRUE(wire::decode<wire::OpenRequest>(wire::encode(wire::OpenRequest{0, longName})));

    std::vector<uint8_t> reply = wire::encodeReply({}, std::vector<uint8_t>(8, 1));
    reply[8] = 0xFF; // output length field far beyond both the limit and the bytes present
    reply[9] = 0xFF;
    EXPECT_FALSE(wire::decodeControlReply(reply));
}

// A next-event reply carries 1 to kMaxEventsPerReply events, in order; the full count fits a
// frame, and no count outside that range decodes, even with the events really there.
TEST(WireCodecTest, EventRepliesCarryABoundedCount) {
    std::vector<HostEvent> events(wire::kMaxEventsPerReply);
    for (size_t i = 0; i < events.size(); ++i)
        events[i].sequence = 100 + i;
    const std::vector<uint8_t> full = wire::encodeReply({}, events);
    EXPECT_LE(full.size(), wire::kMaxPayload);
    auto decoded = wire::decodeEventsReply(full);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), events.size());
    EXPECT_EQ(decoded->back().sequence, 100 + events.size() - 1);
    expectExactLength(wire::encodeReply({}, std::span(events).first(2)), wire::decodeEventsReply);

    events.emplace_back();
    EXPECT_FALSE(wire::decodeEventsReply(wire::encodeReply({}, events)));
    EXPECT_FALSE(wire::decodeEventsReply(wire::encodeReply({}, std::span<const HostEvent>())));
}

TEST(WireCodecTest, HeadersAreCheckedForMagicVersionAndLength) {
    auto good = wire::frame(3, 77, 5, std::vector<uint8_t>(10, 0));
    ASSERT_EQ(good.size(), wire::kHeaderSize + 10);
    wire::HeaderCheck check;
    wire::Header header = wire::decodeHeader(good.data(), &check);
    EXPECT_EQ(check, wire::HeaderCheck::Ok);
    EXPECT_EQ(header.type, 3);
    EXPECT_EQ(header.length, 10u);
    EXPECT_EQ(header.requestId, 77u);
    EXPECT_EQ(header.threadId, 5u);

    auto badMagic = good;
    badMagic[0] ^= 1;
    wire::decodeHeader(badMagic.data(), &check);
    EXPECT_EQ(check, wire::HeaderCheck::BadMagic);

    auto badVersion = good;
    badVersion[4] = 2;
    wire::decodeHeader(badVersion.data(), &check);
    EXPECT_EQ(check, wire::HeaderCheck::BadVersion);

    auto tooLong = good;
    uint32_t length = wire::kMaxPayload + 1;
    for (int i = 0; i < 4; ++i)
        tooLong[8 + i] = uint8_t(length >> (8 * i));
    wire::decodeHeader(tooLong.data(), &check);
    EXPECT_EQ(check, wire::HeaderCheck::TooLong);
}

// Random payloads of every length up to a few hundred bytes: decoders must refuse or accept
// without reading outside the input (the sanitizer builds watch for that).
TEST(WireCodecTest, RandomPayloadsNeverReadOutOfBounds) {
    std::mt19937 random(20261208);
    size_t accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<uint8_t> bytes(random() % 300);
        for (auto& b : bytes)
            b = uint8_t(random());
        accepted +=
            wire::decode<wire::OpenRequest>(bytes).has_value() +
            wire::decodeControl(bytes).has_value() + wire::decode<SimCommand>(bytes).has_value() +
            wire::decodeStateReply(bytes).has_value() + wire::decodeControlReply(bytes).has_value();
        if (bytes.size() >= wire::kHeaderSize) {
            wire::HeaderCheck check;
            wire::decodeHeader(bytes.data(), &check);
            EXPECT_NE(check, wire::HeaderCheck::Ok); // random magic never matches here
        }
    }
    // Fixed-size records of exactly the drawn length do decode: the loop reaches them.
    EXPECT_GT(accepted, 0u);
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

// Every field of the board state distinct, so that a field moved or resized shows.
BoardState distinctState() {
    BoardState s{0x9072, 2026,  342,    23,     59,    59'000'001,    true,       false,
                 true,   -5000, 0x1234, true,   false, true,          false,      0x16D,
                 22,     58,    17,     0x00E0, 1024,  0x1'0000'0001, 1ull << 40, 0x7F};
    return s;
}

// The bytes on the wire stay as older clients and daemons expect them; a round trip alone
// cannot show a field that moved in both directions at once.
TEST(WireCodecTest, EncodingsKeepTheirBytes) {
    EXPECT_EQ(hex(wire::encode(wire::HelloRequest{0x01020304})), "04030201");
    EXPECT_EQ(hex(wire::encode(wire::OpenRequest{3, u"V0"})), "0300020056003000");
    EXPECT_EQ(hex(wire::encode(wire::ControlRequest{0x1122334455667788, 0x80812024, 16, {1, 2}})),
              "88776655443322112420818002000000100000000102");
    EXPECT_EQ(hex(wire::encode(wire::CloseRequest{0x0102030405060708})), "0807060504030201");
    EXPECT_EQ(hex(wire::encode(sampleCommand())),
              "0200000005010001070000006e01173bff8693037f969800e7006701bf27090040e201000fe803000000"
              "a028e2ebffffffc1bdf0ffffffffff04030201");
    EXPECT_EQ(hex(wire::encode(wire::InspectRequest{0x0A0B0C0D})), "0d0c0b0a");
    EXPECT_EQ(hex(wire::encode(wire::StatusRequest{wire::StatusWait::Idle, 4, 900})),
              "020000000400000084030000");
    const wire::ReplyHead head{wire::WireError::Busy, NTSTATUS(0xC00000A3)};
    EXPECT_EQ(hex(wire::encodeReply(head)), "04000000a30000c0");
    EXPECT_EQ(hex(wire::encodeReply(head, uint64_t(0x44))), "04000000a30000c04400000000000000");
    EXPECT_EQ(hex(wire::encodeReply(head, std::vector<uint8_t>{9, 8, 7})),
              "04000000a30000c003000000090807");
    EXPECT_EQ(hex(wire::encodeReply(head, distinctState())),
              "04000000a30000c07290ea07000056010000170000003b000000c144840301000178ecffff3412010001"
              "006d01163a11000000e00000040000010000000100000000000000000100007f00000000000000");
    EXPECT_EQ(hex(wire::encodeReply(head, wire::HostStatus{2, 3, true})),
              "04000000a30000c0020000000300000001");
    EXPECT_EQ(hex(wire::encode(wire::SubscribeRequest{u"V0"})), "020056003000");
    EXPECT_EQ(hex(wire::encode(wire::NextEventRequest{0x0A0B0C0D, 250, 3})),
              "0d0c0b0afa00000003000000");
    EXPECT_EQ(hex(wire::encode(wire::UnsubscribeRequest{7})), "07000000");
    const HostEvent event{0x0102030405060708, 2, 2026, 343, 0x1122334455, 0x0A0B0C0D0E0F1011};
    const std::vector<uint8_t> eventReply = wire::encodeReply(head, std::span(&event, 1));
    EXPECT_EQ(hex(eventReply), "04000000a30000c00100000008070605040302010200000000000000ea075701"
                               "554433221100000011100f0e0d0c0b0a");
    auto decoded = wire::decodeEventsReply(eventReply);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 1u);
    EXPECT_EQ(decoded->front().receivedUnixNanos, event.receivedUnixNanos);
    EXPECT_EQ(decoded->front().microsOfDay, event.microsOfDay);
    EXPECT_EQ(hex(wire::frame(3, 0x0A0B0C0D, 0x01020304, std::vector<uint8_t>{0xEE})),
              "5648535401000300010000000d0c0b0a04030201ee");
    std::vector<uint8_t> appended;
    const uint8_t input[] = {5};
    wire::appendControlFrame(appended, 7, 8, 0x44, 0x80812024, input, 16);
    wire::appendReplyFrame(appended, wire::Header{1, 3, 0, 7, 8}, head, input);
    EXPECT_EQ(hex(appended), "5648535401000300150000000700000008000000440000000000000024208180"
                             "01000000100000000556485354010003800d0000000700000008000000"
                             "04000000a30000c00100000005");
}

bool decodesAsItsType(uint16_t type, std::span<const uint8_t> payload) {
    switch (wire::MessageType(type)) {
    case wire::MessageType::Hello:
        return wire::decode<wire::HelloRequest>(payload).has_value();
    case wire::MessageType::Open:
        return wire::decode<wire::OpenRequest>(payload).has_value();
    case wire::MessageType::DeviceControl:
        return wire::decodeControl(payload).has_value();
    case wire::MessageType::Close:
        return wire::decode<wire::CloseRequest>(payload).has_value();
    case wire::MessageType::Simulate:
        return wire::decode<SimCommand>(payload).has_value();
    case wire::MessageType::Inspect:
        return wire::decode<wire::InspectRequest>(payload).has_value();
    case wire::MessageType::Status:
        return wire::decode<wire::StatusRequest>(payload).has_value();
    case wire::MessageType::Subscribe:
        return wire::decode<wire::SubscribeRequest>(payload).has_value();
    case wire::MessageType::NextEvent:
        return wire::decode<wire::NextEventRequest>(payload).has_value();
    case wire::MessageType::Unsubscribe:
        return wire::decode<wire::UnsubscribeRequest>(payload).has_value();
    case wire::MessageType::Health:
        return wire::decode<wire::HealthRequest>(payload).has_value();
    case wire::MessageType::ReportSample:
        return wire::decode<wire::SampleReport>(payload).has_value();
    }
    return true; // a type the daemon does not know has no payload to check
}

// The protocol fuzzer's seeds are written apart from this codec: their whole frames must decode,
// or the seeds only ever reach the daemon's refusal of a malformed payload.
TEST(WireCodecTest, ProtocolFuzzSeedsDecode) {
    const std::filesystem::path folder =
        std::filesystem::path(VORN_SOURCE_DIR) / "tests/data/fuzz/vornhost_protocol_fuzzer";
    size_t frames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        ASSERT_FALSE(bytes.empty()) << entry.path();
        auto stream = std::span(bytes).subspan(1); // the fuzzer's mode byte
        size_t refused = 0;
        while (stream.size() >= wire::kHeaderSize) {
            wire::HeaderCheck check;
            const wire::Header h = wire::decodeHeader(stream.data(), &check);
            if (check != wire::HeaderCheck::Ok || stream.size() - wire::kHeaderSize < h.length)
                break; // the seeds that break the framing end here on purpose
            refused += !decodesAsItsType(h.type, stream.subspan(wire::kHeaderSize, h.length));
            stream = stream.subspan(wire::kHeaderSize + h.length);
            ++frames;
        }
        const bool malformedOnPurpose = entry.path().filename() == "malformed_open";
        EXPECT_EQ(refused > 0, malformedOnPurpose) << entry.path().filename();
    }
    EXPECT_GT(frames, 100u);
}

bool noFile(const std::string&, std::string*) {
    return false;
}

bool fakeFile(const std::string& path, std::string* text) {
    if (path != "machine.txt")
        return false;
    *text = "# two boards\nboard model=0x7000 bus=1 slot=5 irq=10\n";
    return true;
}

TEST(WireDaemonOptionsTest, DefaultsGiveTheDefaultMachineAndSocket) {
    auto parsed = parseDaemonOptions({}, noFile);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.socketPath, "/run/vornhost/vornhost.sock");
    EXPECT_EQ(parsed.options.group, "vorn");
    ASSERT_EQ(parsed.options.machine.cards.size(), 1u);
    EXPECT_EQ(parsed.options.machine.cards[0].ids.subsystemId, 0x9070);
    EXPECT_EQ(parsed.options.machine.cards[0].bus, 0u);
}

TEST(WireDaemonOptionsTest, BoardsAndMachineFileCombine) {
    auto parsed = parseDaemonOptions({"--board", "model=0x9072,bus=0,slot=3", "--machine",
                                      "machine.txt", "--group", "wheel", "--socket", "/tmp/s"},
                                     fakeFile);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.group, "wheel");
    EXPECT_EQ(parsed.options.socketPath, "/tmp/s");
    ASSERT_EQ(parsed.options.machine.cards.size(), 2u);
    EXPECT_EQ(parsed.options.machine.cards[0].ids.subsystemId, 0x7000); // the file comes first
    EXPECT_EQ(parsed.options.machine.cards[1].ids.subsystemId, 0x9072);
    EXPECT_EQ(parsed.options.machine.cards[1].irq, 11u);
    EXPECT_EQ(boardLine("model=0x9070,bus=0,slot=3,irq=5"),
              "board model=0x9070 bus=0 slot=3 irq=5");
}

TEST(WireDaemonOptionsTest, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--sockt", "x"}, "unknown option '--sockt'"},
        {{"--socket"}, "option --socket needs a value"},
        {{"--machine", "missing.txt"}, "cannot read machine file 'missing.txt'"},
        {{"--board", "model=0x9070,bus=0"}, "machine: line 1: missing key 'slot'"},
        {{"--board", "model=0x1234,bus=0,slot=3"}, "machine: line 1"},
        {{"--board", "model=0x9070,bus=0,slot=3", "--board", "model=0x9070,bus=0,slot=3"},
         "already holds a card"},
        {{"--metrics", "9100"}, "bad --metrics address '9100': expected ADDRESS:PORT"},
        {{"--metrics", "127.0.0.1:65536"}, "bad --metrics address"},
        {{"--metrics", "127.0.0.1:"}, "bad --metrics address"},
    };
    for (const auto& c : cases) {
        auto parsed = parseDaemonOptions(c.args, fakeFile);
        EXPECT_FALSE(parsed.ok) << c.args[0];
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
    EXPECT_TRUE(parseDaemonOptions({"--help"}, noFile).options.help);
}

TEST(WireDaemonOptionsTest, MetricsListenOnLoopbackUnlessToldOtherwise) {
    auto parsed = parseDaemonOptions({"--metrics", ":9100"}, noFile);
    ASSERT_TRUE(parsed.ok && parsed.options.metrics) << parsed.error;
    EXPECT_EQ(parsed.options.metrics->host, "127.0.0.1");
    EXPECT_EQ(parsed.options.metrics->port, 9100);
    parsed = parseDaemonOptions({"--metrics", "[::1]:9101"}, noFile);
    ASSERT_TRUE(parsed.ok && parsed.options.metrics) << parsed.error;
    EXPECT_EQ(parsed.options.metrics->host, "::1");
    EXPECT_FALSE(parseDaemonOptions({}, noFile).options.metrics);
}

} // namespace
