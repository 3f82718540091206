// The daemon's command table: for each message type its name, who may send it, whether it runs
// on the client thread's request thread, and how its payload is decoded and checked.
#pragma once

#include "driver_host.h"
#include "event_fanout.h"
#include "host_process.h"
#include "peer_check.h"
#include "wire.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vornhost {

// What the server tells commands about itself.
class ServerView {
public:
    virtual ~ServerView() = default;
    virtual size_t connectionCount() const = 0;
};

// Where a reply may be written from the context that completes its request, so that it leaves
// without a hand-over back to the request thread.
class ReplyWriter {
public:
    virtual ~ReplyWriter() = default;
    // Writes the whole frame unless that could block; false when nothing was written.
    virtual bool writeWithoutBlocking(std::span<const uint8_t> frame) = 0;
};

// Everything a command may touch while it runs: the host, the sending connection's process,
// the client thread it came from, the server's counts, the connection's event subscriptions,
// where a reply may leave early, and who the peer is.
struct CommandContext {
    DriverHost& host;
    HostProcess& process;
    ServerView& server;
    uint32_t threadId;
    EventSubscriptions& events;
    ReplyWriter* replyWriter = nullptr;
    const wire::Header* request = nullptr; // for a reply that leaves through replyWriter
    PeerCredentials peer{};
};

// The reply payload of a command that ran; empty when the reply went out through the
// context's reply writer already.
using CommandJob = std::function<std::vector<uint8_t>(CommandContext&)>;

enum class Permission {
    Greeting, // only as the connection's first message
    Client,   // only after the greeting
};

struct Prepared {
    // InPlace: checked; the command's execute runs on the payload as received, so that the
    // request path carries no decoded copy and allocates nothing. Inline: the same, for a
    // request that does not wait in the driver, so the connection's reader may run it itself
    // and spare a hand-over to the request thread.
    enum class Kind { Run, Refuse, Malformed, InPlace, Inline };
    Kind kind = Kind::Malformed;
    wire::WireError error = wire::WireError::Ok; // Refuse
    CommandJob job;                              // Run
    // Run, optional: tried first on the connection's reader when the client thread has nothing
    // ahead; gives the reply when it has one without waiting (an event already queued), so that
    // the request spares the hand-over to the request thread. Otherwise `job` runs as usual.
    std::function<bool(CommandContext&, std::vector<uint8_t>* reply)> readyReply;
};

// Runs a request that prepare found sound and appends its whole reply frame to `reply`, or
// leaves `reply` empty when the frame already went out through the context's reply writer.
using InPlaceExecute = void (*)(CommandContext& context, const wire::Header& request,
                                std::span<const uint8_t> payload, std::vector<uint8_t>& reply);

struct Command {
    wire::MessageType type;
    const char* name;
    Permission permission;
    bool onRequestThread; // may block in the driver: runs apart from the connection's reader
    Prepared (*prepare)(std::span<const uint8_t> payload);
    InPlaceExecute execute; // for the InPlace kind; null where prepare never gives it
};

// The table entry for `type`, or null for a type the daemon does not know.
const Command* findCommand(uint16_t type);

} // namespace vornhost
