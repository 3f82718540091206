// A device channel to the vornhost daemon: requests framed with ids, one reader thread that
// hands each reply to the thread that waits for it.
#include "daemon_client.h"

#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

using Reply = std::optional<std::vector<uint8_t>>;

// The status a reply's head carries, for the commands whose reply is the head alone.
NTSTATUS headStatus(const Reply& reply) {
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    return head->error == WireError::Ok ? head->status : statusForWireError(head->error);
}

// A reply whose head, on success, is followed by one record that `decode` reads into `*out`.
template <class Record, class Decode>
NTSTATUS recordReply(const Reply& reply, Decode decode, Record* out) {
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->error != WireError::Ok)
        return statusForWireError(head->error);
    if (!NT_SUCCESS(head->status))
        return head->status;
    auto decoded = decode(*reply);
    if (!decoded)
        return STATUS_DEVICE_NOT_CONNECTED;
    *out = *decoded;
    return STATUS_SUCCESS;
}

} // namespace

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

DaemonClient::DaemonClient(int fd) : m_fd(fd), m_nextId(2), m_receiver(fd) {}

DaemonClient::~DaemonClient() {
    ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
}

// With nobody reading, a closed connection shows as the end of the stream; a notice the
// daemon sent unasked stays for the next reader.
bool DaemonClient::connected() const {
    std::lock_guard guard(m_lock);
    if (m_broken || m_reading)
        return !m_broken;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return true;
    uint8_t byte;
    return ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

uint32_t DaemonClient::nextRequestId() {
    uint32_t id = m_nextId.fetch_add(1);
    return id != 0 ? id : m_nextId.fetch_add(1);
}

void DaemonClient::unlink(Waiter& waiter) {
    for (Waiter** link = &m_waiters; *link != nullptr; link = &(*link)->next) {
        if (*link == &waiter) {
            *link = waiter.next;
            return;
        }
    }
}

void DaemonClient::readOne(std::unique_lock<std::mutex>& held) {
    m_reading = true;
    held.unlock();
    wire::Header header;
    std::span<const uint8_t> payload;
    ReadStatus status = m_receiver.next(-1, kReplyGapMs, &header, &payload);
    held.lock();
    m_reading = false;
    if (status != ReadStatus::Ok) {
        m_broken = true;
    } else {
        // An answer nobody waits for (an unasked notice) changes nothing.
        for (Waiter* w = m_waiters; w != nullptr; w = w->next) {
            if (w->id == header.requestId) {
                w->payload->assign(payload.begin(), payload.end());
                w->arrived = true;
                unlink(*w);
                break;
            }
        }
    }
    m_changed.notify_all();
}

bool DaemonClient::exchange(uint32_t id, std::span<const uint8_t> frame,
                            std::vector<uint8_t>& reply, bool* wentOut) {
    Waiter waiter{id, false, &reply, nullptr};
    if (wentOut)
        *wentOut = false;
    {
        std::lock_guard guard(m_lock);
        if (m_broken)
            return false;
        waiter.next = m_waiters;
        m_waiters = &waiter;
    }
    bool sent;
    {
        // A stream socket whose peer has closed refuses the write (EPIPE), so a request that
        // is written reached a daemon that was still there.
        std::lock_guard guard(m_writeLock);
        sent = writeAll(m_fd, frame);
    }
    if (wentOut)
        *wentOut = sent;
    std::unique_lock held(m_lock);
    while (sent && !waiter.arrived && !m_broken) {
        if (m_reading)
            m_changed.wait(held);
        else
            readOne(held);
    }
    if (!waiter.arrived)
        unlink(waiter);
    // Whoever waits still needs a reader now that this caller stops reading.
    if (m_waiters != nullptr)
        m_changed.notify_all();
    return waiter.arrived;
}

std::optional<std::vector<uint8_t>> DaemonClient::call(MessageType type,
                                                       const std::vector<uint8_t>& payload) {
    const uint32_t id = nextRequestId();
    std::vector<uint8_t> reply;
    if (!exchange(id, wire::frame(uint16_t(type), id, callerThreadId(), payload), reply))
        return std::nullopt;
    return reply;
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
    // Each thread keeps its frame and reply buffers, so a request allocates nothing.
    thread_local std::vector<uint8_t> frame, reply;
    frame.clear();
    const uint32_t id = nextRequestId();
    wire::appendControlFrame(frame, id, callerThreadId(), handle, code,
                             {static_cast<const uint8_t*>(in), inLength}, outLength);
    bool sent = false;
    if (!exchange(id, frame, reply, &sent))
        return {STATUS_DEVICE_NOT_CONNECTED, 0, sent};
    auto head = wire::decodeReplyHead(reply);
    if (!head)
        return {STATUS_DEVICE_NOT_CONNECTED, 0};
    if (head->error != WireError::Ok)
        return {statusForWireError(head->error), 0};
    auto output = wire::viewControlReply(reply);
    if (!output || output->size() > outLength)
        return {STATUS_DEVICE_NOT_CONNECTED, 0};
    if (!output->empty())
        std::memcpy(out, output->data(), output->size());
    return {head->status, uint32_t(output->size())};
}

NTSTATUS DaemonClient::close(uint64_t handle) {
    return headStatus(call(MessageType::Close, wire::encode(wire::CloseRequest{handle})));
}

NTSTATUS DaemonClient::simulate(const SimCommand& command) {
    return headStatus(call(MessageType::Simulate, wire::encode(command)));
}

NTSTATUS DaemonClient::inspectBoard(uint32_t board, BoardState* state) {
    if (!state)
        return STATUS_INVALID_PARAMETER;
    auto reply = call(MessageType::Inspect, wire::encode(wire::InspectRequest{board}));
    return recordReply(reply, wire::decodeStateReply, state);
}

NTSTATUS DaemonClient::subscribeEvents(std::u16string_view deviceName, uint32_t* subscription) {
    if (deviceName.empty() || deviceName.size() > wire::kMaxNameLength)
        return STATUS_OBJECT_NAME_INVALID;
    auto reply = call(MessageType::Subscribe,
                      wire::encode(wire::SubscribeRequest{std::u16string(deviceName)}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->error != WireError::Ok)
        return statusForWireError(head->error);
    auto number = wire::decodeHandleReply(*reply);
    if (!number)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->status == STATUS_SUCCESS) {
        *subscription = uint32_t(*number);
        std::lock_guard guard(m_bufferLock);
        m_buffered[*subscription].clear();
    }
    return head->status;
}

bool DaemonClient::takeBuffered(uint32_t subscription, HostEvent* event) {
    std::lock_guard guard(m_bufferLock);
    auto found = m_buffered.find(subscription);
    if (found == m_buffered.end() || found->second.empty())
        return false;
    *event = found->second.front();
    found->second.pop_front();
    return true;
}

void DaemonClient::keepEvents(uint32_t subscription, const std::vector<HostEvent>& events,
                              HostEvent* oldest) {
    std::lock_guard guard(m_bufferLock);
    auto found = m_buffered.find(subscription);
    // Ended meanwhile: the caller still gets what it asked for, the rest goes with it.
    if (found == m_buffered.end()) {
        *oldest = events.front();
        return;
    }
    std::deque<HostEvent>& held = found->second;
    const auto middle = ptrdiff_t(held.size());
    held.insert(held.end(), events.begin(), events.end());
    // Replies to two callers of one subscription may arrive in either order.
    if (middle != 0 && held[size_t(middle) - 1].sequence > events.front().sequence)
        std::inplace_merge(
            held.begin(), held.begin() + middle, held.end(),
            [](const HostEvent& a, const HostEvent& b) { return a.sequence < b.sequence; });
    *oldest = held.front();
    held.pop_front();
}

// One round trip: every event the daemon holds for the subscription, up to a reply's worth;
// the oldest held goes to the caller and the rest stay in the buffer.
NTSTATUS DaemonClient::askForEvents(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) {
    auto reply = call(
        MessageType::NextEvent,
        wire::encode(wire::NextEventRequest{subscription, timeoutMs, wire::kMaxEventsPerReply}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (head->error != WireError::Ok)
        return statusForWireError(head->error);
    if (head->status != STATUS_SUCCESS)
        return head->status;
    auto events = wire::decodeEventsReply(*reply);
    if (!events)
        return STATUS_DEVICE_NOT_CONNECTED;
    keepEvents(subscription, *events, event);
    return STATUS_SUCCESS;
}

bool DaemonClient::broken() const {
    std::lock_guard guard(m_lock);
    return m_broken;
}

NTSTATUS DaemonClient::nextEvent(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) {
    // The daemon's subscriptions ended with the connection: so do the events held for them.
    if (broken()) {
        std::lock_guard guard(m_bufferLock);
        m_buffered.clear();
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (takeBuffered(subscription, event))
        return STATUS_SUCCESS;
    const NTSTATUS status = askForEvents(subscription, timeoutMs, event);
    // Timed out while another caller of the same subscription brought events.
    if (status == STATUS_DEVICE_NOT_READY && takeBuffered(subscription, event))
        return STATUS_SUCCESS;
    return status;
}

NTSTATUS DaemonClient::unsubscribeEvents(uint32_t subscription) {
    {
        std::lock_guard guard(m_bufferLock);
        m_buffered.erase(subscription);
    }
    auto reply =
        call(MessageType::Unsubscribe, wire::encode(wire::UnsubscribeRequest{subscription}));
    auto head = reply ? wire::decodeReplyHead(*reply) : std::nullopt;
    if (!head)
        return STATUS_DEVICE_NOT_CONNECTED;
    return head->error == WireError::Ok ? head->status : statusForWireError(head->error);
}

NTSTATUS DaemonClient::readHealth(uint32_t board, BoardHealth* health) {
    if (!health)
        return STATUS_INVALID_PARAMETER;
    auto reply = call(MessageType::Health, wire::encode(wire::HealthRequest{board}));
    return recordReply(reply, wire::decodeHealthReply, health);
}

NTSTATUS DaemonClient::reportSyncSample(uint32_t board, const SyncSample& sample) {
    return headStatus(
        call(MessageType::ReportSample, wire::encode(wire::SampleReport{board, sample})));
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
