// Encoding and decoding of vornhost frames: fixed little-endian fields, checked lengths.
#include "wire.h"

#include <cstring>

namespace vornhost::wire {
namespace {

// Writes fields at the end of a byte vector: its own, or one the caller keeps for reuse.
class Writer {
public:
    Writer() : m_bytes(&m_own) {}
    explicit Writer(std::vector<uint8_t>& out) : m_bytes(&out) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    Writer& u8(uint8_t v) {
        m_bytes->push_back(v);
        return *this;
    }
    Writer& u16(uint16_t v) { return put(v, 2); }
    Writer& u32(uint32_t v) { return put(v, 4); }
    Writer& u64(uint64_t v) { return put(v, 8); }
    Writer& bytes(std::span<const uint8_t> b) {
        m_bytes->insert(m_bytes->end(), b.begin(), b.end());
        return *this;
    }
    std::vector<uint8_t> take() { return std::move(*m_bytes); }
    size_t size() const { return m_bytes->size(); }
    // Overwrites four bytes written before, at `offset`.
    void patch32(size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            (*m_bytes)[offset + i] = uint8_t(v >> (8 * i));
    }

private:
    Writer& put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            m_bytes->push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> m_own;
    std::vector<uint8_t>* m_bytes;
};

// Starts a frame at the end of the writer's bytes; finishFrame fills in its payload length.
size_t startFrame(Writer& w, uint16_t type, uint32_t requestId, uint32_t threadId) {
    const size_t start = w.size();
    w.u32(kMagic).u16(kVersion).u16(type).u32(0).u32(requestId).u32(threadId);
    return start;
}

void finishFrame(Writer& w, size_t start) {
    w.patch32(start + 8, uint32_t(w.size() - start - kHeaderSize));
}

// Reads fields in order; any read past the end marks the reader failed.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> p) : m_p(p) {}
    uint8_t u8() { return uint8_t(get(1)); }
    uint16_t u16() { return uint16_t(get(2)); }
    uint32_t u32() { return uint32_t(get(4)); }
    uint64_t u64() { return get(8); }
    std::span<const uint8_t> bytes(size_t n) {
        if (!m_ok || m_p.size() - m_pos < n) {
            m_ok = false;
            return {};
        }
        auto b = m_p.subspan(m_pos, n);
        m_pos += n;
        return b;
    }
    bool ok() const { return m_ok; }
    bool finished() const { return m_ok && m_pos == m_p.size(); }

private:
    uint64_t get(int width) {
        if (!m_ok || m_p.size() - m_pos < size_t(width)) {
            m_ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= uint64_t(m_p[m_pos + i]) << (8 * i);
        m_pos += width;
        return v;
    }
    std::span<const uint8_t> m_p;
    size_t m_pos = 0;
    bool m_ok = true;
};

template <typename T> std::optional<T> done(const Reader& r, T value) {
    if (!r.finished())
        return std::nullopt;
    return value;
}

Writer& head(Writer& w, const ReplyHead& h) {
    return w.u32(uint32_t(h.error)).u32(uint32_t(h.status));
}

ReplyHead readHead(Reader& r) {
    ReplyHead h;
    h.error = WireError(r.u32());
    h.status = NTSTATUS(r.u32());
    return h;
}

} // namespace

const char* errorName(WireError error) {
    switch (error) {
    case WireError::Ok:
        return "ok";
    case WireError::UnknownCommand:
        return "unknown command";
    case WireError::NotPermitted:
        return "not permitted";
    case WireError::BadArgument:
        return "bad argument";
    case WireError::Busy:
        return "busy";
    case WireError::TooManyThreads:
        return "too many threads";
    case WireError::AccessRefused:
        return "access refused";
    case WireError::ShuttingDown:
        return "shutting down";
    }
    return "unknown error";
}

Header decodeHeader(const uint8_t* bytes, HeaderCheck* check) {
    Reader r({bytes, kHeaderSize});
    uint32_t magic = r.u32();
    Header h;
    h.version = r.u16();
    h.type = r.u16();
    h.length = r.u32();
    h.requestId = r.u32();
    h.threadId = r.u32();
    if (magic != kMagic)
        *check = HeaderCheck::BadMagic;
    else if (h.version != kVersion)
        *check = HeaderCheck::BadVersion;
    else if (h.length > kMaxPayload)
        *check = HeaderCheck::TooLong;
    else
        *check = HeaderCheck::Ok;
    return h;
}

std::vector<uint8_t> frame(uint16_t type, uint32_t requestId, uint32_t threadId,
                           std::span<const uint8_t> payload) {
    std::vector<uint8_t> bytes;
    appendFrame(bytes, type, requestId, threadId, payload);
    return bytes;
}

void appendFrame(std::vector<uint8_t>& out, uint16_t type, uint32_t requestId, uint32_t threadId,
                 std::span<const uint8_t> payload) {
    Writer w(out);
    const size_t start = startFrame(w, type, requestId, threadId);
    w.bytes(payload);
    finishFrame(w, start);
}

void appendControlFrame(std::vector<uint8_t>& out, uint32_t requestId, uint32_t threadId,
                        uint64_t handle, uint32_t code, std::span<const uint8_t> input,
                        uint32_t outLength) {
    Writer w(out);
    const size_t start = startFrame(w, uint16_t(MessageType::DeviceControl), requestId, threadId);
    w.u64(handle).u32(code).u32(uint32_t(input.size())).u32(outLength).bytes(input);
    finishFrame(w, start);
}

void appendReplyFrame(std::vector<uint8_t>& out, const Header& request, const ReplyHead& h,
                      std::span<const uint8_t> output) {
    Writer w(out);
    const size_t start =
        startFrame(w, uint16_t(request.type | kReplyBit), request.requestId, request.threadId);
    head(w, h).u32(uint32_t(output.size())).bytes(output);
    finishFrame(w, start);
}

std::vector<uint8_t> encode(const HelloRequest& r) {
    return Writer().u32(r.clientPid).take();
}

std::vector<uint8_t> encode(const OpenRequest& r) {
    Writer w;
    w.u16(r.shareAccess).u16(uint16_t(r.name.size()));
    for (char16_t c : r.name)
        w.u16(c);
    return w.take();
}

std::vector<uint8_t> encode(const ControlRequest& r) {
    Writer w;
    w.u64(r.handle).u32(r.code).u32(uint32_t(r.input.size())).u32(r.outLength).bytes(r.input);
    return w.take();
}

std::vector<uint8_t> encode(const CloseRequest& r) {
    return Writer().u64(r.handle).take();
}

std::vector<uint8_t> encode(const SimCommand& c) {
    Writer w;
    w.u32(c.board).u8(uint8_t(c.action)).u8(c.referencePresent).u8(c.faultNoAnswer);
    w.u8(c.faultBadEcho).u32(c.count).u16(c.atDayOfYear).u8(c.atHours).u8(c.atMinutes);
    w.u32(c.atMicrosInMinute).u32(c.altitudeDecimetres).u16(c.latitudeDegrees);
    w.u16(c.longitudeDegrees).u32(c.latitudeMinutes).u32(c.longitudeMinutes);
    w.u8(c.satellites).u32(c.faultSlowFifoReads);
    w.u64(uint64_t(c.referenceOffsetMicros)).u64(uint64_t(c.referencePpb));
    return w.take();
}

std::vector<uint8_t> encode(const InspectRequest& r) {
    return Writer().u32(r.board).take();
}

std::vector<uint8_t> encode(const StatusRequest& r) {
    return Writer().u32(uint32_t(r.wait)).u32(r.count).u32(r.boundMs).take();
}

std::vector<uint8_t> encode(const HealthRequest& r) {
    return Writer().u32(r.board).take();
}

std::vector<uint8_t> encode(const SampleReport& r) {
    Writer w;
    w.u32(r.board).u64(uint64_t(r.sample.offsetNanos)).u64(uint64_t(r.sample.errorBoundNanos));
    return w.take();
}

std::optional<HelloRequest> decodeHello(std::span<const uint8_t> p) {
    Reader r(p);
    HelloRequest h{r.u32()};
    return done(r, h);
}

std::optional<OpenRequest> decodeOpen(std::span<const uint8_t> p) {
    Reader r(p);
    OpenRequest o;
    o.shareAccess = r.u16();
    uint16_t length = r.u16();
    if (!r.ok() || length > kMaxNameLength)
        return std::nullopt;
    for (uint16_t i = 0; i < length; ++i)
        o.name.push_back(char16_t(r.u16()));
    return done(r, std::move(o));
}

std::optional<ControlRequest> decodeControl(std::span<const uint8_t> p) {
    auto view = viewControl(p);
    if (!view)
        return std::nullopt;
    return ControlRequest{view->handle, view->code, view->outLength,
                          std::vector<uint8_t>(view->input.begin(), view->input.end())};
}

std::optional<ControlView> viewControl(std::span<const uint8_t> p) {
    Reader r(p);
    ControlView c;
    c.handle = r.u64();
    c.code = r.u32();
    uint32_t inLength = r.u32();
    c.outLength = r.u32();
    if (!r.ok() || inLength > kMaxIoLength)
        return std::nullopt;
    c.input = r.bytes(inLength);
    return done(r, c);
}

std::optional<CloseRequest> decodeClose(std::span<const uint8_t> p) {
    Reader r(p);
    CloseRequest c{r.u64()};
    return done(r, c);
}

std::optional<SimCommand> decodeSimulate(std::span<const uint8_t> p) {
    Reader r(p);
    SimCommand c;
    c.board = r.u32();
    c.action = SimAction(r.u8());
    c.referencePresent = r.u8() != 0;
    c.faultNoAnswer = r.u8() != 0;
    c.faultBadEcho = r.u8() != 0;
    c.count = r.u32();
    c.atDayOfYear = r.u16();
    c.atHours = r.u8();
    c.atMinutes = r.u8();
    c.atMicrosInMinute = r.u32();
    c.altitudeDecimetres = r.u32();
    c.latitudeDegrees = r.u16();
    c.longitudeDegrees = r.u16();
    c.latitudeMinutes = r.u32();
    c.longitudeMinutes = r.u32();
    c.satellites = r.u8();
    c.faultSlowFifoReads = r.u32();
    c.referenceOffsetMicros = int64_t(r.u64());
    c.referencePpb = int64_t(r.u64());
    return done(r, c);
}

std::optional<InspectRequest> decodeInspect(std::span<const uint8_t> p) {
    Reader r(p);
    InspectRequest i{r.u32()};
    return done(r, i);
}

std::optional<StatusRequest> decodeStatus(std::span<const uint8_t> p) {
    Reader r(p);
    StatusRequest s;
    s.wait = StatusWait(r.u32());
    s.count = r.u32();
    s.boundMs = r.u32();
    return done(r, s);
}

std::optional<HealthRequest> decodeHealth(std::span<const uint8_t> p) {
    Reader r(p);
    HealthRequest h{r.u32()};
    return done(r, h);
}

std::optional<SampleReport> decodeSampleReport(std::span<const uint8_t> p) {
    Reader r(p);
    SampleReport s;
    s.board = r.u32();
    s.sample.offsetNanos = int64_t(r.u64());
    s.sample.errorBoundNanos = int64_t(r.u64());
    return done(r, s);
}

std::vector<uint8_t> encodeReply(const ReplyHead& h) {
    Writer w;
    return head(w, h).take();
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, uint64_t handle) {
    Writer w;
    return head(w, h).u64(handle).take();
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, std::span<const uint8_t> output) {
    Writer w;
    return head(w, h).u32(uint32_t(output.size())).bytes(output).take();
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const BoardState& s) {
    Writer w;
    head(w, h);
    w.u16(s.model).u32(uint32_t(s.year)).u32(uint32_t(s.dayOfYear)).u32(uint32_t(s.hours));
    w.u32(uint32_t(s.minutes)).u32(s.microsInMinute).u8(s.freewheel).u8(s.referencePresent);
    w.u8(s.inSync).u32(uint32_t(s.propagationDelayMicros)).u16(s.heartbeatDivider);
    w.u8(s.heartbeatSquare).u8(s.heartbeatImmediately).u8(s.matchArmed).u8(s.matchStop);
    w.u16(s.matchDayOfYear).u8(s.matchHours).u8(s.matchMinutes).u32(s.matchMicrosInMinute);
    w.u16(s.enables).u32(s.fifoLevel).u64(s.eventsTagged).u64(s.heartbeats).u64(s.matches);
    return w.take();
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const HostStatus& s) {
    Writer w;
    return head(w, h).u32(s.connections).u32(s.liveRequests).u8(s.reached).take();
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const BoardHealth& b) {
    Writer w;
    head(w, h).u8(b.synchronized).u64(uint64_t(b.syncChangedAt)).u8(b.referencePresent);
    w.u8(b.referenceSeen).u64(uint64_t(b.referenceSeenAt)).u64(uint64_t(b.takenAt));
    w.u8(b.freewheel);
    for (size_t kind = 0; kind < kRequestKinds; ++kind)
        w.u64(b.served[kind]).u64(b.failed[kind]).u64(b.timedOut[kind]);
    w.u64(b.eventsTagged).u64(b.eventsDelivered).u8(b.eventDropsKnown);
    w.u64(b.eventsFifoOverflows).u64(b.eventsRingDrops).u8(b.subscriberCountsKnown);
    w.u64(b.subscriberDeliveries).u64(b.subscriberDrops).u8(b.sampleKnown);
    w.u64(uint64_t(b.sample.offsetNanos)).u64(uint64_t(b.sample.errorBoundNanos));
    w.u64(uint64_t(b.sampleAt));
    return w.take();
}

std::optional<ReplyHead> decodeReplyHead(std::span<const uint8_t> p) {
    Reader r(p);
    ReplyHead h = readHead(r);
    if (!r.ok())
        return std::nullopt;
    return h;
}

std::optional<uint64_t> decodeHandleReply(std::span<const uint8_t> p) {
    Reader r(p);
    readHead(r);
    uint64_t handle = r.u64();
    return done(r, handle);
}

std::optional<std::vector<uint8_t>> decodeControlReply(std::span<const uint8_t> p) {
    auto output = viewControlReply(p);
    if (!output)
        return std::nullopt;
    return std::vector<uint8_t>(output->begin(), output->end());
}

std::optional<std::span<const uint8_t>> viewControlReply(std::span<const uint8_t> p) {
    Reader r(p);
    readHead(r);
    uint32_t length = r.u32();
    if (!r.ok() || length > kMaxIoLength)
        return std::nullopt;
    auto output = r.bytes(length);
    return done(r, output);
}

std::optional<BoardState> decodeStateReply(std::span<const uint8_t> p) {
    Reader r(p);
    readHead(r);
    BoardState s;
    s.model = r.u16();
    s.year = int32_t(r.u32());
    s.dayOfYear = int32_t(r.u32());
    s.hours = int32_t(r.u32());
    s.minutes = int32_t(r.u32());
    s.microsInMinute = r.u32();
    s.freewheel = r.u8() != 0;
    s.referencePresent = r.u8() != 0;
    s.inSync = r.u8() != 0;
    s.propagationDelayMicros = int32_t(r.u32());
    s.heartbeatDivider = r.u16();
    s.heartbeatSquare = r.u8() != 0;
    s.heartbeatImmediately = r.u8() != 0;
    s.matchArmed = r.u8() != 0;
    s.matchStop = r.u8() != 0;
    s.matchDayOfYear = r.u16();
    s.matchHours = r.u8();
    s.matchMinutes = r.u8();
    s.matchMicrosInMinute = r.u32();
    s.enables = r.u16();
    s.fifoLevel = r.u32();
    s.eventsTagged = r.u64();
    s.heartbeats = r.u64();
    s.matches = r.u64();
    return done(r, s);
}

std::optional<HostStatus> decodeStatusReply(std::span<const uint8_t> p) {
    Reader r(p);
    readHead(r);
    HostStatus s;
    s.connections = r.u32();
    s.liveRequests = r.u32();
    s.reached = r.u8() != 0;
    return done(r, s);
}

std::optional<BoardHealth> decodeHealthReply(std::span<const uint8_t> p) {
    Reader r(p);
    readHead(r);
    BoardHealth b;
    b.synchronized = r.u8() != 0;
    b.syncChangedAt = int64_t(r.u64());
    b.referencePresent = r.u8() != 0;
    b.referenceSeen = r.u8() != 0;
    b.referenceSeenAt = int64_t(r.u64());
    b.takenAt = int64_t(r.u64());
    b.freewheel = r.u8() != 0;
    for (size_t kind = 0; kind < kRequestKinds; ++kind) {
        b.served[kind] = r.u64();
        b.failed[kind] = r.u64();
        b.timedOut[kind] = r.u64();
    }
    b.eventsTagged = r.u64();
    b.eventsDelivered = r.u64();
    b.eventDropsKnown = r.u8() != 0;
    b.eventsFifoOverflows = r.u64();
    b.eventsRingDrops = r.u64();
    b.subscriberCountsKnown = r.u8() != 0;
    b.subscriberDeliveries = r.u64();
    b.subscriberDrops = r.u64();
    b.sampleKnown = r.u8() != 0;
    b.sample.offsetNanos = int64_t(r.u64());
    b.sample.errorBoundNanos = int64_t(r.u64());
    b.sampleAt = int64_t(r.u64());
    return done(r, b);
}

} // namespace vornhost::wire
