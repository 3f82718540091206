// The window templates: every one in the resources loads and keeps the house convention; the
// frame's windows carry their captions, ids, texts and read-only fields.
#include "dialog.h"
#include "qt_test_support.h"
#include "resource_ids.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace vorngui::qt {
namespace {

using testing::control;

std::unique_ptr<QDialog> load(int id) {
    QString error;
    std::unique_ptr<QDialog> window = loadTemplate(id, nullptr, &error);
    EXPECT_TRUE(window) << error.toStdString();
    return window;
}

// Lays the window out as it would be shown, without showing it on the screen.
void layOut(QDialog& window) {
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
}

// The class-name endings the convention asks of object names.
QString expectedSuffix(const QWidget& widget) {
    if (qobject_cast<const QLineEdit*>(&widget))
        return QStringLiteral("Edit");
    if (qobject_cast<const QRadioButton*>(&widget))
        return QStringLiteral("RadioButton");
    if (qobject_cast<const QPushButton*>(&widget))
        return QStringLiteral("Button");
    if (qobject_cast<const QAbstractButton*>(&widget))
        return QStringLiteral("CheckBox");
    if (qobject_cast<const QComboBox*>(&widget))
        return QStringLiteral("ComboBox");
    return {};
}

TEST(TemplatesTest, EveryTemplateLoadsAndKeepsTheConvention) {
    const std::vector<int> ids = availableTemplates();
    using namespace templates;
    for (int id : {kAbout,         kMainWindow, kTimeSet,      kTimeRetrieve, kHeartbeatSet,
                   kMatchSet,      kMatchCheck, kDateRetrieve, kYearSet,      kEvent,
                   kSimulateEvent, kSyncCheck,  kPropDelay,    kAltitude,     kLatitude,
                   kBoardSelect,   kSatellite,  kLongitude,    kSyncSetup,    kHeartbeatCheck}) {
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << "template " << id;
    }
    for (int id : ids) {
        SCOPED_TRACE("template " + std::to_string(id));
        std::unique_ptr<QDialog> window = load(id);
        ASSERT_TRUE(window);
        EXPECT_TRUE(window->objectName().endsWith(QStringLiteral("Dialog")));
        EXPECT_TRUE(window->objectName().front().isLower());
        EXPECT_FALSE(window->windowTitle().isEmpty());
        EXPECT_EQ(window->font().family(), QStringLiteral("Sans Serif"));
        EXPECT_EQ(window->font().pointSize(), 8);
        std::set<int> seen;
        for (QWidget* child : window->findChildren<QWidget*>()) {
            const int controlId = controlIdOf(*child);
            if (controlId < 0) {
                continue;
            }
            EXPECT_TRUE(seen.insert(controlId).second) << "id " << controlId << " twice";
            EXPECT_TRUE(child->objectName().endsWith(expectedSuffix(*child)))
                << child->objectName().toStdString();
            if (auto* push = qobject_cast<QPushButton*>(child)) {
                EXPECT_FALSE(push->autoDefault()) << push->objectName().toStdString();
                EXPECT_FALSE(push->isDefault()) << push->objectName().toStdString();
            }
            if (auto* combo = qobject_cast<QComboBox*>(child)) {
                EXPECT_FALSE(combo->isEditable()) << combo->objectName().toStdString();
            }
        }
    }
}

TEST(TemplatesTest, MissingTemplateIsReportedNotCrashed) {
    QString error;
    EXPECT_FALSE(loadTemplate(99, nullptr, &error));
    EXPECT_EQ(error, QStringLiteral("no template 99"));
}

struct Field {
    int id;
    const char* label;
};

// The label beside each field, the group box and the buttons of a time, date or year window.
void expectFields(const QDialog& window, const char* groupTitle,
                  std::initializer_list<Field> fields, bool readOnly) {
    const auto groups = window.findChildren<QGroupBox*>();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups.front()->title(), QString::fromUtf8(groupTitle));
    for (const Field& field : fields) {
        auto* edit = control<QLineEdit>(window, field.id);
        ASSERT_TRUE(edit);
        EXPECT_EQ(edit->isReadOnly(), readOnly) << field.id;
        bool labelled = false;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            labelled = labelled || label->text() == QString::fromUtf8(field.label);
        }
        EXPECT_TRUE(labelled) << field.label;
    }
}

void expectButton(const QDialog& window, int id, const char* text) {
    auto* button = control<QPushButton>(window, id);
    ASSERT_TRUE(button);
    EXPECT_EQ(button->text(), QString::fromUtf8(text));
}

TEST(TemplatesTest, TimeWindowsPutDaysAndHoursAboveMinutesAndSeconds) {
    for (int id : {templates::kTimeRetrieve, templates::kTimeSet}) {
        std::unique_ptr<QDialog> window = load(id);
        ASSERT_TRUE(window);
        const bool retrieve = id == templates::kTimeRetrieve;
        EXPECT_EQ(window->windowTitle(), retrieve ? "RetrieveTime" : "Set Time");
        expectFields(*window, retrieve ? "Retrieve Clock Time" : "Set Clock Time",
                     {{1000, "Days"}, {1003, "Hours"}, {1001, "Minutes"}, {1002, "Seconds"}},
                     retrieve);
        expectButton(*window, 1004, retrieve ? "Retrieve" : "Set");
        expectButton(*window, 1005, "Cancel");

        layOut(*window);
        const auto at = [&](int control) {
            return findControl(*window, control)->mapTo(window.get(), QPoint());
        };
        EXPECT_EQ(at(1000).y(), at(1003).y());
        EXPECT_EQ(at(1001).y(), at(1002).y());
        EXPECT_LT(at(1000).y(), at(1001).y());
        EXPECT_LT(at(1000).x(), at(1003).x());
        EXPECT_LT(at(1001).x(), at(1002).x());
    }
}

TEST(TemplatesTest, DateWindowShowsMonthDayYearLeftToRight) {
    std::unique_ptr<QDialog> window = load(templates::kDateRetrieve);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), "Retrieve Gregorian Date");
    expectFields(*window, "Retrieve Date", {{1015, "Month"}, {1016, "Day"}, {1012, "Year"}}, true);
    expectButton(*window, 1013, "Retrieve");
    expectButton(*window, 1014, "CANCEL");
    layOut(*window);
    const auto x = [&](int control) {
        return findControl(*window, control)->mapTo(window.get(), QPoint()).x();
    };
    EXPECT_LT(x(1015), x(1016));
    EXPECT_LT(x(1016), x(1012));
}

TEST(TemplatesTest, YearWindowHasAnEditableYear) {
    std::unique_ptr<QDialog> window = load(templates::kYearSet);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), "Set Year");
    expectFields(*window, "Set Year", {{1012, "Year"}}, false);
    expectButton(*window, 1020, "Set");
    expectButton(*window, 1014, "Cancel");
}

TEST(TemplatesTest, BoardSelectionOffersFourBoardsAndAName) {
    std::unique_ptr<QDialog> window = load(templates::kBoardSelect);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), "Select Timing Board");
    const auto groups = window->findChildren<QGroupBox*>();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups.front()->title(), "Board Select");
    const std::pair<int, const char*> radios[] = {
        {1027, "VORN/SOLK-PCI"}, {1028, "VORN/SOLK-CPCI"}, {1029, "VORN/SOLK-PC"}, {1034, "DEMO"}};
    for (const auto& [id, text] : radios) {
        auto* radio = control<QRadioButton>(*window, id);
        ASSERT_TRUE(radio);
        EXPECT_EQ(radio->text(), QString::fromUtf8(text));
    }
    auto* name = control<QLineEdit>(*window, 1031);
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->isReadOnly());
    expectButton(*window, 1004, "OK");
    EXPECT_EQ(window->findChildren<QPushButton*>().size(), 1) << "no cancel button";
    QStringList labels;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        labels << label->text();
    }
    EXPECT_TRUE(labels.contains("Select the timing board product to control."));
    EXPECT_TRUE(labels.contains("Device Name:"));
}

// The colour inside an edit's frame, away from its text: what the operator sees behind it.
QColor insideColour(QLineEdit& edit) {
    edit.clear();
    const QImage image = edit.grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

TEST(TemplatesTest, ReadOnlyEditsShowTheWindowColourAndEditableOnesTheBase) {
    int readOnlySeen = 0;
    for (int id : availableTemplates()) {
        std::unique_ptr<QDialog> window = load(id);
        ASSERT_TRUE(window);
        layOut(*window);
        for (QLineEdit* edit : window->findChildren<QLineEdit*>()) {
            const QPalette& colours = edit->palette();
            const QColor expected =
                colours.color(edit->isReadOnly() ? QPalette::Window : QPalette::Base);
            EXPECT_EQ(insideColour(*edit), expected)
                << "template " << id << ", edit " << controlIdOf(*edit);
            readOnlySeen += edit->isReadOnly() ? 1 : 0;
        }
    }
    // Event, retrieve and About windows have them; an empty list would prove nothing.
    EXPECT_GE(readOnlySeen, 10);
    EXPECT_NE(QApplication::palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Base));
}

TEST(TemplatesTest, AboutListsDriverFpgaFirmwareTopToBottom) {
    std::unique_ptr<QDialog> window = load(templates::kAbout);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), "VORN/SOLK Control Utility");
    EXPECT_TRUE(window->findChildren<QGroupBox*>().isEmpty());
    QStringList labels;
    bool iconShown = false;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        labels << label->text();
        iconShown = iconShown || !label->pixmap().isNull();
    }
    EXPECT_TRUE(iconShown);
    EXPECT_TRUE(labels.contains("VORN/SOLK Control Utility Version 1.400"));
    for (const char* text : {"Driver Version:", "FPGA Version:", "Firmware Version:"}) {
        EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
    }
    for (int id : {1017, 1018, 1016}) {
        auto* edit = control<QLineEdit>(*window, id);
        ASSERT_TRUE(edit);
        EXPECT_TRUE(edit->isReadOnly());
    }
    layOut(*window);
    const auto y = [&](int control) {
        return findControl(*window, control)->mapTo(window.get(), QPoint()).y();
    };
    EXPECT_LT(y(1017), y(1018));
    EXPECT_LT(y(1018), y(1016));
    expectButton(*window, controls::kOk, "OK");
}

} // namespace
} // namespace vorngui::qt
