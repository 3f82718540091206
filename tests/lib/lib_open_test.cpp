// Opening and closing boards: the model code of the open reply, names that do not exist, and
// handles the library did not give or has taken back.
#include "boards.h"
#include "lib_fixture.h"

#include <cstdlib>
#include <filesystem>

namespace libtest {
namespace {

class LibOpenTest : public LibTest {};

vornsim::MachineDescription everyModel() {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x7000, 0, 3, 11));
    machine.cards.push_back(vornsim::CardDescription::board(0x7100, 0, 4, 10, 0x9030));
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 7, 11));
    machine.cards.push_back(vornsim::CardDescription::board(0x9072, 2, 1, 9));
    return machine;
}

TEST_P(LibOpenTest, EachBoardReportsItsModelAndSlot) {
    restart(everyModel());
    const struct {
        const char* name;
        uint16_t model;
        uint8_t slot;
    } expected[] = {{"VORNpci0", 0x7000, 3},
                    {"VORNpci1", 0x7100, 4},
                    {"VORNpci2", 0x9070, 7},
                    {"VORNpci3", 0x9072, 1}};
    BoardHandle handles[4] = {};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(VORN_open(&handles[i], expected[i].name), VORN_OK) << expected[i].name;
        EXPECT_EQ(handles[i]->modelCode, expected[i].model);
        EXPECT_EQ(handles[i]->slotNumber, expected[i].slot);
    }
    EXPECT_EQ(vornlib::testing::openBoardCount(), 4u);
    // Each handle reaches its own board.
    int32_t delay = 100;
    ASSERT_EQ(VORN_setPropDelayCorr(handles[2], &delay), VORN_OK);
    EXPECT_EQ(board(2).propagationDelayMicros, 100);
    EXPECT_EQ(board(1).propagationDelayMicros, 0);
    for (BoardHandle handle : handles)
        EXPECT_EQ(VORN_close(handle), VORN_OK);
}

TEST_P(LibOpenTest, ABoardOpensTwiceAndTheOlderModelsReadNoPosition) {
    restart(oneBoard(0x7100));
    BoardHandle first = nullptr, second = nullptr;
    ASSERT_EQ(VORN_open(&first, "VORNpci0"), VORN_OK);
    ASSERT_EQ(VORN_open(&second, "VORNpci0"), VORN_OK);
    EXPECT_NE(first, second);
    LongLat latitude{9, 9, 9.0f};
    ASSERT_EQ(VORN_getLatitude(second, &latitude), VORN_OK);
    EXPECT_EQ(latitude.degrees, 0);
    EXPECT_EQ(latitude.minutes, 0.0f);
    EXPECT_EQ(VORN_close(first), VORN_OK);
    TimeObj time{};
    EXPECT_EQ(VORN_getTime(second, &time), VORN_OK) << "the other handle stays open";
    EXPECT_EQ(VORN_close(second), VORN_OK);
}

TEST_P(LibOpenTest, NamesThatDoNotExist) {
    for (const char* name :
         {"VORNpci1", "VORNcpci0", "VORNisa0", "DEMO", "", "VORNpci0\\x", "..\\VORNpci0"}) {
        BoardHandle handle = reinterpret_cast<BoardHandle>(0x1);
        EXPECT_EQ(VORN_open(&handle, name), VORN_ERR_NO_DEVICE) << '"' << name << '"';
        EXPECT_EQ(handle, nullptr);
    }
    BoardHandle handle = nullptr;
    EXPECT_EQ(VORN_open(&handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_open(nullptr, "VORNpci0"), VORN_ERR_ARGUMENT);
    EXPECT_EQ(vornlib::testing::openBoardCount(), 1u) << "only the fixture's board is open";
}

TEST_P(LibOpenTest, HandlesTheLibraryDidNotGiveAreRefused) {
    BoardRecord forged{vornlib::kRecordTag, 0x9070, 3, 0};
    TimeObj time{};
    uint8_t firmware[10] = {1, 1};
    char driver[12] = "abc";
    EXPECT_EQ(VORN_getTime(nullptr, &time), VORN_ERR_HANDLE);
    EXPECT_EQ(VORN_getTime(&forged, &time), VORN_ERR_HANDLE);
    EXPECT_EQ(VORN_simEvent(&forged), VORN_ERR_HANDLE);
    EXPECT_EQ(VORN_getFirmware(&forged, firmware), VORN_ERR_HANDLE);
    EXPECT_EQ(firmware[0], 0);
    EXPECT_EQ(VORN_getDriver(&forged, driver), VORN_ERR_HANDLE);
    EXPECT_STREQ(driver, "");
    EXPECT_EQ(VORN_close(&forged), VORN_ERR_HANDLE);

    ASSERT_EQ(VORN_close(m_handle), VORN_OK);
    EXPECT_EQ(VORN_close(m_handle), VORN_ERR_HANDLE) << "closed twice";
    EXPECT_EQ(VORN_flushFIFO(m_handle), VORN_ERR_HANDLE);
    m_handle = nullptr;
}

TEST_P(LibOpenTest, TheChannelStaysWhileBoardsAreOpen) {
    EXPECT_FALSE(vornlib::testing::resetChannel());
    EXPECT_FALSE(vornlib::testing::useHost(oneBoard()));
    TimeObj time{};
    EXPECT_EQ(VORN_getTime(m_handle, &time), VORN_OK);
}

extern "C" uint8_t cCallerOpenAndReadTime(const char* name, TimeObj* time);

TEST_P(LibOpenTest, ACallerInCReachesTheBoard) {
    TimeObj time{};
    ASSERT_EQ(cCallerOpenAndReadTime("VORNpci0", &time), VORN_OK);
    EXPECT_EQ(time.dayOfYear, board().dayOfYear);
    EXPECT_EQ(cCallerOpenAndReadTime("VORNpci7", &time), VORN_ERR_NO_DEVICE);
}

INSTANTIATE_TEST_SUITE_P(Rigs, LibOpenTest, ::testing::ValuesIn(rigKinds()), rigName);

// VORN_HOST_SOCKET names a socket in a private directory where no daemon listens.
class LibOpenDefaultHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_directory.empty());
        ::setenv("VORN_HOST_SOCKET", (m_directory + "/vornhost.sock").c_str(), 1);
        ASSERT_TRUE(vornlib::testing::resetChannel());
    }
    void TearDown() override {
        EXPECT_TRUE(vornlib::testing::resetChannel());
        ::unsetenv("VORN_HOST_SOCKET");
        std::filesystem::remove_all(m_directory);
    }

    const std::string m_directory = vorntest::makeDirectory();
};

// A program's first open finds no daemon and runs the host in its own process, on the default
// machine.
TEST_F(LibOpenDefaultHostTest, FirstOpenWithoutADaemonRunsTheHostInProcess) {
    BoardHandle handle = nullptr;
    ASSERT_EQ(VORN_open(&handle, "VORNpci0"), VORN_OK);
    EXPECT_EQ(handle->modelCode, 0x9070);
    char driver[12] = {};
    EXPECT_EQ(VORN_getDriver(handle, driver), VORN_OK);
    EXPECT_STREQ(driver, "1.300 ");
    uint32_t timeout = 1;
    EXPECT_EQ(VORN_waitMatch(handle, &timeout), VORN_WAIT_TIMEOUT);
    BoardHandle missing = nullptr;
    EXPECT_EQ(VORN_open(&missing, "VORNpci1"), VORN_ERR_NO_DEVICE);
    EXPECT_EQ(VORN_close(handle), VORN_OK);
}

// A program may end with a board still open and a wait just timed out: the library closes the
// board and takes its in-process host down on the way out, and the program exits normally.
TEST_F(LibOpenDefaultHostTest, AProgramThatEndsWithABoardOpenExitsNormally) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vornlib::testing::resetChannel();
            BoardHandle handle = nullptr;
            uint32_t timeout = 1;
            const bool ok = VORN_open(&handle, "VORNpci0") == VORN_OK &&
                            VORN_waitMatch(handle, &timeout) == VORN_WAIT_TIMEOUT;
            std::exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace libtest
