// Frame reads with bounded waits, complete writes, and connecting to a Unix socket.
#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornhost {
namespace {

// Receives what the socket holds, at most `room` bytes, waiting at most `waitMs` (-1: no
// bound, in the receive itself, so that bytes already there cost no poll).
Chunk receiveSome(int fd, uint8_t* out, size_t room, int waitMs, size_t* got) {
    for (;;) {
        if (waitMs >= 0) {
            pollfd p{fd, POLLIN, 0};
            int ready = ::poll(&p, 1, waitMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return Chunk::Error;
            if (ready == 0)
                return Chunk::TimedOut;
        }
        ssize_t n = ::recv(fd, out, room, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return errno == ECONNRESET ? Chunk::Closed : Chunk::Error;
        if (n == 0)
            return Chunk::Closed;
        *got = size_t(n);
        return Chunk::Ok;
    }
}

// Reads exactly `length` bytes; each wait for more is bounded by `waitMs` (-1: none).
Chunk readExact(int fd, uint8_t* out, size_t length, int waitMs, size_t* got) {
    *got = 0;
    while (*got < length) {
        size_t n = 0;
        Chunk chunk = receiveSome(fd, out + *got, length - *got, waitMs, &n);
        if (chunk != Chunk::Ok)
            return chunk;
        *got += n;
    }
    return Chunk::Ok;
}

ReadStatus midFrame(Chunk chunk) {
    return chunk == Chunk::Error ? ReadStatus::Error : ReadStatus::Truncated;
}

} // namespace

const char* readStatusName(ReadStatus status) {
    switch (status) {
    case ReadStatus::Ok:
        return "ok";
    case ReadStatus::Closed:
        return "closed";
    case ReadStatus::Truncated:
        return "truncated message";
    case ReadStatus::TimedOut:
        return "timed out";
    case ReadStatus::Malformed:
        return "malformed message";
    case ReadStatus::Error:
        return "read error";
    }
    return "?";
}

ReadFrame readFrame(int fd, int waitMs, int gapMs) {
    ReadFrame result;
    uint8_t header[wire::kHeaderSize];
    size_t got = 0;
    Chunk first = readExact(fd, header, 1, waitMs, &got);
    if (first != Chunk::Ok) {
        result.status = first == Chunk::TimedOut ? ReadStatus::TimedOut
                        : first == Chunk::Closed ? ReadStatus::Closed
                                                 : ReadStatus::Error;
        return result;
    }
    Chunk rest = readExact(fd, header + 1, wire::kHeaderSize - 1, gapMs, &got);
    if (rest != Chunk::Ok) {
        result.status = midFrame(rest);
        return result;
    }
    wire::HeaderCheck check;
    result.header = wire::decodeHeader(header, &check);
    if (check != wire::HeaderCheck::Ok) {
        result.status = ReadStatus::Malformed;
        return result;
    }
    result.payload.resize(result.header.length);
    rest = readExact(fd, result.payload.data(), result.payload.size(), gapMs, &got);
    result.status = rest == Chunk::Ok ? ReadStatus::Ok : midFrame(rest);
    return result;
}

FrameReceiver::FrameReceiver(int fd)
    : m_fd(fd), m_buffer(2 * (wire::kHeaderSize + wire::kMaxPayload)) {}

// Receives whatever is there into the free end of the buffer, moving the unread bytes to the
// front first when the free end is short of a whole frame.
Chunk FrameReceiver::fill(int waitMs) {
    if (m_buffer.size() - m_end < wire::kHeaderSize + wire::kMaxPayload) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    size_t got = 0;
    Chunk chunk = receiveSome(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end, waitMs, &got);
    m_end += got;
    return chunk;
}

ReadStatus FrameReceiver::next(int waitMs, int gapMs, wire::Header* header,
                               std::span<const uint8_t>* payload) {
    bool begun = m_end > m_begin;
    for (;;) {
        const size_t held = m_end - m_begin;
        if (held >= wire::kHeaderSize) {
            wire::HeaderCheck check;
            *header = wire::decodeHeader(m_buffer.data() + m_begin, &check);
            if (check != wire::HeaderCheck::Ok)
                return ReadStatus::Malformed;
            const size_t whole = wire::kHeaderSize + header->length;
            if (held >= whole) {
                *payload = {m_buffer.data() + m_begin + wire::kHeaderSize, header->length};
                m_begin += whole;
                return ReadStatus::Ok;
            }
        }
        Chunk filled = fill(begun ? gapMs : waitMs);
        if (filled == Chunk::Ok) {
            begun = true;
            continue;
        }
        if (filled == Chunk::Error)
            return ReadStatus::Error;
        if (!begun)
            return filled == Chunk::TimedOut ? ReadStatus::TimedOut : ReadStatus::Closed;
        return ReadStatus::Truncated;
    }
}

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

int connectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace vornhost
