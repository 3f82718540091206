// Heartbeat and match programming, and the waits for their interrupts.
#include "heartbeat_match_dialogs.h"

#include "operation_support.h"

namespace vorngui {
namespace {

// Models whose heartbeat takes no type or start choice: they are sent start 0, mode 4.
bool fixedHeartbeatModel(BoardHandle handle) {
    return handle != nullptr && (handle->modelCode == 0x7000 || handle->modelCode == 0x7100);
}

constexpr uint8_t kModePulse = 0xE5;
constexpr uint8_t kModeSquare = 0xE7;
constexpr uint8_t kModeFixed = 4;

} // namespace

InterruptCheckDialog::InterruptCheckDialog(int templateId, int seenControl,
                                           const Services& services)
    : Dialog(templateId, services) {
    fields().bindCheck(seenControl, m_seen);
    fields().bindUInt32(controls::interrupt_check::kTimeout, m_timeout);
}

void InterruptCheckDialog::onCommand(DialogView& view, int control) {
    if (control == controls::interrupt_check::kCheck) {
        check(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void InterruptCheckDialog::check(DialogView& view) {
    // A time-out that did not parse was never entered: nothing waits on it.
    if (!readBack(view)) {
        return;
    }
    const uint32_t waitMs = waitMilliseconds(m_timeout);
    m_seen = 0;
    showFields(view);
    if (demo()) {
        simulateCheck(view, waitMs);
    } else {
        checkOnBoard(view, waitMs);
    }
}

void InterruptCheckDialog::checkOnBoard(DialogView& view, uint32_t waitMs) {
    uint8_t result = 0;
    runWithButtonsDisabled(
        view, {controls::interrupt_check::kCheck, controls::interrupt_check::kCancel}, [&] {
            uint32_t timeout = waitMs;
            result = waitOnBoard(&timeout);
        });
    if (result == VORN_WAIT_TIMEOUT) {
        view.showMessage(timeoutMessage());
    } else if (result == VORN_WAIT_NOT_STARTED) {
        view.showMessage(notStartedMessage());
    } else {
        m_seen = 1;
        showFields(view);
    }
}

// The demonstration board answers every other check at once and lets the others time out; a
// check with no wait always times out and makes the next one answer.
void InterruptCheckDialog::simulateCheck(DialogView& view, uint32_t waitMs) {
    bool& toggle = demoToggle();
    if (waitMs == 0) {
        toggle = false;
        view.showMessage(timeoutMessage());
        showFields(view);
        return;
    }
    toggle = !toggle;
    m_seen = toggle ? 1 : 0;
    if (!toggle) {
        runWithButtonsDisabled(
            view, {controls::interrupt_check::kCheck, controls::interrupt_check::kCancel},
            [&] { services().clock.sleep(waitMs); });
        view.showMessage(timeoutMessage());
    }
    showFields(view);
}

uint8_t HeartbeatCheckDialog::waitOnBoard(uint32_t* waitMs) {
    return board().waitHeartbeat(boardHandle(), waitMs);
}

uint8_t MatchCheckDialog::waitOnBoard(uint32_t* waitMs) {
    return board().waitMatch(boardHandle(), waitMs);
}

HeartbeatSetDialog::HeartbeatSetDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindListPosition(controls::heartbeat_set::kType, m_type);
    fields().bindListPosition(controls::heartbeat_set::kStart, m_start);
    fields().bindDouble(controls::heartbeat_set::kFrequency, m_frequency);
}

void HeartbeatSetDialog::onInitDialog(DialogView& view) {
    view.setListItems(controls::heartbeat_set::kType, {"Pulse", "Square"});
    view.setListItems(controls::heartbeat_set::kStart, {"Immediately", "Next Cycle"});
    showFields(view);
}

void HeartbeatSetDialog::onCommand(DialogView& view, int control) {
    if (control == controls::heartbeat_set::kSet) {
        set(view);
    } else if (control == controls::heartbeat_set::kCancel) {
        acceptPath(view);
    }
}

void HeartbeatSetDialog::set(DialogView& view) {
    if (demo()) {
        acceptPath(view);
        return;
    }
    // A frequency that did not parse was never entered: nothing is sent.
    if (!readBack(view)) {
        return;
    }
    if (m_type != kPulse && m_type != kSquare) {
        view.showMessage(kInvalidType);
        return;
    }
    if (m_start != kImmediately && m_start != kNextCycle) {
        view.showMessage(kInvalidStart);
        return;
    }
    HeartObj heartbeat{};
    heartbeat.mode = m_type == kPulse ? kModePulse : kModeSquare;
    heartbeat.start = m_start == kImmediately ? 1 : 0;
    heartbeat.frequency = m_frequency;
    if (fixedHeartbeatModel(boardHandle())) {
        heartbeat.start = 0;
        heartbeat.mode = kModeFixed;
        heartbeat.thirdByte = 0;
    }
    if (board().setHeartbeat(boardHandle(), &heartbeat) != 0) {
        view.showMessage(kRefused);
        return;
    }
    acceptPath(view);
}

MatchSetDialog::MatchSetDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindListPosition(controls::match_set::kType, m_type);
    fields().bindDouble(controls::match_set::kSeconds, m_seconds);
    fields().bindInt16(controls::match_set::kDays, m_days);
    fields().bindUInt8(controls::match_set::kHours, m_hours);
    fields().bindUInt8(controls::match_set::kMinutes, m_minutes);
}

void MatchSetDialog::onInitDialog(DialogView& view) {
    view.setListItems(controls::match_set::kType, {"Start", "Stop"});
    showFields(view);
    if (!prefill(view)) {
        return;
    }
    m_type = kStart;
    showFields(view);
}

bool MatchSetDialog::prefill(DialogView& view) {
    const auto reading = readStartTime(services(), boardHandle(), demo(), view);
    if (!reading) {
        return false;
    }
    m_days = reading->days;
    m_hours = reading->hours;
    m_minutes = reading->minutes;
    m_seconds = wholeSeconds(reading->seconds);
    return true;
}

void MatchSetDialog::onCommand(DialogView& view, int control) {
    if (control == controls::match_set::kSet) {
        set(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void MatchSetDialog::set(DialogView& view) {
    if (demo()) {
        acceptPath(view);
        return;
    }
    // A time that did not parse was never entered: the match time is left as it was.
    if (!readBack(view)) {
        return;
    }
    if (m_type != kStart && m_type != kStop) {
        view.showMessage(kInvalidType);
        return;
    }
    MatchObj match{};
    match.type = m_type == kStart ? 0 : 1;
    match.seconds = m_seconds;
    match.minutes = m_minutes;
    match.hours = m_hours;
    match.dayOfYear = static_cast<uint16_t>(m_days);
    if (board().setMatchTime(boardHandle(), &match) != 0) {
        view.showMessage(kRefused);
        return;
    }
    acceptPath(view);
}

} // namespace vorngui
