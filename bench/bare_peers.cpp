// The bare echo and eventfd-chain peers, and starting them as a child of the benchmark.
#include "bare_peers.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace vornbench {
namespace {

int listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 4) != 0)
        return -1;
    return fd;
}

int acceptOne(const std::string& path) {
    int listener = listenAt(path);
    if (listener < 0)
        return -1;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    return fd;
}

int echo(int fd, size_t requestSize, size_t replySize) {
    std::vector<uint8_t> request(requestSize), reply(replySize, 0x5A);
    while (readExact(fd, request.data(), request.size())) {
        if (!writeExact(fd, reply.data(), reply.size()))
            break;
    }
    return 0;
}

int eventChain(int fd, size_t replySize) {
    int wake = ::eventfd(0, EFD_CLOEXEC);
    std::atomic<int64_t> stamp{0};
    std::thread waker([&] {
        std::vector<uint8_t> reply(std::max<size_t>(replySize, sizeof(int64_t)), 0);
        uint64_t count;
        while (::read(wake, &count, sizeof(count)) == sizeof(count)) {
            const int64_t at = stamp.load();
            if (at < 0)
                break;
            std::memcpy(reply.data(), &at, sizeof(at));
            if (!writeExact(fd, reply.data(), replySize))
                break;
        }
    });
    uint8_t go;
    while (readExact(fd, &go, 1)) {
        // Whole microseconds, as the board stamps its events.
        stamp.store(realtimeNanos() / 1000 * 1000);
        const uint64_t one = 1;
        if (::write(wake, &one, sizeof(one)) != sizeof(one))
            break;
    }
    stamp.store(-1);
    const uint64_t one = 1;
    (void)!::write(wake, &one, sizeof(one));
    waker.join();
    ::close(wake);
    return 0;
}

} // namespace

int runPeerIfAsked(int argc, char** argv) {
    if (argc < 5)
        return -1;
    const std::string kind = argv[1];
    if (kind != "--peer-echo" && kind != "--peer-event")
        return -1;
    int fd = acceptOne(argv[2]);
    if (fd < 0)
        return 1;
    const size_t requestSize = std::strtoul(argv[3], nullptr, 10);
    const size_t replySize = std::strtoul(argv[4], nullptr, 10);
    int code = kind == "--peer-echo" ? echo(fd, requestSize, replySize) : eventChain(fd, replySize);
    ::close(fd);
    return code;
}

BarePeer::BarePeer(Kind kind, size_t requestSize, size_t replySize) {
    static int serial = 0;
    const std::string path = scratchDirectory() + "/peer" + std::to_string(++serial) + ".sock";
    m_child = std::make_unique<vorntest::ChildProcess>(
        std::vector<std::string>{selfPath(), kind == Kind::Echo ? "--peer-echo" : "--peer-event",
                                 path, std::to_string(requestSize), std::to_string(replySize)});
    m_fd = connectWithin(path, 10'000);
}

BarePeer::~BarePeer() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_child->stop(SIGTERM);
}

} // namespace vornbench
