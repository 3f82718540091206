// The main window: its caption, size in dialog units, menu bar, picture, icon and About entry;
// and the main dialog run in it over faked services, from the board selection to the end.
#include "art.h"
#include "main_dialog.h"
#include "main_window.h"
#include "qt_test_support.h"
#include "resource_ids.h"
#include "runner_fixture.h"
#include "time_dialogs.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

namespace vorngui::qt {
namespace {

struct MainWindowTest : ::testing::Test {
    MainWindowTest() {
        window = loadTemplate(templates::kMainWindow);
        furnishMainWindow(
            *window, [this](int command) { commandsSent.push_back(command); },
            [this] { ++aboutRequests; });
        window->adjustSize();
    }
    std::unique_ptr<QDialog> window;
    std::vector<int> commandsSent;
    int aboutRequests = 0;
};

TEST_F(MainWindowTest, CaptionIconAndPictureArea) {
    EXPECT_EQ(window->windowTitle(), "VORN/SOLK Control Utility");
    const QIcon icon = window->windowIcon();
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

    auto* picture = window->findChild<QWidget*>(QStringLiteral("pictureArea"));
    ASSERT_TRUE(picture);
    const QFontMetrics metrics(window->font());
    // 325 x 271 dialog units, or wider where the menus need it.
    EXPECT_GE(picture->width(), 325 * metrics.averageCharWidth() / 4);
    EXPECT_EQ(picture->height(), 271 * metrics.height() / 8);
    EXPECT_EQ(dialogUnitsToPixels(window->font(), 4, 8),
              QSize(metrics.averageCharWidth(), metrics.height()));
}

TEST_F(MainWindowTest, PictureIsIndexedEightBitsAtItsSize) {
    const QImage picture = mainPicture();
    EXPECT_EQ(picture.size(), QSize(resources::kPictureWidth, resources::kPictureHeight));
    EXPECT_EQ(picture.depth(), 8);
    EXPECT_EQ(picture.format(), QImage::Format_Indexed8);

    // Drawn unscaled at the client area's top-left corner.
    auto* area = window->findChild<QWidget*>(QStringLiteral("pictureArea"));
    ASSERT_TRUE(area);
    const QImage shown = area->grab().toImage();
    for (const QPoint point : {QPoint(0, 0), QPoint(100, 300), QPoint(330, 140)}) {
        if (point.x() < shown.width() && point.y() < shown.height()) {
            EXPECT_EQ(shown.pixelColor(point).rgb(), picture.pixelColor(point).rgb())
                << point.x() << "," << point.y();
        }
    }
}

TEST_F(MainWindowTest, AreaBeyondThePictureShowsItsBackground) {
    auto* area = window->findChild<QWidget*>(QStringLiteral("pictureArea"));
    ASSERT_TRUE(area);
    // However much the menus or the font widen the window.
    area->setFixedSize(resources::kPictureWidth + 60, resources::kPictureHeight + 40);
    const QImage shown = area->grab().toImage();
    const QColor background = mainPicture().pixelColor(0, 0);
    for (const QPoint point :
         {QPoint(resources::kPictureWidth + 5, 10),
          QPoint(resources::kPictureWidth + 59, resources::kPictureHeight + 39),
          QPoint(200, resources::kPictureHeight + 20)}) {
        EXPECT_EQ(shown.pixelColor(point), background) << point.x() << "," << point.y();
    }
}

TEST_F(MainWindowTest, EveryMenuShowsOnTheBarWithoutAnOverflowButton) {
    window->show();
    auto* bar = window->findChild<QMenuBar*>();
    ASSERT_TRUE(bar);
    ASSERT_EQ(bar->actions().size(), 10);
    for (QAction* top : bar->actions()) {
        const QRect place = bar->actionGeometry(top);
        EXPECT_FALSE(place.isEmpty()) << top->text().toStdString();
        EXPECT_LE(place.right(), bar->width()) << top->text().toStdString();
    }
    window->hide();
}

TEST_F(MainWindowTest, MenuBarCarriesEveryCommandWithItsMnemonic) {
    auto* bar = window->findChild<QMenuBar*>();
    ASSERT_TRUE(bar);
    QStringList titles;
    std::map<int, QString> items;
    for (QAction* top : bar->actions()) {
        titles << top->text();
        for (QAction* action : top->menu()->actions()) {
            items[action->data().toInt()] = top->text() + " > " + action->text();
        }
    }
    EXPECT_EQ(titles, (QStringList{"&File", "&Time Info", "&Heartbeat", "&Match", "&Date",
                                   "&Events", "&Sync", "&Propagation", "Sate&llite", "Hel&p"}));
    const std::map<int, QString> expected = {
        {32771, "&File > E&xit"},
        {32772, "&Time Info > &Retrieve"},
        {32773, "&Time Info > &Set"},
        {32774, "&Heartbeat > &Set"},
        {32792, "&Heartbeat > &Check for Interrupt"},
        {32775, "&Match > &Check For Match"},
        {32776, "&Match > &Set Match Time"},
        {32778, "&Date > &Set Year"},
        {32779, "&Date > &Retrieve Gregorian Date"},
        {32780, "&Events > &Simulate Time Tag"},
        {32781, "&Events > &Check For Event"},
        {32785, "&Sync > S&tatus"},
        {32791, "&Sync > &Control"},
        {32786, "&Propagation > &Set Delay Correction Factor"},
        {32787, "Sate&llite > Retrieve &Altitude"},
        {32788, "Sate&llite > Retrieve &Latitude"},
        {32789, "Sate&llite > Retrieve Lon&gitude"},
        {32790, "Sate&llite > Retrieve &Satellite Info"},
        {32777, "Hel&p > A&bout"},
    };
    EXPECT_EQ(items, expected);

    for (QAction* top : bar->actions()) {
        for (QAction* action : top->menu()->actions()) {
            action->trigger();
        }
    }
    std::vector<int> inOrder;
    for (const MenuPopup& popup : MainDialog::menuBar()) {
        for (const MenuItem& item : popup.items) {
            inOrder.push_back(item.command);
        }
    }
    EXPECT_EQ(commandsSent, inOrder);
}

TEST_F(MainWindowTest, ContextMenuOffersTheAboutEntry) {
    auto* area = window->findChild<QWidget*>(QStringLiteral("pictureArea"));
    ASSERT_TRUE(area);
    EXPECT_EQ(area->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(area->actions().size(), 1);
    QAction* about = area->actions().front();
    EXPECT_EQ(about->text(), "&About vornGui...");
    EXPECT_EQ(about->data().toInt(), commands::kSystemAbout);
    about->trigger();
    EXPECT_EQ(aboutRequests, 1);
    EXPECT_TRUE(commandsSent.empty());
}

using ::testing::_;
using testing::acknowledge;
using testing::control;
using ::testing::Return;

class MainWindowRunTest : public RunnerFixture {};

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

TEST_F(MainWindowRunTest, DemonstrationBoardThroughTheMenusAndOut) {
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

TEST_F(MainWindowRunTest, FailedOpenShowsItsMessageAndNeverShowsTheMainWindow) {
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

} // namespace
} // namespace vorngui::qt
