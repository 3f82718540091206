// Encoding and decoding of vornhost frames. Each record's fields are listed once, in wire
// order, and both the writer and the reader walk that list.
#include "wire.h"

#include "wire_io.h"

#include <tuple>

namespace vornhost::wire {
namespace {

// The field list of one record: visit(io, record) names each field with its width, in wire
// order, for a Writer (the record const) or a Reader. A new record needs a list here and
// one-line encode and decode functions below.
template <class Record> struct Fields;

// The header before each payload; its magic is the one field no caller sets.
struct FrameHead {
    uint32_t magic = kMagic;
    Header header;
};
template <> struct Fields<FrameHead> {
    template <class Io, class R> static void visit(Io& io, R& f) {
        io.u32(f.magic).u16(f.header.version).u16(f.header.type).u32(f.header.length);
        io.u32(f.header.requestId).u32(f.header.threadId);
    }
};

template <> struct Fields<HelloRequest> {
    template <class Io, class R> static void visit(Io& io, R& h) { io.u32(h.clientPid); }
};

template <> struct Fields<OpenRequest> {
    template <class Io, class R> static void visit(Io& io, R& o) {
        uint16_t length = uint16_t(o.name.size());
        io.u16(o.shareAccess).u16(length).units(o.name, length, kMaxNameLength);
    }
};

template <> struct Fields<ControlView> {
    template <class Io, class R> static void visit(Io& io, R& c) {
        uint32_t inLength = uint32_t(c.input.size());
        io.u64(c.handle).u32(c.code).u32(inLength).u32(c.outLength);
        io.bytes(c.input, inLength, kMaxIoLength);
    }
};

template <> struct Fields<CloseRequest> {
    template <class Io, class R> static void visit(Io& io, R& c) { io.u64(c.handle); }
};

template <> struct Fields<SimCommand> {
    template <class Io, class R> static void visit(Io& io, R& c) {
        io.u32(c.board).u8(c.action).u8(c.referencePresent).u8(c.faultNoAnswer);
        io.u8(c.faultBadEcho).u32(c.count).u16(c.atDayOfYear).u8(c.atHours).u8(c.atMinutes);
        io.u32(c.atMicrosInMinute).u32(c.altitudeDecimetres).u16(c.latitudeDegrees);
        io.u16(c.longitudeDegrees).u32(c.latitudeMinutes).u32(c.longitudeMinutes);
        io.u8(c.satellites).u32(c.faultSlowFifoReads);
        io.u64(c.referenceOffsetMicros).u64(c.referencePpb).u32(c.intervalMicros);
    }
};

template <> struct Fields<InspectRequest> {
    template <class Io, class R> static void visit(Io& io, R& i) { io.u32(i.board); }
};

template <> struct Fields<StatusRequest> {
    template <class Io, class R> static void visit(Io& io, R& s) {
        io.u32(s.wait).u32(s.count).u32(s.boundMs);
    }
};

template <> struct Fields<SubscribeRequest> {
    template <class Io, class R> static void visit(Io& io, R& s) {
        uint16_t length = uint16_t(s.device.size());
        io.u16(length).units(s.device, length, kMaxNameLength);
    }
};

template <> struct Fields<NextEventRequest> {
    template <class Io, class R> static void visit(Io& io, R& n) {
        io.u32(n.subscription).u32(n.timeoutMs).u32(n.maxEvents);
    }
};

template <> struct Fields<UnsubscribeRequest> {
    template <class Io, class R> static void visit(Io& io, R& u) { io.u32(u.subscription); }
};

template <> struct Fields<ReplyHead> {
    template <class Io, class R> static void visit(Io& io, R& h) { io.u32(h.error).u32(h.status); }
};

// What the Open reply adds to the head.
struct HandleReply {
    uint64_t handle = 0;
};
template <> struct Fields<HandleReply> {
    template <class Io, class R> static void visit(Io& io, R& h) { io.u64(h.handle); }
};

// What the device control reply adds to the head.
struct OutputReply {
    std::span<const uint8_t> output;
};
template <> struct Fields<OutputReply> {
    template <class Io, class R> static void visit(Io& io, R& o) {
        uint32_t length = uint32_t(o.output.size());
        io.u32(length).bytes(o.output, length, kMaxIoLength);
    }
};

template <> struct Fields<BoardState> {
    template <class Io, class R> static void visit(Io& io, R& s) {
        io.u16(s.model).u32(s.year).u32(s.dayOfYear).u32(s.hours).u32(s.minutes);
        io.u32(s.microsInMinute).u8(s.freewheel).u8(s.referencePresent).u8(s.inSync);
        io.u32(s.propagationDelayMicros).u16(s.heartbeatDivider).u8(s.heartbeatSquare);
        io.u8(s.heartbeatImmediately).u8(s.matchArmed).u8(s.matchStop).u16(s.matchDayOfYear);
        io.u8(s.matchHours).u8(s.matchMinutes).u32(s.matchMicrosInMinute).u16(s.enables);
        io.u32(s.fifoLevel).u64(s.eventsTagged).u64(s.heartbeats).u64(s.matches);
    }
};

template <> struct Fields<HostStatus> {
    template <class Io, class R> static void visit(Io& io, R& s) {
        io.u32(s.connections).u32(s.liveRequests).u8(s.reached);
    }
};

template <> struct Fields<HostEvent> {
    template <class Io, class R> static void visit(Io& io, R& e) {
        io.u64(e.sequence).u64(e.droppedBefore).u16(e.year).u16(e.dayOfYear);
        io.u64(e.microsOfDay).u64(e.receivedUnixNanos);
    }
};

// What the next-event reply adds to the head: a count, then the events.
struct EventsReply {
    std::vector<HostEvent> events;
};
// The writer's view of the same record, over events the caller holds.
struct EventsView {
    std::span<const HostEvent> events;
};
struct EventBatchFields {
    template <class Io, class R> static void visit(Io& io, R& b) {
        uint32_t count = uint32_t(b.events.size());
        io.u32(count).records(b.events, count, kMaxEventsPerReply,
                              [&io](auto& event) { Fields<HostEvent>::visit(io, event); });
    }
};
template <> struct Fields<EventsReply> : EventBatchFields {};
template <> struct Fields<EventsView> : EventBatchFields {};
static_assert(8 + 4 + kMaxEventsPerReply * 36 <= kMaxPayload, "a full event reply fits a frame");

template <> struct Fields<HealthRequest> {
    template <class Io, class R> static void visit(Io& io, R& h) { io.u32(h.board); }
};

template <> struct Fields<SampleReport> {
    template <class Io, class R> static void visit(Io& io, R& r) {
        io.u32(r.board).u64(r.sample.offsetNanos).u64(r.sample.errorBoundNanos);
    }
};

template <> struct Fields<BoardHealth> {
    template <class Io, class R> static void visit(Io& io, R& b) {
        io.u8(b.synchronized).u64(b.syncChangedAt).u8(b.referencePresent);
        io.u8(b.referenceSeen).u64(b.referenceSeenAt).u64(b.takenAt).u8(b.freewheel);
        for (size_t kind = 0; kind < kRequestKinds; ++kind)
            io.u64(b.served[kind]).u64(b.failed[kind]).u64(b.timedOut[kind]);
        io.u64(b.eventsTagged).u64(b.eventsDelivered).u8(b.eventDropsKnown);
        io.u64(b.eventsFifoOverflows).u64(b.eventsRingDrops).u8(b.subscriberCountsKnown);
        io.u64(b.subscriberDeliveries).u64(b.subscriberDrops).u8(b.sampleKnown);
        io.u64(b.sample.offsetNanos).u64(b.sample.errorBoundNanos).u64(b.sampleAt);
        io.u32(b.sampleReporter.pid).u32(b.sampleReporter.uid);
    }
};

// The records in order, appended to the writer.
template <class... Records> Writer& write(Writer& w, const Records&... records) {
    (Fields<Records>::visit(w, records), ...);
    return w;
}

template <class... Records> std::vector<uint8_t> encodeAll(const Records&... records) {
    Writer w;
    return write(w, records...).take();
}

// Exactly one record fills the payload, else nothing.
template <class Record> std::optional<Record> decodeOne(std::span<const uint8_t> p) {
    Reader r(p);
    Record record;
    Fields<Record>::visit(r, record);
    if (!r.finished())
        return std::nullopt;
    return record;
}

// A reply: the head, then exactly one record.
template <class Record> std::optional<Record> decodeReplyBody(std::span<const uint8_t> p) {
    Reader r(p);
    ReplyHead head;
    Record record;
    Fields<ReplyHead>::visit(r, head);
    Fields<Record>::visit(r, record);
    if (!r.finished())
        return std::nullopt;
    return record;
}

// Starts a frame at the end of the writer's bytes; finishFrame fills in its payload length.
size_t startFrame(Writer& w, uint16_t type, uint32_t requestId, uint32_t threadId) {
    const size_t start = w.size();
    const FrameHead head{kMagic, Header{kVersion, type, 0, requestId, threadId}};
    write(w, head);
    return start;
}

void finishFrame(Writer& w, size_t start) {
    w.patch32(start + 8, uint32_t(w.size() - start - kHeaderSize));
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
    FrameHead f;
    Fields<FrameHead>::visit(r, f);
    if (f.magic != kMagic)
        *check = HeaderCheck::BadMagic;
    else if (f.header.version != kVersion)
        *check = HeaderCheck::BadVersion;
    else if (f.header.length > kMaxPayload)
        *check = HeaderCheck::TooLong;
    else
        *check = HeaderCheck::Ok;
    return f.header;
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
    w.bytes(payload, uint32_t(payload.size()), kMaxPayload);
    finishFrame(w, start);
}

void appendControlFrame(std::vector<uint8_t>& out, uint32_t requestId, uint32_t threadId,
                        uint64_t handle, uint32_t code, std::span<const uint8_t> input,
                        uint32_t outLength) {
    Writer w(out);
    const size_t start = startFrame(w, uint16_t(MessageType::DeviceControl), requestId, threadId);
    write(w, ControlView{handle, code, outLength, input});
    finishFrame(w, start);
}

void appendReplyFrame(std::vector<uint8_t>& out, const Header& request, const ReplyHead& h,
                      std::span<const uint8_t> output) {
    Writer w(out);
    const size_t start =
        startFrame(w, uint16_t(request.type | kReplyBit), request.requestId, request.threadId);
    write(w, h, OutputReply{output});
    finishFrame(w, start);
}

template <typename Request> std::vector<uint8_t> encode(const Request& r) {
    return encodeAll(r);
}

template <typename Request> std::optional<Request> decode(std::span<const uint8_t> p) {
    return decodeOne<Request>(p);
}

// The request records of the wire. Their coders are taken here so that they are made for the
// callers in other files, which see only the declarations.
template <typename... Requests> auto codersOf() {
    return std::tuple{&encode<Requests>..., &decode<Requests>...};
}
[[gnu::used]] const auto kRequestCoders =
    codersOf<HelloRequest, OpenRequest, CloseRequest, SimCommand, InspectRequest, StatusRequest,
             SubscribeRequest, NextEventRequest, UnsubscribeRequest, HealthRequest, SampleReport>();

std::vector<uint8_t> encode(const ControlRequest& r) {
    return encodeAll(ControlView{r.handle, r.code, r.outLength, r.input});
}

std::optional<ControlRequest> decodeControl(std::span<const uint8_t> p) {
    auto view = viewControl(p);
    if (!view)
        return std::nullopt;
    return ControlRequest{view->handle, view->code, view->outLength,
                          std::vector<uint8_t>(view->input.begin(), view->input.end())};
}

std::optional<ControlView> viewControl(std::span<const uint8_t> p) {
    return decodeOne<ControlView>(p);
}

std::vector<uint8_t> encodeReply(const ReplyHead& h) {
    return encodeAll(h);
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, uint64_t handle) {
    return encodeAll(h, HandleReply{handle});
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, std::span<const uint8_t> output) {
    return encodeAll(h, OutputReply{output});
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const BoardState& s) {
    return encodeAll(h, s);
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const HostStatus& s) {
    return encodeAll(h, s);
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, std::span<const HostEvent> events) {
    return encodeAll(h, EventsView{events});
}

std::vector<uint8_t> encodeReply(const ReplyHead& h, const BoardHealth& b) {
    return encodeAll(h, b);
}

// The head alone: what follows is the type's to read.
std::optional<ReplyHead> decodeReplyHead(std::span<const uint8_t> p) {
    Reader r(p);
    ReplyHead h;
    Fields<ReplyHead>::visit(r, h);
    if (!r.ok())
        return std::nullopt;
    return h;
}

std::optional<uint64_t> decodeHandleReply(std::span<const uint8_t> p) {
    auto reply = decodeReplyBody<HandleReply>(p);
    if (!reply)
        return std::nullopt;
    return reply->handle;
}

std::optional<std::vector<uint8_t>> decodeControlReply(std::span<const uint8_t> p) {
    auto output = viewControlReply(p);
    if (!output)
        return std::nullopt;
    return std::vector<uint8_t>(output->begin(), output->end());
}

std::optional<std::span<const uint8_t>> viewControlReply(std::span<const uint8_t> p) {
    auto reply = decodeReplyBody<OutputReply>(p);
    if (!reply)
        return std::nullopt;
    return reply->output;
}

std::optional<BoardState> decodeStateReply(std::span<const uint8_t> p) {
    return decodeReplyBody<BoardState>(p);
}

std::optional<HostStatus> decodeStatusReply(std::span<const uint8_t> p) {
    return decodeReplyBody<HostStatus>(p);
}

std::optional<std::vector<HostEvent>> decodeEventsReply(std::span<const uint8_t> p) {
    auto reply = decodeReplyBody<EventsReply>(p);
    if (!reply || reply->events.empty())
        return std::nullopt;
    return std::move(reply->events);
}

std::optional<BoardHealth> decodeHealthReply(std::span<const uint8_t> p) {
    return decodeReplyBody<BoardHealth>(p);
}

} // namespace vornhost::wire
