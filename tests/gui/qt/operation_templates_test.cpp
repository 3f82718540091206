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
    const std::vector<ControlExpectation> retrieve = {
        {controls::position::kRetrieve, Kind::Button, "Retrieve"},
        {controls::position::kCancel, Kind::Button, "Cancel"}};
    auto with = [](std::vector<ControlExpectation> a, const std::vector<ControlExpectation>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    using E = EventDialog;
    using H = HeartbeatSetDialog;
    using M = MatchSetDialog;
    return {
        {AltitudeDialog::kTemplateId,
         "Retrieve Altitude",
         "Retrieve Altitude",
         {"Altitude", "[meters]"},
         with({{controls::position::kAltitude, Kind::ReadOnlyEdit, nullptr}}, retrieve)},
        {LatitudeDialog::kTemplateId,
         "Retrieve Latitude",
         "Retrieve Latitude",
         {"Degrees", "Minutes"},
         with({{controls::position::kDegrees, Kind::ReadOnlyEdit, nullptr},
               {controls::position::kMinutes, Kind::ReadOnlyEdit, nullptr}},
              retrieve)},
        {LongitudeDialog::kTemplateId,
         "Retrieve Longitude",
         "Retrieve Longitude",
         {"Degrees", "Minutes"},
         with({{controls::position::kDegrees, Kind::ReadOnlyEdit, nullptr},
               {controls::position::kMinutes, Kind::ReadOnlyEdit, nullptr}},
              retrieve)},
        {SatelliteDialog::kTemplateId,
         "Retrieve Satellite Information",
         "Retrieve Satellite Info",
         {"Satellites Tracked"},
         with({{controls::position::kSatellites, Kind::ReadOnlyEdit, nullptr}}, retrieve)},
        {E::kTemplateId,
         "Get Time Tag Event",
         "Get Time Tag Event",
         {kEventText, "Days", "Hours", "Minutes", "Seconds", "Timeout", "(Seconds)"},
         {{controls::event::kDays, Kind::ReadOnlyEdit, nullptr},
          {controls::event::kHours, Kind::ReadOnlyEdit, nullptr},
          {controls::event::kMinutes, Kind::ReadOnlyEdit, nullptr},
          {controls::event::kSeconds, Kind::ReadOnlyEdit, nullptr},
          {controls::event::kTimeout, Kind::Edit, nullptr},
          {controls::event::kFlushFifo, Kind::Button, "Flush FIFO"},
          {controls::event::kCheck, Kind::Button, "Check"},
          {controls::event::kCancel, Kind::Button, "Cancel"}}},
        {SimulateEventDialog::kTemplateId,
         "Simulate Time Tag Event",
         "SimulateTime Tag Event",
         {},
         {{controls::simulate_event::kSimulate, Kind::Button, "Simulate"},
          {controls::simulate_event::kCancel, Kind::Button, "Cancel"}}},
        {H::kTemplateId,
         "Set Heartbeat",
         "Set Heartbeat Parameters",
         {"Heartbeat Type", "Start Option", "Frequency"},
         {{controls::heartbeat_set::kType, Kind::List, nullptr},
          {controls::heartbeat_set::kStart, Kind::List, nullptr},
          {controls::heartbeat_set::kFrequency, Kind::Edit, nullptr},
          {controls::heartbeat_set::kSet, Kind::Button, "Set"},
          {controls::heartbeat_set::kCancel, Kind::Button, "Cancel"}}},
        {HeartbeatCheckDialog::kTemplateId,
         "Get Heartbeat Event",
         "Check For Heartbeat Interrupt",
         {kHeartbeatText},
         {{controls::interrupt_check::kHeartbeat, Kind::Check, "Heartbeat"},
          {controls::interrupt_check::kTimeout, Kind::Edit, nullptr},
          {controls::interrupt_check::kCheck, Kind::Button, "Check"},
          {controls::interrupt_check::kCancel, Kind::Button, "Cancel"}}},
        {M::kTemplateId,
         "Set Match Time",
         "Set Match Time",
         {"Match Type", "Days", "Hours", "Minutes", "Seconds"},
         {{controls::match_set::kType, Kind::List, nullptr},
          {controls::match_set::kSeconds, Kind::Edit, nullptr},
          {controls::match_set::kDays, Kind::Edit, nullptr},
          {controls::match_set::kHours, Kind::Edit, nullptr},
          {controls::match_set::kMinutes, Kind::Edit, nullptr},
          {controls::match_set::kSet, Kind::Button, "Set"},
          {controls::match_set::kCancel, Kind::Button, "Cancel"}}},
        {MatchCheckDialog::kTemplateId,
         "Check For Match Time",
         "Check For Match",
         {kMatchText},
         {{controls::interrupt_check::kMatch, Kind::Check, "Match Condition"},
          {controls::interrupt_check::kTimeout, Kind::Edit, nullptr},
          {controls::interrupt_check::kCheck, Kind::Button, "Check"},
          {controls::interrupt_check::kCancel, Kind::Button, "Cancel"}}},
        {SyncCheckDialog::kTemplateId,
         "Synchronization Check",
         "Synchronization Check",
         {kSyncText},
         {{controls::sync_check::kSynchronized, Kind::Check, "Synchronized"},
          {controls::sync_check::kCheck, Kind::Button, "Check"},
          {controls::sync_check::kCancel, Kind::Button, "Cancel"}}},
        {SyncSetupDialog::kTemplateId,
         "Synchronization Setup",
         "Synchronization Setup",
         {"Synchronization"},
         {{controls::sync_setup::kControl, Kind::List, nullptr},
          {controls::sync_setup::kSet, Kind::Button, "Set"},
          {controls::sync_setup::kCancel, Kind::Button, "Cancel"}}},
        {PropDelayDialog::kTemplateId,
         "Set Propagation Delay Correction",
         "Propagation Delay Correction",
         {"Correction", "[microseconds]"},
         {{controls::prop_delay::kCorrection, Kind::Edit, nullptr},
          {controls::prop_delay::kSet, Kind::Button, "Set"},
          {controls::prop_delay::kCancel, Kind::Button, "Cancel"}}},
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

TEST(OperationTemplatesTest, CaptionsGroupsTextsAndControls) {
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

TEST(OperationTemplatesTest, LongFixedTextsWrap) {
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
