// The command table and each command's argument checks and work, in one place.
#include "commands.h"

#include "board_control.h"
#include "vornpci_ioctl.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace vornhost {
namespace {

using wire::ReplyHead;
using wire::WireError;

Prepared malformed() {
    return {};
}
Prepared refuse(WireError error) {
    return {Prepared::Kind::Refuse, error, {}, {}};
}
Prepared run(CommandJob job) {
    return {Prepared::Kind::Run, WireError::Ok, std::move(job), {}};
}

ReplyHead ok(NTSTATUS status) {
    return {WireError::Ok, status};
}

Prepared prepareHello(std::span<const uint8_t> payload) {
    if (!wire::decode<wire::HelloRequest>(payload))
        return malformed();
    return run([](CommandContext&) { return wire::encodeReply(ok(STATUS_SUCCESS)); });
}

Prepared prepareOpen(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::OpenRequest>(payload);
    if (!request)
        return malformed();
    if (request->name.empty())
        return refuse(WireError::BadArgument);
    return run([r = std::move(*request)](CommandContext& c) {
        uint64_t handle = 0;
        NTSTATUS status = c.process.open(r.name, r.shareAccess, &handle);
        return wire::encodeReply(ok(status), handle);
    });
}

// The board's three waits and the next-event request are the requests that stay in the driver
// until an interrupt or a time-out; every other request completes within a bounded board
// exchange.
bool waitsInDriver(uint32_t code) {
    return code == vornpci::IOCTL_VORNPCI_WAIT_EVENT || code == vornpci::IOCTL_VORNPCI_WAIT_HEART ||
           code == vornpci::IOCTL_VORNPCI_WAIT_MATCH || code == vornpci::IOCTL_VORNPCI_NEXT_EVENT;
}

// Device control is the common path: checked here, run in place by executeControl.
Prepared prepareControl(std::span<const uint8_t> payload) {
    auto request = wire::viewControl(payload);
    if (!request)
        return malformed();
    // Only buffered transfer reaches the driver through the host: a code of another method is
    // refused here, not handed to the kernel layer, which would fail it with a verifier report.
    if (request->outLength > wire::kMaxIoLength ||
        METHOD_FROM_CTL_CODE(request->code) != METHOD_BUFFERED)
        return refuse(WireError::BadArgument);
    const auto kind =
        waitsInDriver(request->code) ? Prepared::Kind::InPlace : Prepared::Kind::Inline;
    return {kind, WireError::Ok, {}, {}};
}

// A wait's reply, written where the driver completes the request (its output is in place by
// then): the event reaches the client without waking the request thread first.
struct EarlyReply {
    ReplyWriter* writer;
    const wire::Header& header;
    const uint8_t* output;
    uint32_t outLength;
    bool sent = false; // read by the request thread once the completion has let it go
};

void sendOnCompletion(void* context, const ntemu::IoResult& result) {
    auto& early = *static_cast<EarlyReply*>(context);
    thread_local std::vector<uint8_t> frame;
    frame.clear();
    const size_t written = std::min<size_t>(result.information, early.outLength);
    wire::appendReplyFrame(frame, early.header, ok(NTSTATUS(result.status)),
                           {early.output, written});
    early.sent = early.writer->writeWithoutBlocking(frame);
}

void executeControl(CommandContext& c, const wire::Header& header, std::span<const uint8_t> payload,
                    std::vector<uint8_t>& reply) {
    const wire::ControlView r = *wire::viewControl(payload);
    // The request thread's own output buffer keeps its size from one request to the next.
    thread_local std::vector<uint8_t> output;
    if (output.size() < r.outLength)
        output.resize(r.outLength);
    EarlyReply early{c.replyWriter, header, output.data(), r.outLength};
    ntemu::CompletionHook hook;
    if (c.replyWriter != nullptr && waitsInDriver(r.code))
        hook = {sendOnCompletion, &early};
    ChannelResult result = c.process.deviceIoControl(
        c.threadId, r.handle, r.code, r.input.empty() ? nullptr : r.input.data(),
        uint32_t(r.input.size()), r.outLength == 0 ? nullptr : output.data(), r.outLength, hook);
    if (early.sent)
        return;
    const size_t written = std::min<size_t>(result.information, r.outLength);
    wire::appendReplyFrame(reply, header, ok(result.status), {output.data(), written});
}

Prepared prepareClose(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::CloseRequest>(payload);
    if (!request)
        return malformed();
    return run([r = *request](CommandContext& c) {
        return wire::encodeReply(ok(c.process.close(r.handle)));
    });
}

bool knownAction(SimAction action) {
    return action >= SimAction::StrobeEvent && action <= SimAction::StrobeEventTrain;
}

Prepared prepareSimulate(std::span<const uint8_t> payload) {
    auto command = wire::decode<SimCommand>(payload);
    if (!command)
        return malformed();
    if (!knownAction(command->action))
        return refuse(WireError::BadArgument);
    return run([r = *command](CommandContext& c) {
        return wire::encodeReply(ok(applySimCommand(c.host.machine(), r)));
    });
}

Prepared prepareInspect(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::InspectRequest>(payload);
    if (!request)
        return malformed();
    return run([r = *request](CommandContext& c) {
        BoardState state;
        NTSTATUS status = readBoardState(c.host.machine(), r.board, &state);
        if (!NT_SUCCESS(status))
            return wire::encodeReply(ok(status));
        return wire::encodeReply(ok(status), state);
    });
}

bool statusReached(const wire::StatusRequest& r, const wire::HostStatus& s) {
    switch (r.wait) {
    case wire::StatusWait::None:
        return true;
    case wire::StatusWait::PendingAtLeast:
        return s.liveRequests >= r.count;
    case wire::StatusWait::Idle:
        return s.connections <= 1 && s.liveRequests == 0;
    }
    return false;
}

wire::HostStatus sampleStatus(CommandContext& c) {
    wire::HostStatus s;
    s.connections = uint32_t(c.server.connectionCount());
    s.liveRequests = uint32_t(c.host.io().liveIrpCount());
    return s;
}

// Neither the request count nor the connection count announces its changes, so the condition
// is sampled every millisecond until it holds or the asker's bound passes.
wire::HostStatus awaitStatus(CommandContext& c, const wire::StatusRequest& r) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.boundMs);
    for (;;) {
        wire::HostStatus s = sampleStatus(c);
        s.reached = statusReached(r, s);
        if (s.reached || std::chrono::steady_clock::now() >= deadline)
            return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Prepared prepareStatus(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::StatusRequest>(payload);
    if (!request)
        return malformed();
    if (request->wait > wire::StatusWait::Idle || request->boundMs > wire::kMaxStatusBoundMs)
        return refuse(WireError::BadArgument);
    return run([r = *request](CommandContext& c) {
        return wire::encodeReply(ok(STATUS_SUCCESS), awaitStatus(c, r));
    });
}

Prepared prepareSubscribe(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::SubscribeRequest>(payload);
    if (!request)
        return malformed();
    if (request->device.empty())
        return refuse(WireError::BadArgument);
    return run([r = std::move(*request)](CommandContext& c) {
        uint32_t subscription = 0;
        NTSTATUS status = c.events.subscribe(r.device, &subscription);
        return wire::encodeReply(ok(status), uint64_t(subscription));
    });
}

std::vector<uint8_t> nextEventReply(NTSTATUS status, std::span<const HostEvent> events) {
    if (status != STATUS_SUCCESS)
        return wire::encodeReply(ok(status));
    return wire::encodeReply(ok(status), events);
}

// A waiting take's reply, written where the event is pushed: the event reaches the client
// without waking the request thread first.
bool sendEventOnPush(void* context, const HostEvent& event) {
    auto& c = *static_cast<CommandContext*>(context);
    thread_local std::vector<uint8_t> frame;
    frame.clear();
    wire::appendFrame(frame, uint16_t(c.request->type | wire::kReplyBit), c.request->requestId,
                      c.request->threadId, nextEventReply(STATUS_SUCCESS, {&event, 1}));
    return c.replyWriter->writeWithoutBlocking(frame);
}

// Room for the events one reply carries, kept by each request thread.
std::span<HostEvent> eventBatch(uint32_t maxEvents) {
    thread_local std::array<HostEvent, wire::kMaxEventsPerReply> batch;
    return {batch.data(), maxEvents};
}

Prepared prepareNextEvent(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::NextEventRequest>(payload);
    if (!request)
        return malformed();
    if (request->maxEvents == 0 || request->maxEvents > wire::kMaxEventsPerReply)
        return refuse(WireError::BadArgument);
    Prepared prepared = run([r = *request](CommandContext& c) {
        const std::span<HostEvent> batch = eventBatch(r.maxEvents);
        EarlySend early;
        if (c.replyWriter != nullptr && c.request != nullptr)
            early = {sendEventOnPush, &c};
        bool sent = false;
        size_t taken = 0;
        const NTSTATUS status =
            c.events.take(r.subscription, r.timeoutMs, batch, &taken, early, &sent);
        return sent ? std::vector<uint8_t>{} : nextEventReply(status, batch.first(taken));
    });
    // A take that waits for nothing: events queued, the subscription unknown or ended.
    prepared.readyReply = [r = *request](CommandContext& c, std::vector<uint8_t>* reply) {
        const std::span<HostEvent> batch = eventBatch(r.maxEvents);
        size_t taken = 0;
        const NTSTATUS status = c.events.take(r.subscription, 0, batch, &taken);
        if (status == STATUS_DEVICE_NOT_READY && r.timeoutMs > 0)
            return false;
        *reply = nextEventReply(status, batch.first(taken));
        return true;
    };
    return prepared;
}

Prepared prepareUnsubscribe(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::UnsubscribeRequest>(payload);
    if (!request)
        return malformed();
    return run([r = *request](CommandContext& c) {
        return wire::encodeReply(ok(c.events.unsubscribe(r.subscription)));
    });
}

Prepared prepareHealth(std::span<const uint8_t> payload) {
    auto request = wire::decode<wire::HealthRequest>(payload);
    if (!request)
        return malformed();
    return run([r = *request](CommandContext& c) {
        BoardHealth health;
        if (!c.host.boardHealth(r.board, &health))
            return wire::encodeReply(ok(STATUS_NO_SUCH_DEVICE));
        return wire::encodeReply(ok(STATUS_SUCCESS), health);
    });
}

Prepared prepareReportSample(std::span<const uint8_t> payload) {
    auto report = wire::decode<wire::SampleReport>(payload);
    if (!report)
        return malformed();
    if (report->sample.errorBoundNanos < 0)
        return refuse(WireError::BadArgument);
    // Any admitted peer may report; the host keeps who did, so that a false feed can be traced.
    return run([r = *report](CommandContext& c) {
        const SampleReporter reporter{int32_t(c.peer.pid), uint32_t(c.peer.uid)};
        return wire::encodeReply(ok(c.host.recordSyncSample(r.board, r.sample, reporter)));
    });
}

using wire::MessageType;

constexpr std::array kCommands = {
    Command{MessageType::Hello, "hello", Permission::Greeting, false, prepareHello, nullptr},
    Command{MessageType::Open, "open", Permission::Client, true, prepareOpen, nullptr},
    Command{MessageType::DeviceControl, "device control", Permission::Client, true, prepareControl,
            executeControl},
    Command{MessageType::Close, "close", Permission::Client, true, prepareClose, nullptr},
    Command{MessageType::Simulate, "simulate", Permission::Client, true, prepareSimulate, nullptr},
    Command{MessageType::Inspect, "inspect", Permission::Client, true, prepareInspect, nullptr},
    Command{MessageType::Status, "status", Permission::Client, true, prepareStatus, nullptr},
    Command{MessageType::Subscribe, "subscribe", Permission::Client, true, prepareSubscribe,
            nullptr},
    Command{MessageType::NextEvent, "next event", Permission::Client, true, prepareNextEvent,
            nullptr},
    Command{MessageType::Unsubscribe, "unsubscribe", Permission::Client, true, prepareUnsubscribe,
            nullptr},
    Command{MessageType::Health, "health", Permission::Client, false, prepareHealth, nullptr},
    Command{MessageType::ReportSample, "report sample", Permission::Client, false,
            prepareReportSample, nullptr},
};

} // namespace

const Command* findCommand(uint16_t type) {
    for (const Command& command : kCommands)
        if (uint16_t(command.type) == type)
            return &command;
    return nullptr;
}

} // namespace vornhost
