// The library's process-wide state: the channel to the driver host, chosen at the first open,
// and the open boards, looked up by handle so that a stale or foreign handle is refused.
#pragma once

#include "device_channel.h"
#include "vorn.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vornlib {

// Tag in BoardRecord::libraryWord of a record the library handed out.
constexpr uint32_t kRecordTag = 0x4E524F56; // "VORN"

struct Board {
    BoardRecord record{}; // what the handle points at
    std::shared_ptr<vornhost::DeviceChannel> channel;
    uint64_t deviceHandle = 0;
};

// The channel later opens use: the one chosen before, else a daemon at the default address,
// else a host in this process on the default machine. Null when none can be had.
std::shared_ptr<vornhost::DeviceChannel> currentChannel();
// Replaces the channel; false (nothing changed) while boards are open.
bool replaceChannel(std::shared_ptr<vornhost::DeviceChannel> channel);

BoardHandle addBoard(std::shared_ptr<Board> board);
// The live board behind a handle, or null.
std::shared_ptr<Board> findBoard(BoardHandle handle);
// Takes the board out of the table; null when the handle is not live.
std::shared_ptr<Board> removeBoard(BoardHandle handle);
size_t boardCount();

} // namespace vornlib
