// Delivers samples to chrony's SOCK reference clock.
#include "sock_sink.h"

#include "board_time.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornsync {

SockSample sockSampleOf(const Sample& sample) {
    SockSample datagram{};
    const timespec system = fromNanos(sample.systemNanos);
    datagram.systemTime.tv_sec = system.tv_sec;
    // The offset holds for any instant near the sample, so truncating to whole microseconds
    // loses nothing.
    datagram.systemTime.tv_usec = system.tv_nsec / 1000;
    datagram.offset = static_cast<double>(sample.offsetNanos) / 1e9;
    datagram.pulse = 0;
    datagram.leap = static_cast<int>(sample.leap);
    datagram.magic = kSockMagic;
    return datagram;
}

std::optional<SockSink> SockSink::create(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "--sock: the path must have 1 to " + std::to_string(sizeof address.sun_path - 1) +
                " characters";
        return std::nullopt;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("--sock: no socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    return SockSink(path, fd);
}

SockSink::SockSink(SockSink&& other) noexcept : m_path(std::move(other.m_path)), m_fd(other.m_fd) {
    other.m_fd = -1;
}

SockSink::~SockSink() {
    if (m_fd >= 0)
        close(m_fd);
}

DeliveryResult SockSink::deliver(const Sample& sample) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
    const SockSample datagram = sockSampleOf(sample);
    if (sendto(m_fd, &datagram, sizeof datagram, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address),
               sizeof address) == static_cast<ssize_t>(sizeof datagram))
        return {};
    const int error = errno;
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTSOCK)
        return {Delivery::NoListener, "nothing listens at " + m_path +
                                          ": start chronyd with the line `refclock SOCK " + m_path +
                                          "` in chrony.conf (vornsync keeps trying)"};
    if (error == EACCES || error == EPERM)
        return {Delivery::PermissionDenied,
                "permission denied at " + m_path +
                    ": run vornsync as root or as the user chronyd runs as (vornsync keeps "
                    "trying)"};
    if (error == EAGAIN || error == EWOULDBLOCK)
        return {Delivery::Failed, "chronyd is not reading " + m_path + " (its queue is full)"};
    return {Delivery::Failed, "cannot send to " + m_path + ": " + std::strerror(error)};
}

} // namespace vornsync
