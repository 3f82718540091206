// Which peers the daemon serves: root, the daemon's own user, and members of one group.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vornhost {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials the kernel recorded for the socket's peer at connect time.
std::optional<PeerCredentials> peerCredentials(int fd);

class PeerPolicy {
public:
    // `group` names the admitted group; a group that does not exist admits nobody extra.
    explicit PeerPolicy(const std::string& group);
    bool admits(const PeerCredentials& peer) const;
    // The group's id, or none when it does not exist.
    std::optional<gid_t> groupId() const { return m_group; }

private:
    uid_t m_ownUid;
    std::optional<gid_t> m_group;
};

} // namespace vornhost
