// The frame's real dialogs in their Qt windows over faked services: board selection into the
// main window, its menu and About entry, and a set dialog refusing a bad field.
#include "fake_services.h"
#include "main_dialog.h"
#include "qt_dialog_runner.h"
#include "qt_test_support.h"
#include "resource_ids.h"
#include "time_dialogs.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

namespace vorngui::qt {
namespace {

using ::testing::_;
using testing::acknowledge;
using testing::control;
using testing::ModalScript;
using ::testing::Return;

struct FrameWindows : ::testing::Test {
    vorngui::testing::FakeServices fake;
    QtDialogRunner runner;
    Services services{fake.board, fake.clock, fake.random, fake.process, runner};
    ModalScript script;
};

QAction* menuAction(QDialog& window, int command) {
    auto* bar = window.findChild<QMenuBar*>();
    if (!bar) {
        ADD_FAILURE() << "no menu bar";
        return nullptr;
    }
    for (QAction* top : bar->actions()) {
        for (QAction* action : top->menu()->actions()) {
            if (action->data().toInt() == command) {
                return action;
            }
        }
    }
    ADD_FAILURE() << "no menu item " << command;
    return nullptr;
}

TEST_F(FrameWindows, DemonstrationBoardThroughTheMenusAndOut) {
    EXPECT_CALL(fake.board, open(_, _)).Times(0);
    QString days, aboutFirmware;
    script.on("boardSelectDialog", [](QDialog& window) {
        EXPECT_TRUE(control<QRadioButton>(window, 1027)->isChecked());
        EXPECT_EQ(control<QLineEdit>(window, 1031)->text(), "VORNpci0");
        auto* demo = control<QRadioButton>(window, 1034);
        QTest::mouseClick(demo, Qt::LeftButton, {}, QPoint(6, demo->height() / 2));
        EXPECT_EQ(control<QLineEdit>(window, 1031)->text(), "DEMO");
        QTest::mouseClick(control<QPushButton>(window, 1004), Qt::LeftButton);
    });
    script.on("mainDialog", [](QDialog& window) {
        EXPECT_EQ(window.windowTitle(), "VORN/SOLK Control Utility");
        menuAction(window, commands::kTimeRetrieve)->trigger();
    });
    script.on("timeRetrieveDialog", [&](QDialog& window) {
        days = control<QLineEdit>(window, controls::time_of_day::kDays)->text();
        QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
    });
    script.on("mainDialog", [](QDialog& window) {
        window.findChild<QWidget*>(QStringLiteral("pictureArea"))->actions().front()->trigger();
    });
    script.on("aboutDialog", [&](QDialog& window) {
        aboutFirmware = control<QLineEdit>(window, 1016)->text();
        QTest::keyClick(control<QPushButton>(window, 1), Qt::Key_Return);
    });
    script.on("mainDialog",
              [](QDialog& window) { menuAction(window, commands::kExit)->trigger(); });

    MainDialog mainDialog(services);
    EXPECT_EQ(runner.runModal(mainDialog), DialogResult::Ok);
    mainDialog.finish();
    EXPECT_TRUE(script.done());
    EXPECT_EQ(fake.process.demonstration, 1);
    // The faked clock reads 1 March 2024, a leap year: day 61.
    EXPECT_EQ(days, "61");
    // Opened from the context menu's About entry, the versions stay empty.
    EXPECT_EQ(aboutFirmware, "");
}

TEST_F(FrameWindows, FailedOpenShowsItsMessageAndNeverShowsTheMainWindow) {
    EXPECT_CALL(fake.board, open(_, _)).WillOnce(Return(1));
    EXPECT_CALL(fake.board, close(_)).Times(0);
    QString message;
    script.on("boardSelectDialog", [](QDialog& window) {
        auto* name = control<QLineEdit>(window, 1031);
        name->clear();
        QTest::keyClicks(name, "demo");
        QTest::keyClick(name, Qt::Key_Return);
    });
    script.on("messageBox", [&](QDialog& box) { message = acknowledge(box); });
    testing::ShownWindows shown;
    MainDialog mainDialog(services);
    EXPECT_EQ(runner.runModal(mainDialog), DialogResult::Ok);
    mainDialog.finish();
    EXPECT_EQ(message, "Could Not Open Device!! [demo]");
    EXPECT_EQ(mainDialog.deviceName(), "demo");
    EXPECT_FALSE(shown.names.contains("mainDialog"));
    EXPECT_TRUE(shown.names.contains("boardSelectDialog"));
}

TEST_F(FrameWindows, SetYearRefusesTextThatIsNotAYear) {
    YearSetDialog dialog(services);
    dialog.setBoard(nullptr, 1);
    QStringList messages;
    QLineEdit* year = nullptr;
    script.on("yearSetDialog", [&](QDialog& window) {
        year = control<QLineEdit>(window, controls::date::kYear);
        EXPECT_EQ(year->text(), "0");
        year->selectAll();
        QTest::keyClicks(year, "20x4");
        QTest::mouseClick(control<QPushButton>(window, 1020), Qt::LeftButton);
    });
    script.on("messageBox", [&](QDialog& box) { messages << acknowledge(box); });
    script.on("yearSetDialog", [&](QDialog& window) {
        year->selectAll();
        QTest::keyClicks(year, "2024");
        QTest::keyClick(control<QPushButton>(window, 1020), Qt::Key_Return);
    });
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Ok);
    EXPECT_EQ(messages, QStringList{"Please enter an integer."});
}

} // namespace
} // namespace vorngui::qt
