// The main window end to end: opening a board through the library, the About box's versions as
// the driver and board give them, the GPS check on the model the library reports, and the close.
#include "about_dialog.h"
#include "main_dialog_e2e_fixture.h"
#include "time_dialogs.h"
#include "vornpci_records.h"

#include <array>

namespace vorngui::e2e {
namespace {

using namespace controls::about;

class MainDialogE2eTest : public MainDialogE2eFixture {};

TEST_F(MainDialogE2eTest, AboutShowsTheDriverTextAndTheBoardsVersionBytes) {
    // The board model's defaults, which the expected texts below are written from.
    ASSERT_EQ(boardModel().config().firmware, (std::array<uint8_t, 4>{0x32, 0x2E, 0x30, 0x33}));
    ASSERT_EQ(boardModel().config().fpgaVersion, 0x0107);

    MainDialog& main = openMain();
    main.onMenuCommand(mainView, commands::kAbout);
    EXPECT_EQ(lastView().text(kDriver), "1.300 ");
    EXPECT_EQ(lastView().text(kDriver), vornpci::kDriverVersionText);
    EXPECT_EQ(lastView().text(kFirmware), "32-2E-30-33");
    EXPECT_EQ(lastView().text(kFpga), "01-07");
}

TEST_F(MainDialogE2eTest, ADeviceThatDoesNotExistEndsTheRunWithItsName) {
    MainDialog& main = openMain("VORNpci7");
    EXPECT_EQ(mainView.messages, std::vector<std::string>{"Could Not Open Device!! [VORNpci7]"});
    EXPECT_EQ(mainView.ended, DialogResult::Ok);
    EXPECT_FALSE(main.boardOpen());
    main.finish();
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u);
}

TEST_F(MainDialogE2eTest, TheBoardStaysOpenForTheRunAndIsClosedAtItsEnd) {
    MainDialog& main = openMain();
    EXPECT_TRUE(mainView.messages.empty());
    EXPECT_EQ(vornlib::testing::openBoardCount(), 1u);
    EXPECT_EQ(main.boardHandle()->modelCode, 0x9070);
    main.onMenuCommand(mainView, commands::kExit);
    EXPECT_EQ(mainView.ended, DialogResult::Ok);
    main.finish();
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u);
}

TEST_F(MainDialogE2eTest, TheDemonstrationBoardNeverReachesTheLibrary) {
    MainDialog& main = openMain("DEMO");
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u);
    main.onMenuCommand(mainView, commands::kAbout);
    EXPECT_EQ(lastView().text(kDriver), "DEMO");
    EXPECT_EQ(lastView().text(kFirmware), "DEMO");
    EXPECT_EQ(lastView().text(kFpga), "DEMO");
    const uint32_t hoursBefore = static_cast<uint32_t>(board().hours);
    fakes.runner.script(templates::kTimeSet, [](Dialog& d, testing::FakeView& v) {
        v.setText(controls::time_of_day::kHours, "3");
        d.onEnterKey(v);
    });
    main.onMenuCommand(mainView, commands::kTimeSet);
    EXPECT_EQ(lastView().ended, DialogResult::Ok);
    EXPECT_EQ(static_cast<uint32_t>(board().hours), hoursBefore);
    main.finish();
    EXPECT_TRUE(mainView.messages.empty());
}

TEST_F(MainDialogE2eTest, ABoardWithoutGpsRefusesTheSatelliteCommands) {
    boot(0x7000);
    MainDialog& main = openMain();
    ASSERT_TRUE(main.boardOpen());
    main.onMenuCommand(mainView, commands::kAltitude);
    main.onMenuCommand(mainView, commands::kSatellite);
    EXPECT_EQ(mainView.messages,
              (std::vector<std::string>{"Only SOLK boards can retrieve altitude information!!",
                                        "Only SOLK boards can retrieve satellite information!!"}));
    EXPECT_EQ(fakes.runner.ranTemplates, std::vector<int>{templates::kBoardSelect});
}

} // namespace
} // namespace vorngui::e2e
