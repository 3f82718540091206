// The SOCK output over a real Unix socket: the datagram chronyd reads, and a missing listener.
#include "sock_sink.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace vornsync;

class SockSinkTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vornsync-sock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_directory = pattern;
        path = m_directory + "/refclock.sock";
    }
    void TearDown() override {
        if (m_listener >= 0)
            close(m_listener);
        unlink(path.c_str());
        rmdir(m_directory.c_str());
    }
    // Listens at `path` as chronyd does.
    void listen() {
        m_listener = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    std::string path;
    int m_listener = -1;

private:
    std::string m_directory;
};

TEST_F(SockSinkTest, OneDatagramASampleLaidOutAsChronydReadsIt) {
    listen();
    std::string error;
    std::optional<SockSink> sink = SockSink::create(path, error);
    ASSERT_TRUE(sink) << error;
    const Sample sample{1'709'294'400'123'456'789, -1'500'250, 400, Leap::Insert};
    ASSERT_EQ(sink->deliver(sample).outcome, Delivery::Sent);
    unsigned char bytes[64];
    ASSERT_EQ(recv(m_listener, bytes, sizeof bytes, MSG_DONTWAIT), 40);
    SockSample got;
    std::memcpy(&got, bytes, sizeof got);
    EXPECT_EQ(got.systemTime.tv_sec, 1'709'294'400);
    EXPECT_EQ(got.systemTime.tv_usec, 123'456);
    EXPECT_DOUBLE_EQ(got.offset, -0.00150025);
    EXPECT_EQ(got.pulse, 0);
    EXPECT_EQ(got.leap, 1);
    int magic = 0;
    std::memcpy(&magic, bytes + 36, sizeof magic);
    EXPECT_EQ(magic, 0x534f434b) << "the magic closes the datagram";
}

TEST_F(SockSinkTest, NoListenerNamesTheChronyConfLineAndALaterListenerGetsSamples) {
    std::string error;
    std::optional<SockSink> sink = SockSink::create(path, error);
    ASSERT_TRUE(sink) << error;
    const DeliveryResult missing = sink->deliver(Sample{});
    EXPECT_EQ(missing.outcome, Delivery::NoListener);
    EXPECT_NE(missing.advice.find("refclock SOCK " + path), std::string::npos) << missing.advice;
    listen();
    EXPECT_EQ(sink->deliver(Sample{}).outcome, Delivery::Sent);
}

TEST_F(SockSinkTest, RefusesAPathNoSocketCanHave) {
    std::string error;
    EXPECT_FALSE(SockSink::create(std::string(200, 'x'), error));
    EXPECT_NE(error.find("--sock"), std::string::npos);
    EXPECT_FALSE(SockSink::create("", error));
}

} // namespace
