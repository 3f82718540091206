// The main window over a mock library: which board the selection opens, the demonstration
// board, the menu commands with the GPS check, and the end of the run.
#include "board_select_dialog.h"
#include "fake_services.h"
#include "fake_view.h"
#include "main_dialog.h"
#include "time_dialogs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vorngui {
namespace {

using namespace controls::board_select;
using ::testing::_;
using testing::FakeServices;
using testing::FakeView;
using ::testing::Return;
using ::testing::StrEq;

struct MainDialogTest : ::testing::Test {
    // The operator types `name` into the selection and presses OK.
    void typeName(const std::string& name) {
        fake.runner.script(templates::kBoardSelect, [name](Dialog& d, FakeView& v) {
            v.setText(kDeviceName, name);
            d.onCommand(v, kOk);
        });
    }
    // The library opens any name, giving `record`.
    void opensAs(uint16_t model) {
        record.modelCode = model;
        EXPECT_CALL(fake.board, open(_, _)).WillOnce([this](BoardHandle* h, const char*) {
            *h = &record;
            return uint8_t{0};
        });
    }

    FakeServices fake;
    FakeView view;
    BoardRecord record{0x1234, 0, 0, 0};
};

TEST_F(MainDialogTest, DemoChosenByRadioSetsUpTheDemonstrationBoardWithoutTheLibrary) {
    fake.runner.script(templates::kBoardSelect, [](Dialog& d, FakeView& v) {
        d.onCommand(v, kDemo);
        d.onCommand(v, kOk);
    });
    EXPECT_CALL(fake.board, open(_, _)).Times(0);
    EXPECT_CALL(fake.board, close(_)).Times(0);
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(main.demonstration(), 1);
    EXPECT_EQ(fake.process.demonstration, 1);
    ASSERT_NE(main.boardHandle(), nullptr);
    EXPECT_EQ(main.boardHandle()->modelCode, 0x9070);
    EXPECT_EQ(fake.random.seeds, std::vector<uint32_t>{fake.clock.seconds});
    main.finish();
    EXPECT_EQ(main.boardHandle(), nullptr);
}

TEST_F(MainDialogTest, DemoTypedIsTheDemonstrationBoardButOnlyInCapitals) {
    typeName("DEMO");
    typeName("demo");
    {
        MainDialog main(fake.services);
        main.onInitDialog(view);
        EXPECT_EQ(main.demonstration(), 1);
    }
    EXPECT_CALL(fake.board, open(_, StrEq("demo"))).WillOnce(Return(4));
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_EQ(main.demonstration(), 0);
    EXPECT_EQ(fake.process.demonstration, 0);
}

TEST_F(MainDialogTest, CloseBoxOpensTheEmptyNameAndAFailedOpenEndsWithoutClosing) {
    fake.runner.script(templates::kBoardSelect, [](Dialog& d, FakeView& v) { d.onCloseBox(v); });
    BoardRecord stray{};
    EXPECT_CALL(fake.board, open(_, StrEq(""))).WillOnce([&stray](BoardHandle* h, const char*) {
        *h = &stray;
        return uint8_t{4};
    });
    EXPECT_CALL(fake.board, close(_)).Times(0);
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Could Not Open Device!! []"});
    EXPECT_EQ(view.ended, DialogResult::Ok);
    EXPECT_FALSE(main.boardOpen());
    main.finish();
}

TEST_F(MainDialogTest, TheOpenedBoardIsClosedOnceAtTheEnd) {
    typeName("VORNpci0");
    opensAs(0x9070);
    EXPECT_CALL(fake.board, close(&record)).WillOnce(Return(1));
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_TRUE(main.boardOpen());
    EXPECT_EQ(main.boardHandle(), &record);
    main.finish();
    main.finish();
    EXPECT_FALSE(main.boardOpen());
}

TEST_F(MainDialogTest, LongDeviceNamesAreShortenedToNineteenBytes) {
    typeName("VORNpci0123456789ABCDEFGHIJ");
    EXPECT_CALL(fake.board, open(_, StrEq("VORNpci0123456789AB"))).WillOnce(Return(4));
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"Could Not Open Device!! [VORNpci0123456789AB]"});
}

TEST_F(MainDialogTest, MenuCommandsOpenTheirDialogsWithTheHandleAndFlag) {
    typeName("VORNpci0");
    opensAs(0x9070);
    MainDialog main(fake.services);
    main.onInitDialog(view);
    EXPECT_CALL(fake.board, getTime(&record, _)).Times(2).WillRepeatedly(Return(0));
    EXPECT_CALL(fake.board, getDate(&record, _)).WillOnce(Return(0));
    for (int command : {commands::kTimeRetrieve, commands::kTimeSet, commands::kYearSet,
                        commands::kDateRetrieve, 40000}) {
        main.onMenuCommand(view, command);
    }
    EXPECT_EQ(
        fake.runner.ranTemplates,
        (std::vector<int>{templates::kBoardSelect, templates::kTimeRetrieve, templates::kTimeSet,
                          templates::kYearSet, templates::kDateRetrieve}));
    EXPECT_TRUE(view.messages.empty());
    EXPECT_FALSE(view.ended);
    main.onMenuCommand(view, commands::kExit);
    EXPECT_EQ(view.ended, DialogResult::Ok);
}

class MainDialogGpsTest : public MainDialogTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(MainDialogGpsTest, SatelliteCommandsNeedAGpsBoard) {
    const bool gps = GetParam() != 0x7000;
    typeName("VORNpci0");
    opensAs(GetParam());
    MainDialog main(fake.services);
    main.onInitDialog(view);
    for (int command :
         {commands::kAltitude, commands::kLatitude, commands::kLongitude, commands::kSatellite}) {
        main.onMenuCommand(view, command);
    }
    if (gps) {
        EXPECT_TRUE(view.messages.empty());
        EXPECT_EQ(
            fake.runner.ranTemplates,
            (std::vector<int>{templates::kBoardSelect, templates::kAltitude, templates::kLatitude,
                              templates::kLongitude, templates::kSatellite}));
    } else {
        EXPECT_EQ(view.messages, (std::vector<std::string>{
                                     "Only SOLK boards can retrieve altitude information!!",
                                     "Only SOLK boards can retrieve latitude information!!",
                                     "Only SOLK boards can retrieve longitude information!!",
                                     "Only SOLK boards can retrieve satellite information!!"}));
        EXPECT_EQ(fake.runner.ranTemplates, std::vector<int>{templates::kBoardSelect});
    }
}

INSTANTIATE_TEST_SUITE_P(Models, MainDialogGpsTest,
                         ::testing::Values(0x7000, 0x7100, 0x9070, 0x9072));

TEST_F(MainDialogTest, DemonstrationBoardOpensTheGpsHeartbeatAndEventCommands) {
    typeName("DEMO");
    MainDialog main(fake.services);
    main.onInitDialog(view);
    for (int command :
         {commands::kAltitude, commands::kLatitude, commands::kLongitude, commands::kSatellite,
          commands::kHeartbeatSet, commands::kSimulateEvent, commands::kEventCheck}) {
        main.onMenuCommand(view, command);
    }
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(
        fake.runner.ranTemplates,
        (std::vector<int>{templates::kBoardSelect, templates::kAltitude, templates::kLatitude,
                          templates::kLongitude, templates::kSatellite, templates::kHeartbeatSet,
                          templates::kSimulateEvent, templates::kEvent}));
}

TEST_F(MainDialogTest, MenuEveryCommandAppearsOnceUnderItsMenu) {
    std::vector<int> seen;
    for (const MenuPopup& popup : MainDialog::menuBar()) {
        for (const MenuItem& item : popup.items) {
            seen.push_back(item.command);
        }
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{32771, 32772, 32773, 32774, 32775, 32776, 32777, 32778, 32779,
                                      32780, 32781, 32785, 32786, 32787, 32788, 32789, 32790, 32791,
                                      32792}));
    EXPECT_STREQ(MainDialog::menuBar().front().title, "&File");
    EXPECT_STREQ(MainDialog::menuBar().back().items.front().text, "A&bout");
}

} // namespace
} // namespace vorngui
