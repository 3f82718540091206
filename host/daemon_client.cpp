// A device channel to the vornhost daemon: requests framed with ids, one reader thread that
// hands each reply to the thread that waits for it.
#include "daemon_client.h"

#include "socket_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vornhost {
namespace {

using wire::MessageType;
using wire::WireError;

std::atomic<uint32_t> g_nextThreadId{1};

// The id this OS thread's requests carry on every connection.
uint32_t callerThreadId() {
    thread_local const uint32_t id = g_nextThreadId.fetch_add(1);
    return id;
}

// Each reply arrives whole or the connection is taken for broken.
constexpr int kReplyGapMs = 5000;

} // namespace

NTSTATUS statusForWireError(WireError error) {
    switch (error) {
    case WireError::Ok:
        return STATUS_SUCCESS;
    case WireError::UnknownCommand:
        return STATUS_NOT_IMPLEMENTED;
    case WireError::NotPermitted:
    case WireError::AccessRefused:
        return STATUS_ACCESS_DENIED;
    case WireError::BadArgument:
        return STATUS_INVALID_PARAMETER;
    case WireError::Busy:
    case WireError::TooManyThreads:
        return STATUS_INSUFFICIENT_RESOURCES;
    case WireError::ShuttingDown:
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return STATUS_UNSUCCESSFUL;
}

std::unique_ptr<DaemonClient> DaemonClient::connect(const std::string& socketPath,
                                                    int handshakeMs) {
    int fd = connectUnix(socketPath);
    if (fd < 0)
        return nullptr;
    auto hello = wire::encode(wire::HelloRequest{uint32_t(::getpid())});
    ReadFrame reply;
    if (writeAll(fd, wire::frame(uint16_t(MessageType::Hello), 1, callerThreadId(), hello)))
        reply = readFrame(fd, handshakeMs, handshakeMs);
    auto head =
        reply.status == ReadStatus::Ok ? wire::decodeReplyHead(reply.payload) : std::nullopt;
    bool greeted = head && head->error == WireError::Ok && reply.header.requestId == 1 &&
                   reply.header.type == (uint16_t(MessageType::Hello) | wire::kReplyBit);
    if (!greeted) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DaemonClient>(new DaemonClient(fd));
}

DaemonClient::DaemonClient(int fd) : m_fd(fd), m_nextId(2) {
    m_reader = std::thread([this] { readLoop(); });
}

DaemonClient::~DaemonClient() {
    ::shutdown(m_fd, SHUT_RDWR);
    m_reader.join();
    ::close(m_fd);
}

bool DaemonClient::connected() const {
    std::lock_guard guard(m_lock);
    return !m_broken;
}

void DaemonClient::fail() {
    std::lock_guard guard(m_lock);
    m_broken = true;
    m_changed.notify_all();
}

void DaemonClient::readLoop() {
    for (;;) {
        ReadFrame frame = readFrame(m_fd, -1, kReplyGapMs);
        if (frame.status != ReadStatus::Ok)
            break;
        std::lock_guard guard(m_lock);
        auto found = m_waiting.find(frame.header.requestId);
        if (found == m_waiting.end())
            continue; // an answer nobody waits for (an unasked notice) changes nothing
        found->second->payload = std::move(frame.payload);
        found->second->arrived = true;
        m_waiting.erase(found);
        m_changed.notify_all();
    }
    fail();
}

std::optional<std::vector<uint8_t>> DaemonClient::call(MessageType type,
                                                       const std::vector<uint8_t>& payload) {
    Reply reply;
    uint32_t id = m_nextId.fetch_add(1);
    if (id == 0)
        id = m_nextId.fetch_add(1);
    {
        std::lock_guard guard(m_lock);
        if (m_broken)
            return std::nullopt;
        m_waiting.emplace(id, &reply);
    }
    bool sent;
    {
        std::lock_guard guard(m_writeLock);
        sent = writeAll(m_fd, wire::frame(uint16_t(type), id, callerThreadId(), payload));
    }
    std::unique_lock held(m_lock);
    if (sent)
        m_changed.wait(held, [&] { return reply.arrived || m_broken; });
    if (!reply.arrived) {
        m_waiting.erase(id);
        return std::nullopt;
    }
    return std::move(reply.payload);
}

NTSTATUS DaemonClient::open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) {
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    *handle = 0;
    if (name.size() > wire::kMaxNameLength)
        return STATUS_OBJECT_NAME_INVALID;
    auto reply =
        call(MessageType::Open, wire::encode(wire::OpenRequest{shareAccess, std::u16string(name)}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->error != WireError::Ok)
        return statusForWireError(head->error);
    auto opened = wire::decodeHandleReply(*reply);
    if (!opened)
        return STATUS_DEVICE_NOT_CONNECTED;
    *handle = *opened;
    return head->status;
}

ChannelResult DaemonClient::deviceIoControl(uint64_t handle, uint32_t code, const void* in,
                                            uint32_t inLength, void* out, uint32_t outLength) {
    inLength = in ? inLength : 0;
    outLength = out ? outLength : 0;
    if (inLength > wire::kMaxIoLength || outLength > wire::kMaxIoLength)
        return {STATUS_INVALID_PARAMETER, 0};
    wire::ControlRequest request{handle, code, outLength, {}};
    const auto* bytes = static_cast<const uint8_t*>(in);
    request.input.assign(bytes, bytes + inLength);
    auto reply = call(MessageType::DeviceControl, wire::encode(request));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return {STATUS_DEVICE_NOT_CONNECTED, 0};
    if (head->error != WireError::Ok)
        return {statusForWireError(head->error), 0};
    auto output = wire::decodeControlReply(*reply);
    if (!output || output->size() > outLength)
        return {STATUS_DEVICE_NOT_CONNECTED, 0};
    if (!output->empty())
        std::memcpy(out, output->data(), output->size());
    return {head->status, uint32_t(output->size())};
}

NTSTATUS DaemonClient::close(uint64_t handle) {
    auto reply = call(MessageType::Close, wire::encode(wire::CloseRequest{handle}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    return head->error == WireError::Ok ? head->status : statusForWireError(head->error);
}

NTSTATUS DaemonClient::simulate(const SimCommand& command) {
    auto reply = call(MessageType::Simulate, wire::encode(command));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    return head->error == WireError::Ok ? head->status : statusForWireError(head->error);
}

NTSTATUS DaemonClient::inspectBoard(uint32_t board, BoardState* state) {
    if (!state)
        return STATUS_INVALID_PARAMETER;
    auto reply = call(MessageType::Inspect, wire::encode(wire::InspectRequest{board}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->error != WireError::Ok)
        return statusForWireError(head->error);
    if (!NT_SUCCESS(head->status))
        return head->status;
    auto decoded = wire::decodeStateReply(*reply);
    if (!decoded)
        return STATUS_DEVICE_NOT_CONNECTED;
    *state = *decoded;
    return STATUS_SUCCESS;
}

std::optional<wire::HostStatus> DaemonClient::hostStatus(const wire::StatusRequest& request) {
    auto reply = call(MessageType::Status, wire::encode(request));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head || head->error != WireError::Ok)
        return std::nullopt;
    return wire::decodeStatusReply(*reply);
}

std::unique_ptr<DeviceChannel> connectDaemon(const std::string& socketPath) {
    return DaemonClient::connect(socketPath);
}

} // namespace vornhost
