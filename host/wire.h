// The vornhost socket protocol: framing, message types, stable error codes and the encoding of
// every request and reply. Frames are little-endian: a 20-byte header, then the payload.
//   header: u32 magic "VHST", u16 version, u16 type, u32 payload length, u32 request id,
//           u32 client thread id
// Replies carry the request's type with kReplyBit set, its request id and thread id, and a
// payload that starts with u32 WireError and i32 NTSTATUS (meaningful when the error is Ok).
// Replies may arrive in any order; the request id matches them. Anything that does not decode
// is malformed: the daemon closes that connection.
#pragma once

#include "device_channel.h"
#include "health.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vornhost::wire {

constexpr uint32_t kMagic = 0x54534856; // "VHST"
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 20;
constexpr uint32_t kMaxPayload = 16 * 1024;
constexpr uint32_t kMaxIoLength = 4096;  // device control input and output bytes
constexpr uint32_t kMaxNameLength = 256; // device name, UTF-16 units
constexpr uint32_t kMaxStatusBoundMs = 10'000;
constexpr uint16_t kReplyBit = 0x8000;
// Events one next-event reply carries at most: with its head and count, well within kMaxPayload.
constexpr uint32_t kMaxEventsPerReply = 256;

enum class MessageType : uint16_t {
    Hello = 1,
    Open = 2,
    DeviceControl = 3,
    Close = 4,
    Simulate = 5,
    Inspect = 6,
    Status = 7,
    Subscribe = 8, // events of a board to a queue of the connection's own
    NextEvent = 9, // the next event of a subscription, waiting up to a time-out
    Unsubscribe = 10,
    Health = 11,       // a board's health record
    ReportSample = 12, // a synchronization feed's latest sample of a board
};

// Stable numbers: never renumber, only add.
enum class WireError : uint32_t {
    Ok = 0,
    UnknownCommand = 1, // a type the daemon does not know
    NotPermitted = 2,   // a command sent before Hello, or Hello twice
    BadArgument = 3,    // a value out of range
    Busy = 4,           // too many requests queued for one client thread
    TooManyThreads = 5, // too many client thread ids on one connection
    AccessRefused = 6,  // the peer's credentials are not admitted (sent unasked, id 0)
    ShuttingDown = 7,   // the daemon is stopping
};

const char* errorName(WireError error);

struct Header {
    uint16_t version = kVersion;
    uint16_t type = 0;
    uint32_t length = 0;
    uint32_t requestId = 0;
    uint32_t threadId = 0;
};

enum class HeaderCheck { Ok, BadMagic, BadVersion, TooLong };

// Decodes exactly kHeaderSize bytes.
Header decodeHeader(const uint8_t* bytes, HeaderCheck* check);
std::vector<uint8_t> frame(uint16_t type, uint32_t requestId, uint32_t threadId,
                           std::span<const uint8_t> payload);
// The same frame appended to `out`; a buffer that is cleared and reused keeps its capacity, so
// the request path builds its frames without allocating.
void appendFrame(std::vector<uint8_t>& out, uint16_t type, uint32_t requestId, uint32_t threadId,
                 std::span<const uint8_t> payload);

// Requests.
struct HelloRequest {
    uint32_t clientPid = 0;
};
struct OpenRequest {
    uint16_t shareAccess = 0;
    std::u16string name;
};
struct ControlRequest {
    uint64_t handle = 0;
    uint32_t code = 0;
    uint32_t outLength = 0;
    std::vector<uint8_t> input;
};
// A device control request read in place: `input` points into the payload.
struct ControlView {
    uint64_t handle = 0;
    uint32_t code = 0;
    uint32_t outLength = 0;
    std::span<const uint8_t> input;
};
struct CloseRequest {
    uint64_t handle = 0;
};
struct InspectRequest {
    uint32_t board = 0;
};
// Boards by device number, n of "VORNpci" + n.
struct HealthRequest {
    uint32_t board = 0;
};
struct SampleReport {
    uint32_t board = 0;
    SyncSample sample;
};
enum class StatusWait : uint32_t { None = 0, PendingAtLeast = 1, Idle = 2 };
// Idle: no connection but the asker's, and no request in the driver.
struct StatusRequest {
    StatusWait wait = StatusWait::None;
    uint32_t count = 0;
    uint32_t boundMs = 0;
};

// Event subscriptions: the reply to Subscribe carries the subscription number as its handle.
struct SubscribeRequest {
    std::u16string device;
};
// Up to `maxEvents` events already queued leave in one reply; the take waits only while none is.
struct NextEventRequest {
    uint32_t subscription = 0;
    uint32_t timeoutMs = 0;
    uint32_t maxEvents = 1; // 1 to kMaxEventsPerReply
};
struct UnsubscribeRequest {
    uint32_t subscription = 0;
};

// Every request record but the device control one is written and read through its one field
// list, for the records listed in wire.cpp. A decoder takes the whole payload and fails (nullopt)
// unless it is exactly one record. Values are not range-checked here; the command table does that.
template <typename Request> std::vector<uint8_t> encode(const Request& r);
template <typename Request> std::optional<Request> decode(std::span<const uint8_t> p);

// A device control request carries its input bytes, which the frame view points into.
std::vector<uint8_t> encode(const ControlRequest& r);
std::optional<ControlRequest> decodeControl(std::span<const uint8_t> p);
std::optional<ControlView> viewControl(std::span<const uint8_t> p);
// A whole device control frame, encoded as encode(ControlRequest) would, appended to `out`.
void appendControlFrame(std::vector<uint8_t>& out, uint32_t requestId, uint32_t threadId,
                        uint64_t handle, uint32_t code, std::span<const uint8_t> input,
                        uint32_t outLength);

// Replies: the common part, then what the type adds.
struct ReplyHead {
    WireError error = WireError::Ok;
    NTSTATUS status = STATUS_SUCCESS;
};
struct HostStatus {
    uint32_t connections = 0;
    uint32_t liveRequests = 0;
    bool reached = false; // the condition asked for held before the bound
};

std::vector<uint8_t> encodeReply(const ReplyHead& head);
std::vector<uint8_t> encodeReply(const ReplyHead& head, uint64_t handle);
std::vector<uint8_t> encodeReply(const ReplyHead& head, std::span<const uint8_t> output);
std::vector<uint8_t> encodeReply(const ReplyHead& head, const BoardState& state);
std::vector<uint8_t> encodeReply(const ReplyHead& head, const HostStatus& status);
// A next-event reply: a count, then that many events, oldest first.
std::vector<uint8_t> encodeReply(const ReplyHead& head, std::span<const HostEvent> events);
std::vector<uint8_t> encodeReply(const ReplyHead& head, const BoardHealth& health);

std::optional<ReplyHead> decodeReplyHead(std::span<const uint8_t> p);
std::optional<uint64_t> decodeHandleReply(std::span<const uint8_t> p);
std::optional<std::vector<uint8_t>> decodeControlReply(std::span<const uint8_t> p);
// The output bytes of a device control reply, in place.
std::optional<std::span<const uint8_t>> viewControlReply(std::span<const uint8_t> p);
// A whole device control reply frame to `request`, appended to `out`.
void appendReplyFrame(std::vector<uint8_t>& out, const Header& request, const ReplyHead& head,
                      std::span<const uint8_t> output);
std::optional<BoardState> decodeStateReply(std::span<const uint8_t> p);
std::optional<HostStatus> decodeStatusReply(std::span<const uint8_t> p);
// The events of a next-event reply; nullopt unless there are 1 to kMaxEventsPerReply of them.
std::optional<std::vector<HostEvent>> decodeEventsReply(std::span<const uint8_t> p);
std::optional<BoardHealth> decodeHealthReply(std::span<const uint8_t> p);

} // namespace vornhost::wire
