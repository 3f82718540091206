// Blocking frame transport over a stream socket, shared by the daemon and its clients.
#pragma once

#include "wire.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vornhost {

// Outcome of one receive: bytes came, the peer closed, the wait ran out, or an error.
enum class Chunk { Ok, Closed, TimedOut, Error };

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

// Frames from one stream socket, read through a buffer of the connection's own: a read takes
// whatever the socket holds, so most frames cost one system call and none allocates. A frame's
// payload stays valid until the next call of next().
class FrameReceiver {
public:
    explicit FrameReceiver(int fd);
    // The next frame, with the waits of readFrame: `waitMs` for its first byte (-1: no bound),
    // `gapMs` for each later part.
    ReadStatus next(int waitMs, int gapMs, wire::Header* header, std::span<const uint8_t>* payload);

private:
    Chunk fill(int waitMs);

    int m_fd;
    std::vector<uint8_t> m_buffer;
    size_t m_begin = 0; // first byte not yet handed out
    size_t m_end = 0;   // end of the bytes received
};

// Writes all of `bytes` (no SIGPIPE); false when the peer has gone or the write timed out.
bool writeAll(int fd, std::span<const uint8_t> bytes);

// A connected stream socket to the Unix socket at `path`, or -1 (errno kept).
int connectUnix(const std::string& path);

} // namespace vornhost
