// The operation dialogs' window templates: captions, group boxes, fixed texts and labels, and
// for every control the dialog logic drives, a control of the right class under the same id.
#include "event_dialogs.h"
#include "heartbeat_match_dialogs.h"
#include "position_dialogs.h"
#include "qt_test_support.h"
#include "sync_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorngui::qt {
namespace {

enum class Kind { Edit, ReadOnlyEdit, Check, List, Button };

struct ControlExpectation {
    int id;
    Kind kind;
    const char* text; // button and check-box texts; null for others
};

struct TemplateExpectation {
    int templateId;
    const char* caption;
    const char* groupTitle;
    std::vector<const char*> labels; // fixed texts and labels
    std::vector<ControlExpectation> controls;
};

const char* const kEventText = "The Days, Hours, Minutes, and Seconds fields will be updated when "
                               "an external Time Tag event or simulated Time Tag event occurs.";
const char* const kHeartbeatText = "The Heartbeat checkbox will be checked if a heartbeat "
                                   "interrupt has occured within the specified timeout period.";
const char* const kMatchText =
    "The Match checkbox will be checked if a match has occured.  If the checkbox does not "
    "contain a check, the match condition has not yet been met.";
const char* const kSyncText =
    "The synchronization checkbox will be checked if the clock is sychronized with either "
    "timecode or GPS.  If the checkbox does not contain a check, the clock is freewheeling.";

std::vector<TemplateExpectation> expectations() {
    using P = PositionDialog;
    const std::vector<ControlExpectation> retrieve = {{P::kIdRetrieve, Kind::Button, "Retrieve"},
                                                      {P::kIdCancel, Kind::Button, "Cancel"}};
    auto with = [](std::vector<ControlExpectation> a, const std::vector<ControlExpectation>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    using E = EventDialog;
    using I = InterruptCheckDialog;
    using H = HeartbeatSetDialog;
    using M = MatchSetDialog;
    return {
        {AltitudeDialog::kTemplateId,
         "Retrieve Altitude",
         "Retrieve Altitude",
         {"Altitude", "[meters]"},
         with({{AltitudeDialog::kIdAltitude, Kind::ReadOnlyEdit, nullptr}}, retrieve)},
        {LatitudeDialog::kTemplateId,
         "Retrieve Latitude",
         "Retrieve Latitude",
         {"Degrees", "Minutes"},
         with({{ArcDialog::kIdDegrees, Kind::ReadOnlyEdit, nullptr},
               {ArcDialog::kIdMinutes, Kind::ReadOnlyEdit, nullptr}},
              retrieve)},
        {LongitudeDialog::kTemplateId,
         "Retrieve Longitude",
         "Retrieve Longitude",
         {"Degrees", "Minutes"},
         with({{ArcDialog::kIdDegrees, Kind::ReadOnlyEdit, nullptr},
               {ArcDialog::kIdMinutes, Kind::ReadOnlyEdit, nullptr}},
              retrieve)},
        {SatelliteDialog::kTemplateId,
         "Retrieve Satellite Information",
         "Retrieve Satellite Info",
         {"Satellites Tracked"},
         with({{SatelliteDialog::kIdSatellites, Kind::ReadOnlyEdit, nullptr}}, retrieve)},
        {E::kTemplateId,
         "Get Time Tag Event",
         "Get Time Tag Event",
         {kEventText, "Days", "Hours", "Minutes", "Seconds", "Timeout", "(Seconds)"},
         {{E::kIdDays, Kind::ReadOnlyEdit, nullptr},
          {E::kIdHours, Kind::ReadOnlyEdit, nullptr},
          {E::kIdMinutes, Kind::ReadOnlyEdit, nullptr},
          {E::kIdSeconds, Kind::ReadOnlyEdit, nullptr},
          {E::kIdTimeout, Kind::Edit, nullptr},
          {E::kIdFlushFifo, Kind::Button, "Flush FIFO"},
          {E::kIdCheck, Kind::Button, "Check"},
          {E::kIdCancel, Kind::Button, "Cancel"}}},
        {SimulateEventDialog::kTemplateId,
         "Simulate Time Tag Event",
         "SimulateTime Tag Event",
         {},
         {{SimulateEventDialog::kIdSimulate, Kind::Button, "Simulate"},
          {SimulateEventDialog::kIdCancel, Kind::Button, "Cancel"}}},
        {H::kTemplateId,
         "Set Heartbeat",
         "Set Heartbeat Parameters",
         {"Heartbeat Type", "Start Option", "Frequency"},
         {{H::kIdType, Kind::List, nullptr},
          {H::kIdStart, Kind::List, nullptr},
          {H::kIdFrequency, Kind::Edit, nullptr},
          {H::kIdSet, Kind::Button, "Set"},
          {H::kIdCancel, Kind::Button, "Cancel"}}},
        {HeartbeatCheckDialog::kTemplateId,
         "Get Heartbeat Event",
         "Check For Heartbeat Interrupt",
         {kHeartbeatText},
         {{HeartbeatCheckDialog::kIdHeartbeat, Kind::Check, "Heartbeat"},
          {I::kIdTimeout, Kind::Edit, nullptr},
          {I::kIdCheck, Kind::Button, "Check"},
          {I::kIdCancel, Kind::Button, "Cancel"}}},
        {M::kTemplateId,
         "Set Match Time",
         "Set Match Time",
         {"Match Type", "Days", "Hours", "Minutes", "Seconds"},
         {{M::kIdType, Kind::List, nullptr},
          {M::kIdSeconds, Kind::Edit, nullptr},
          {M::kIdDays, Kind::Edit, nullptr},
          {M::kIdHours, Kind::Edit, nullptr},
          {M::kIdMinutes, Kind::Edit, nullptr},
          {M::kIdSet, Kind::Button, "Set"},
          {M::kIdCancel, Kind::Button, "Cancel"}}},
        {MatchCheckDialog::kTemplateId,
         "Check For Match Time",
         "Check For Match",
         {kMatchText},
         {{MatchCheckDialog::kIdMatch, Kind::Check, "Match Condition"},
          {I::kIdTimeout, Kind::Edit, nullptr},
          {I::kIdCheck, Kind::Button, "Check"},
          {I::kIdCancel, Kind::Button, "Cancel"}}},
        {SyncCheckDialog::kTemplateId,
         "Synchronization Check",
         "Synchronization Check",
         {kSyncText},
         {{SyncCheckDialog::kIdSynchronized, Kind::Check, "Synchronized"},
          {SyncCheckDialog::kIdCheck, Kind::Button, "Check"},
          {SyncCheckDialog::kIdCancel, Kind::Button, "Cancel"}}},
        {SyncSetupDialog::kTemplateId,
         "Synchronization Setup",
         "Synchronization Setup",
         {"Synchronization"},
         {{SyncSetupDialog::kIdControl, Kind::List, nullptr},
          {SyncSetupDialog::kIdSet, Kind::Button, "Set"},
          {SyncSetupDialog::kIdCancel, Kind::Button, "Cancel"}}},
        {PropDelayDialog::kTemplateId,
         "Set Propagation Delay Correction",
         "Propagation Delay Correction",
         {"Correction", "[microseconds]"},
         {{PropDelayDialog::kIdCorrection, Kind::Edit, nullptr},
          {PropDelayDialog::kIdSet, Kind::Button, "Set"},
          {PropDelayDialog::kIdCancel, Kind::Button, "Cancel"}}},
    };
}

void expectControl(const QDialog& window, const ControlExpectation& expected) {
    SCOPED_TRACE("control " + std::to_string(expected.id));
    switch (expected.kind) {
    case Kind::Edit:
    case Kind::ReadOnlyEdit:
        if (auto* edit = testing::control<QLineEdit>(window, expected.id)) {
            EXPECT_EQ(edit->isReadOnly(), expected.kind == Kind::ReadOnlyEdit);
        }
        break;
    case Kind::Check:
        if (auto* box = testing::control<QCheckBox>(window, expected.id)) {
            EXPECT_EQ(box->text(), QString::fromUtf8(expected.text));
        }
        break;
    case Kind::List:
        if (auto* list = testing::control<QComboBox>(window, expected.id)) {
            EXPECT_FALSE(list->isEditable());
        }
        break;
    case Kind::Button:
        if (auto* button = testing::control<QPushButton>(window, expected.id)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(expected.text));
        }
        break;
    }
}

TEST(OperationTemplates, CaptionsGroupsTextsAndControls) {
    for (const TemplateExpectation& expected : expectations()) {
        SCOPED_TRACE("template " + std::to_string(expected.templateId));
        QString error;
        std::unique_ptr<QDialog> window = loadTemplate(expected.templateId, nullptr, &error);
        ASSERT_TRUE(window) << error.toStdString();
        EXPECT_EQ(window->windowTitle(), QString::fromUtf8(expected.caption));
        const QList<QGroupBox*> groups = window->findChildren<QGroupBox*>();
        ASSERT_EQ(groups.size(), 1);
        EXPECT_EQ(groups.front()->title(), QString::fromUtf8(expected.groupTitle));
        QStringList labels;
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            labels << label->text();
        }
        for (const char* text : expected.labels) {
            EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
        }
        int withIds = 0;
        for (const QWidget* child : window->findChildren<QWidget*>()) {
            withIds += controlIdOf(*child) >= 0 ? 1 : 0;
        }
        EXPECT_EQ(withIds, static_cast<int>(expected.controls.size())) << "no stray ids";
        for (const ControlExpectation& control : expected.controls) {
            expectControl(*window, control);
        }
    }
}

TEST(OperationTemplates, LongFixedTextsWrap) {
    for (const int id : {EventDialog::kTemplateId, HeartbeatCheckDialog::kTemplateId,
                         MatchCheckDialog::kTemplateId, SyncCheckDialog::kTemplateId}) {
        std::unique_ptr<QDialog> window = loadTemplate(id);
        ASSERT_TRUE(window) << id;
        bool wrapped = false;
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            wrapped = wrapped || (label->text().size() > 80 && label->wordWrap());
        }
        EXPECT_TRUE(wrapped) << id;
    }
}

} // namespace
} // namespace vorngui::qt
