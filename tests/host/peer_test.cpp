// The admission rule: root, the daemon's own user, and the configured group's members.
#include "peer_check.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using vornhost::PeerCredentials;
using vornhost::PeerPolicy;

TEST(PeerTest, RootAndOwnUserAlwaysAdmitted) {
    PeerPolicy policy("vorn-test-no-such-group");
    EXPECT_FALSE(policy.groupId());
    EXPECT_TRUE(policy.admits({1, 0, 0}));
    EXPECT_TRUE(policy.admits({1, geteuid(), 12345}));
    if (geteuid() != 65534) {
        EXPECT_FALSE(policy.admits({1, 65534, 65534})); // a missing group admits nobody extra
    }
}

TEST(PeerTest, GroupAdmitsItsPrimaryMembersOnly) {
    group* nogroup = ::getgrgid(65534);
    if (!nogroup || geteuid() == 65534 || geteuid() == 65533)
        GTEST_SKIP() << "no group 65534 to test with, or running as its user";
    PeerPolicy policy(nogroup->gr_name);
    ASSERT_EQ(policy.groupId(), gid_t(65534));
    EXPECT_TRUE(policy.admits({1, 65533, 65534}));  // primary group given by the socket
    EXPECT_FALSE(policy.admits({1, 65533, 65533})); // unknown user, another group
}

TEST(PeerTest, CredentialsComeFromTheSocket) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto peer = vornhost::peerCredentials(pair[0]);
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_EQ(peer->uid, ::geteuid());
    EXPECT_EQ(peer->gid, ::getegid());
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_FALSE(vornhost::peerCredentials(-1));
}

} // namespace
