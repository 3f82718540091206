// The About box's version texts: from the board, from the demonstration board, and empty when
// opened from the system menu.
#include "about_dialog.h"
#include "fake_services.h"
#include "fake_view.h"
#include "main_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace vorngui {
namespace {

using namespace controls::about;
using ::testing::_;
using testing::FakeServices;
using testing::FakeView;
using ::testing::Return;

// The library's answer: `bytes` then zeros, in a 10-byte buffer.
auto versionBytes(std::vector<uint8_t> bytes) {
    return [bytes](BoardHandle, uint8_t* buffer) {
        std::copy(bytes.begin(), bytes.end(), buffer);
        return uint8_t{0};
    };
}

struct AboutDialogTest : ::testing::Test {
    std::string firmwareOf(std::vector<uint8_t> bytes) {
        EXPECT_CALL(fake.board, getFirmware(&record, _)).WillRepeatedly(versionBytes(bytes));
        AboutDialog about(fake.services);
        about.setBoard(&record, 0);
        about.fillVersions();
        return about.firmwareText();
    }

    FakeServices fake;
    BoardRecord record{0, 0x9070, 0, 0};
};

TEST_F(AboutDialogTest, VersionBytesAreHexPairsJoinedByDashesUpToAZeroByte) {
    EXPECT_EQ(firmwareOf({0x01, 0x02, 0x0A, 0xFF}), "01-02-0A-FF");
    EXPECT_EQ(firmwareOf({0x01, 0x02, 0x00, 0x05}), "01-02");
    EXPECT_EQ(firmwareOf({0x00, 0x02}), "");
    EXPECT_EQ(firmwareOf({0xAB}), "AB");
}

TEST_F(AboutDialogTest, EachByteComesFromACallOfItsOwnAndTheFpgaBufferStartsZeroedEachTime) {
    int firmwareCalls = 0;
    EXPECT_CALL(fake.board, getFirmware(&record, _)).WillRepeatedly([&](BoardHandle, uint8_t* b) {
        // Call n answers only byte n, so the text is right only when every byte is asked anew.
        b[firmwareCalls] = static_cast<uint8_t>(0x10 + firmwareCalls);
        ++firmwareCalls;
        return uint8_t{0};
    });
    int fpgaCalls = 0;
    EXPECT_CALL(fake.board, getFPGA(&record, _)).WillRepeatedly([&](BoardHandle, uint8_t* b) {
        EXPECT_TRUE(std::all_of(b, b + 10, [](uint8_t x) { return x == 0; })) << fpgaCalls;
        ++fpgaCalls;
        b[0] = 0x01;
        b[1] = 0x07;
        b[2] = 0xEE;
        b[3] = 0xEE;
        return uint8_t{0};
    });
    EXPECT_CALL(fake.board, getDriver(&record, _)).WillOnce([](BoardHandle, char* b) {
        std::strcpy(b, "1.300 ");
        return uint8_t{0};
    });
    AboutDialog about(fake.services);
    about.setBoard(&record, 0);
    about.fillVersions();
    EXPECT_EQ(firmwareCalls, 4);
    EXPECT_EQ(about.firmwareText(), "10-11-12-13");
    EXPECT_EQ(fpgaCalls, 4);
    EXPECT_EQ(about.fpgaText(), "01-07-EE-EE");
    EXPECT_EQ(about.driverText(), "1.300 ");

    FakeView view;
    about.onInitDialog(view);
    EXPECT_EQ(view.text(kFirmware), "10-11-12-13");
    EXPECT_EQ(view.text(kFpga), "01-07-EE-EE");
    EXPECT_EQ(view.text(kDriver), "1.300 ");
}

TEST_F(AboutDialogTest, DriverTextNeverRunsPastItsBuffer) {
    EXPECT_CALL(fake.board, getDriver(&record, _)).WillOnce([](BoardHandle, char* b) {
        std::memset(b, 'x', 12);
        return uint8_t{0};
    });
    AboutDialog about(fake.services);
    about.setBoard(&record, 0);
    about.fillVersions();
    EXPECT_EQ(about.driverText(), std::string(12, 'x'));
}

TEST_F(AboutDialogTest, DemonstrationShowsDemoThreeTimesWithoutTheLibrary) {
    fake.process.demonstration = 1;
    EXPECT_CALL(fake.board, getFirmware(_, _)).Times(0);
    EXPECT_CALL(fake.board, getFPGA(_, _)).Times(0);
    EXPECT_CALL(fake.board, getDriver(_, _)).Times(0);
    AboutDialog about(fake.services);
    about.fillVersions();
    FakeView view;
    about.onInitDialog(view);
    for (int control : {kFirmware, kDriver, kFpga}) {
        EXPECT_EQ(view.text(control), "DEMO") << control;
    }
}

TEST_F(AboutDialogTest, HelpFillsTheBoxAndTheSystemMenuEntryOpensItEmpty) {
    fake.runner.script(templates::kBoardSelect, [](Dialog& d, FakeView& v) { d.onEnterKey(v); });
    EXPECT_CALL(fake.board, open(_, _)).WillOnce([this](BoardHandle* h, const char*) {
        *h = &record;
        return uint8_t{0};
    });
    EXPECT_CALL(fake.board, getFirmware(&record, _))
        .Times(4)
        .WillRepeatedly(versionBytes({2, 3, 4, 5}));
    EXPECT_CALL(fake.board, getFPGA(&record, _)).Times(3).WillRepeatedly(versionBytes({1, 7}));
    FakeView view;
    MainDialog main(fake.services);
    main.onInitDialog(view);
    main.onMenuCommand(view, commands::kAbout);
    ASSERT_EQ(fake.runner.views.size(), 2u);
    EXPECT_EQ(fake.runner.views[1].text(kFirmware), "02-03-04-05");
    EXPECT_EQ(fake.runner.views[1].text(kFpga), "01-07");

    EXPECT_TRUE(main.onSystemCommand(view, commands::kSystemAbout));
    EXPECT_TRUE(main.onSystemCommand(view, commands::kSystemAbout | 0x000F));
    EXPECT_FALSE(main.onSystemCommand(view, 0xF060));
    ASSERT_EQ(fake.runner.views.size(), 4u);
    for (int control : {kFirmware, kDriver, kFpga}) {
        EXPECT_EQ(fake.runner.views[3].text(control), "") << control;
    }
    EXPECT_EQ(fake.runner.ranTemplates.back(), templates::kAbout);
}

} // namespace
} // namespace vorngui
