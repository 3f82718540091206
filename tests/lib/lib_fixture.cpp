// The library fixture: the in-process rig, and the parameterised set-up shared by the cases.
#include "lib_fixture.h"
#include "private_host.h"

#include <cstdlib>
#include <future>
#include <thread>

namespace libtest {

namespace {

class InProcessRig : public Rig {
public:
    bool start(const vornsim::MachineDescription& machine) override {
        m_channel = vorntest::bootPrivateHost(machine);
        return m_channel != nullptr;
    }
    vornhost::DeviceChannel& control() override { return *m_channel; }
    bool virtualTime() const override { return true; }
    void advance(int64_t ticks) override { m_channel->host().virtualClock()->advance(ticks); }
    bool waitForPending(size_t count) override { return m_channel->waitForPending(count); }

private:
    std::shared_ptr<vornlib::testing::HostChannel> m_channel;
};

} // namespace

std::unique_ptr<Rig> makeDaemonRig();

std::unique_ptr<Rig> makeRig(RigKind kind) {
    if (kind == RigKind::InProcess)
        return std::make_unique<InProcessRig>();
    return makeDaemonRig();
}

void LibTest::SetUp() {
    restart(oneBoard());
    ASSERT_EQ(VORN_open(&m_handle, "VORNpci0"), VORN_OK);
}

void LibTest::TearDown() {
    if (m_handle != nullptr) {
        EXPECT_EQ(VORN_close(m_handle), VORN_OK);
    }
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u);
    EXPECT_TRUE(vornlib::testing::resetChannel());
    m_rig.reset();
}

void LibTest::restart(const vornsim::MachineDescription& machine) {
    if (m_handle != nullptr)
        VORN_close(m_handle);
    m_handle = nullptr;
    m_rig.reset();
    ASSERT_TRUE(vornlib::testing::resetChannel());
    m_rig = makeRig(GetParam());
    ASSERT_TRUE(m_rig && m_rig->start(machine));
}

vornhost::BoardState LibTest::board(uint32_t index) {
    vornhost::BoardState state;
    EXPECT_EQ(m_rig->control().inspectBoard(index, &state), STATUS_SUCCESS);
    return state;
}

void LibTest::simulate(vornhost::SimCommand command) {
    EXPECT_EQ(m_rig->control().simulate(command), STATUS_SUCCESS);
}

uint8_t LibTest::blockingCall(const std::function<uint8_t()>& call, int64_t ticks) {
    std::future<uint8_t> result = std::async(std::launch::async, call);
    if (m_rig->virtualTime()) {
        EXPECT_TRUE(m_rig->waitForPending(1));
        m_rig->advance(ticks);
    }
    return result.get();
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-lib-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
    EXPECT_FALSE(m_path.empty()) << "no temporary directory";
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

std::string rigName(const ::testing::TestParamInfo<RigKind>& info) {
    return info.param == RigKind::InProcess ? "InProcess" : "Daemon";
}

} // namespace libtest
