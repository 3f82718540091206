// Peer credentials and the admission rule, from the kernel's record and the group database.
#include "peer_check.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace vornhost {
namespace {

std::optional<gid_t> lookupGroup(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return found->gr_gid;
}

// Supplementary membership by the user database: the peer's primary group is checked apart.
bool userInGroup(uid_t uid, gid_t group) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    std::vector<gid_t> groups(64);
    int count = int(groups.size());
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(size_t(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

} // namespace

std::optional<PeerCredentials> peerCredentials(int fd) {
    ucred cred{};
    socklen_t length = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof(cred))
        return std::nullopt;
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

PeerPolicy::PeerPolicy(const std::string& group)
    : m_ownUid(geteuid()), m_group(lookupGroup(group)) {}

bool PeerPolicy::admits(const PeerCredentials& peer) const {
    if (peer.uid == 0 || peer.uid == m_ownUid)
        return true;
    if (!m_group)
        return false;
    return peer.gid == *m_group || userInGroup(peer.uid, *m_group);
}

} // namespace vornhost
