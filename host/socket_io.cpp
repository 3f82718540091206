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

enum class Chunk { Ok, Closed, TimedOut, Error };

// Reads exactly `length` bytes; each wait for more is bounded by `waitMs` (-1: none).
Chunk readExact(int fd, uint8_t* out, size_t length, int waitMs, size_t* got) {
    *got = 0;
    while (*got < length) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Chunk::Error;
        if (ready == 0)
            return Chunk::TimedOut;
        ssize_t n = ::recv(fd, out + *got, length - *got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return errno == ECONNRESET ? Chunk::Closed : Chunk::Error;
        if (n == 0)
            return Chunk::Closed;
        *got += size_t(n);
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
