// The leap field from a leap-second list: set only during the last day before a leap.
#include "leap_seconds.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using vornsync::Leap;
using vornsync::LeapSecondList;

// Entries in NTP seconds (since 1900); 2017-01-01 gained a second, and a made-up 2030-01-01
// loses one. The list expires 2026-06-28.
constexpr const char* kList = "# a comment\n"
                              "#$\t3676924800\n"
                              "#@\t3991593600\n"
                              "2272060800\t10\t# 1 Jan 1972\n"
                              "3692217600\t37\t# 1 Jan 2017\n"
                              "4102444800\t36\t# 1 Jan 2030\n";
constexpr int64_t kLeap2017 = 1'483'228'800;
constexpr int64_t kLeap2030 = 1'893'456'000;
constexpr int64_t kDay = 86'400;

TEST(LeapSecondsTest, AnnouncedOnlyDuringTheLastDayBeforeTheLeap) {
    const LeapSecondList list = LeapSecondList::parse(kList);
    EXPECT_EQ(list.leapAt(kLeap2017 - kDay - 1), Leap::None);
    EXPECT_EQ(list.leapAt(kLeap2017 - kDay), Leap::Insert);
    EXPECT_EQ(list.leapAt(kLeap2017 - 1), Leap::Insert);
    EXPECT_EQ(list.leapAt(kLeap2017), Leap::None);
    EXPECT_EQ(list.leapAt(kLeap2030 - 1), Leap::Delete);
    EXPECT_EQ(list.leapAt(63'072'000 - 1), Leap::None) << "the list's first entry is no leap";
}

TEST(LeapSecondsTest, ExpiryIsKnownAndAMissingListAnnouncesNothing) {
    const LeapSecondList list = LeapSecondList::parse(kList);
    EXPECT_FALSE(list.expiredAt(1'782'604'800));
    EXPECT_TRUE(list.expiredAt(1'782'604'801));
    std::string problem;
    const LeapSecondList missing = LeapSecondList::load("/nonexistent/leap-seconds.list", problem);
    EXPECT_NE(problem.find("/nonexistent/leap-seconds.list"), std::string::npos);
    EXPECT_EQ(missing.leapAt(kLeap2017 - 1), Leap::None);
}

TEST(LeapSecondsTest, TheSystemListAnnouncesTheLeapOf2016) {
    std::string problem;
    const LeapSecondList list = LeapSecondList::load(vornsync::kDefaultLeapSecondList, problem);
    if (!problem.empty())
        GTEST_SKIP() << problem;
    EXPECT_EQ(list.leapAt(kLeap2017 - 1), Leap::Insert);
    EXPECT_EQ(list.leapAt(kLeap2017 - kDay - 1), Leap::None);
}

} // namespace
