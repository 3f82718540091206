// Blocking frame transport over a stream socket, shared by the daemon and its clients.
#pragma once

#include "wire.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vornhost {

enum class ReadStatus {
    Ok,
    Closed,    // the peer closed before a frame began
    Truncated, // the peer closed, or went quiet past the bound, inside a frame
    TimedOut,  // no frame began within the wait
    Malformed, // bad magic, version or length
    Error,
};

struct ReadFrame {
    ReadStatus status = ReadStatus::Error;
    wire::Header header;
    std::vector<uint8_t> payload;
};

const char* readStatusName(ReadStatus status);

// Reads one frame. `waitMs` bounds the wait for its first byte (-1: no bound); once it has
// begun, the rest must keep coming with gaps under `gapMs`.
ReadFrame readFrame(int fd, int waitMs, int gapMs);

// Writes all of `bytes` (no SIGPIPE); false when the peer has gone or the write timed out.
bool writeAll(int fd, std::span<const uint8_t> bytes);

// A connected stream socket to the Unix socket at `path`, or -1 (errno kept).
int connectUnix(const std::string& path);

} // namespace vornhost
