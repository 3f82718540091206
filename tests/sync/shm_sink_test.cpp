// The shared-memory output over a real segment of an otherwise unused unit: mode-1 writes, the
// segment's mode, and a segment that belongs to another user.
#include "shm_sink.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

using namespace vornsync;

class ShmSinkTest : public testing::Test {
protected:
    void SetUp() override {
        // A unit per process, far from the ones time daemons are configured with.
        unit = 100 + static_cast<int>(getpid() % 150);
        if (shmget(kShmKeyBase + unit, 0, 0) >= 0)
            GTEST_SKIP() << "shared memory of unit " << unit << " is in use";
    }
    void TearDown() override {
        const int id = shmget(kShmKeyBase + unit, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
    // A copy of the segment as a reader sees it.
    ShmTime read(shmid_ds* status = nullptr) {
        ShmTime copy{};
        const int id = shmget(kShmKeyBase + unit, 0, 0);
        EXPECT_GE(id, 0);
        if (status != nullptr)
            shmctl(id, IPC_STAT, status);
        void* memory = shmat(id, nullptr, SHM_RDONLY);
        copy = *static_cast<ShmTime*>(memory);
        shmdt(memory);
        return copy;
    }

    int unit = 0;
};

TEST_F(ShmSinkTest, WritesEachSampleInModeOneIntoASegmentOfTheGivenMode) {
    {
        ShmSink sink(unit, 0640);
        const Sample sample{1'709'294'400'999'999'500, 1'000, 1'000, Leap::Delete};
        ASSERT_EQ(sink.deliver(sample).outcome, Delivery::Sent);
        ASSERT_EQ(sink.deliver(sample).outcome, Delivery::Sent);
    }
    shmid_ds status{};
    const ShmTime segment = read(&status);
    EXPECT_EQ(status.shm_perm.mode & 0777, 0640u);
    EXPECT_EQ(segment.mode, 1);
    EXPECT_EQ(segment.count, 4) << "count goes up before and after each write";
    EXPECT_EQ(segment.valid, 1);
    EXPECT_EQ(segment.receiveTimeStampSec, 1'709'294'400);
    EXPECT_EQ(segment.receiveTimeStampUSec, 999'999);
    EXPECT_EQ(segment.receiveTimeStampNSec, 999'999'500u);
    EXPECT_EQ(segment.clockTimeStampSec, 1'709'294'401) << "the true time crosses the second";
    EXPECT_EQ(segment.clockTimeStampUSec, 0);
    EXPECT_EQ(segment.clockTimeStampNSec, 500u);
    EXPECT_EQ(segment.leap, 2);
    EXPECT_EQ(segment.precision, -19) << "a microsecond is just under 2^-19 s";
}

TEST_F(ShmSinkTest, ASegmentOfAnotherUserIsLeftAloneWithAdvice) {
    const int id = shmget(kShmKeyBase + unit, sizeof(ShmTime), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    shmid_ds status{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &status), 0);
    status.shm_perm.uid = geteuid() + 1;
    if (shmctl(id, IPC_SET, &status) != 0)
        GTEST_SKIP() << "this user cannot give a segment away";
    ShmSink sink(unit, 0600);
    const DeliveryResult result = sink.deliver(Sample{1, 2, 3, Leap::None});
    EXPECT_EQ(result.outcome, Delivery::ForeignSegment);
    EXPECT_NE(result.advice.find("ipcrm -M 0x"), std::string::npos) << result.advice;
    EXPECT_EQ(read().count, 0) << "the segment was not written";
}

} // namespace
