// Listening, admitting peers by their credentials, and keeping the connections.
#include "server.h"

#include "log.h"
#include "socket_io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

namespace vornhost {
namespace {

// A client that stops reading cannot hold a request thread for longer than this.
constexpr int kSendTimeoutSeconds = 5;

// Creates the missing directories above the socket, each 0755 whatever the umask, so that
// the admitted clients of other users can reach the socket. False with `error` set when one
// cannot be made (a daemon that is not root, under /run).
bool makeSocketDirectory(const std::string& socketPath, std::string* error) {
    std::filesystem::path directory = std::filesystem::path(socketPath).parent_path();
    std::vector<std::filesystem::path> missing;
    std::error_code ignored;
    for (; !directory.empty() && !std::filesystem::exists(directory, ignored);
         directory = directory.parent_path())
        missing.push_back(directory);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create directory " + it->string() + ": " + std::strerror(errno);
            return false;
        }
        ::chmod(it->c_str(), 0755);
        logLine("created directory %s", it->c_str());
    }
    return true;
}

// Where the admitted group exists, the socket belongs to it and only its owner and the group
// may connect; otherwise anyone may connect and the peer check refuses those not admitted.
void setSocketAccess(const std::string& path, std::optional<gid_t> group) {
    if (group && ::chown(path.c_str(), uid_t(-1), *group) == 0 && ::chmod(path.c_str(), 0660) == 0)
        return;
    if (group)
        logLine("cannot give %s to group %u: %s", path.c_str(), unsigned(*group),
                std::strerror(errno));
    ::chmod(path.c_str(), 0666);
}

void refusePeer(int fd) {
    auto refusal = wire::frame(uint16_t(wire::MessageType::Hello) | wire::kReplyBit, 0, 0,
                               wire::encodeReply({wire::WireError::AccessRefused, 0}));
    writeAll(fd, refusal);
    ::close(fd);
}

} // namespace

Server::Server(DriverHost& host, ServerOptions options)
    : m_host(host), m_options(std::move(options)), m_policy(m_options.group) {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Server::~Server() {
    reap(true);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool Server::listen(std::string* error) {
    const std::string& path = m_options.socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        *error = "socket path '" + path + "' is empty or too long";
        return false;
    }
    int probe = connectUnix(path);
    if (probe >= 0) {
        ::close(probe);
        *error = "a daemon already answers at " + path;
        return false;
    }
    if (!makeSocketDirectory(path, error))
        return false;
    ::unlink(path.c_str());
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = m_listenFd >= 0 && m_wakeFd >= 0 &&
              ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (ok)
        setSocketAccess(path, m_policy.groupId());
    if (!ok || ::listen(m_listenFd, 64) != 0) {
        *error = "cannot listen at " + path + ": " + std::strerror(errno);
        return false;
    }
    if (m_policy.groupId())
        logLine("admitting root, uid %u and group '%s'", unsigned(geteuid()),
                m_options.group.c_str());
    else
        logLine("group '%s' does not exist: admitting root and uid %u only",
                m_options.group.c_str(), unsigned(geteuid()));
    return true;
}

void Server::run() {
    logLine("listening on %s", m_options.socketPath.c_str());
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            (void)!::read(m_wakeFd, &count, sizeof(count));
            reap(false);
        }
        if ((fds[0].revents & POLLIN) && !m_stopping)
            accept();
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_options.socketPath.c_str());
    logLine("stopped accepting; ending %zu connection(s)", connectionCount());
    reap(true);
}

void Server::stop() {
    m_stopping = true;
    wake();
}

void Server::wake() {
    uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
}

size_t Server::connectionCount() const {
    std::lock_guard guard(m_lock);
    return size_t(std::count_if(m_connections.begin(), m_connections.end(),
                                [](const auto& c) { return !c->ended(); }));
}

void Server::accept() {
    int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    auto peer = peerCredentials(fd);
    if (!peer || !m_policy.admits(*peer)) {
        logLine("refused peer pid %d uid %u", peer ? int(peer->pid) : -1,
                peer ? unsigned(peer->uid) : 0u);
        refusePeer(fd);
        return;
    }
    timeval timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    auto connection =
        std::make_unique<Connection>(fd, m_nextNumber++, *peer, m_host, *this, [this] { wake(); });
    Connection* started = connection.get();
    {
        std::lock_guard guard(m_lock);
        m_connections.push_back(std::move(connection));
    }
    started->start();
}

// Destroys ended connections, or with `all` ends every connection first.
void Server::reap(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard guard(m_lock);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (all || (*it)->ended())
                done.splice(done.end(), m_connections, it++);
            else
                ++it;
        }
    }
    for (auto& connection : done)
        connection->shutdown();
    done.clear();
}

} // namespace vornhost
