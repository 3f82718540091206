// The library's process-wide state: the channel to the driver host, chosen at the first open,
// and the open boards, looked up by handle so that a stale or foreign handle is refused.
#pragma once

#include "device_channel.h"
#include "vorn.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vornlib {

// Tag in BoardRecord::libraryWord of a record the library handed out.
constexpr uint32_t kRecordTag = 0x4E524F56; // "VORN"

// The environment variable that names the daemon's socket instead of the default address.
constexpr const char* kHostSocketVariable = "VORN_HOST_SOCKET";

// How a board's requests reach its device: a handle on a channel. `gone` once the device could
// not be opened again on a daemon that came back.
struct Route {
    std::shared_ptr<vornhost::DeviceChannel> channel;
    uint64_t deviceHandle = 0;
    bool gone = false;
};

class Board {
public:
    BoardRecord record{};      // what the handle points at
    std::u16string deviceName; // "\\.\" + the name as typed, to open it again

    // The route changes when the library reconnects to a daemon, from another thread.
    Route route() const {
        std::lock_guard guard(m_lock);
        return m_route;
    }
    void setRoute(Route route) {
        std::lock_guard guard(m_lock);
        m_route = std::move(route);
    }

private:
    mutable std::mutex m_lock;
    Route m_route;
};

// The channel later opens use: the one chosen before, else a daemon at the address in
// VORN_HOST_SOCKET (the default address when unset), else a host in this process on the
// default machine. Null when none can be had.
std::shared_ptr<vornhost::DeviceChannel> currentChannel();
// Replaces the channel (a daemon's when `socketPath` is given, so that the library reconnects
// there); false (nothing changed) while boards are open.
bool replaceChannel(std::shared_ptr<vornhost::DeviceChannel> channel, std::string socketPath = {});

// The current channel as it is (none is chosen here) and the daemon's socket it came from,
// empty for any other channel.
struct HostLink {
    std::shared_ptr<vornhost::DeviceChannel> channel;
    std::string socketPath;
};
HostLink hostLink();
// Makes `fresh` the channel in place of `lost`; false when `lost` is no longer the channel.
bool adoptChannel(const std::shared_ptr<vornhost::DeviceChannel>& lost,
                  std::shared_ptr<vornhost::DeviceChannel> fresh);
// The open boards whose requests go over `channel`.
std::vector<std::shared_ptr<Board>>
boardsOn(const std::shared_ptr<vornhost::DeviceChannel>& channel);
// Gives the board its new route if it is still open; false when it was closed meanwhile.
bool setRouteIfOpen(Board& board, Route route);

BoardHandle addBoard(std::shared_ptr<Board> board);
// The live board behind a handle, or null.
std::shared_ptr<Board> findBoard(BoardHandle handle);
// Takes the board out of the table; null when the handle is not live.
std::shared_ptr<Board> removeBoard(BoardHandle handle);
size_t boardCount();

} // namespace vornlib
