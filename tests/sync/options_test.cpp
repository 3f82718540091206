// vornsync's command line: its defaults and the values it refuses.
#include "options.h"

#include <gtest/gtest.h>

namespace {

using vornsync::Mode;
using vornsync::parseOptions;

TEST(OptionsTest, DefaultsAndOctalSegmentMode) {
    std::string error;
    auto options = parseOptions({"--sock", "/run/x.sock"}, error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->deviceName, "VORNpci0");
    EXPECT_EQ(options->rate, 4);
    EXPECT_EQ(options->shmPermissions, 0600u);
    options = parseOptions({"--shm", "2", "--shm-perm", "644", "--rate", "64"}, error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->shmUnit, 2);
    EXPECT_EQ(options->shmPermissions, 0644u);
    EXPECT_EQ(options->rate, 64);
}

TEST(OptionsTest, RefusesRatesOutsideOneToSixtyFourAndOtherBadValues) {
    for (const char* rate : {"0", "65", "4.5", "", "x", "-1"}) {
        std::string error;
        EXPECT_FALSE(parseOptions({"--sock", "/s", "--rate", rate}, error)) << rate;
        EXPECT_NE(error.find("--rate"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(parseOptions({"--shm", "1", "--shm-perm", "9"}, error));
    EXPECT_FALSE(parseOptions({"--shm", "256"}, error));
    EXPECT_FALSE(parseOptions({"--sock"}, error));
    EXPECT_FALSE(parseOptions({"--once", "--step"}, error));
    EXPECT_FALSE(parseOptions({}, error)) << "a feed needs an output";
    EXPECT_NE(error.find("--sock"), std::string::npos);
    ASSERT_TRUE(parseOptions({"--step"}, error));
    EXPECT_EQ(parseOptions({"--step"}, error)->mode, Mode::Step);
}

TEST(OptionsTest, ARepeatedOptionCountsWithItsLastValue) {
    std::string error;
    auto options = parseOptions({"--shm", "1", "--rate", "8", "--rate=16"}, error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->rate, 16);
}

} // namespace
