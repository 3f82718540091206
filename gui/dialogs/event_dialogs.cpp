// Waiting for, flushing and simulating time-tagged events.
#include "event_dialogs.h"

#include "operation_support.h"

namespace vorngui {

EventDialog::EventDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindInt16(controls::event::kDays, m_days, 0, 366);
    fields().bindUInt8(controls::event::kHours, m_hours, 0, 23);
    fields().bindUInt8(controls::event::kMinutes, m_minutes, 0, 59);
    fields().bindDouble(controls::event::kSeconds, m_seconds, 0, 60);
    fields().bindUInt32(controls::event::kTimeout, m_timeout);
}

void EventDialog::onCommand(DialogView& view, int control) {
    if (control == controls::event::kCheck) {
        check(view);
    } else if (control == controls::event::kFlushFifo) {
        flushFifo(view);
    } else {
        Dialog::onCommand(view, control);
    }
}

void EventDialog::clearTime() {
    m_days = 0;
    m_hours = 0;
    m_minutes = 0;
    m_seconds = 0;
}

void EventDialog::check(DialogView& view) {
    // A time-out that did not parse was never entered: nothing waits on it.
    if (!readBack(view)) {
        return;
    }
    const uint32_t waitMs = waitMilliseconds(m_timeout);
    clearTime();
    showFields(view);
    if (demo()) {
        simulateCheck(view, waitMs);
    } else {
        waitOnBoard(view, waitMs);
    }
}

void EventDialog::waitOnBoard(DialogView& view, uint32_t waitMs) {
    EventObj event{};
    event.timeoutMs = waitMs;
    uint8_t result = 0;
    runWithButtonsDisabled(
        view, {controls::event::kCheck, controls::event::kCancel, controls::event::kFlushFifo},
        [&] { result = board().waitEvent(boardHandle(), &event); });
    if (result == VORN_WAIT_TIMEOUT) {
        view.showMessage(kTimeout);
        return;
    }
    if (result == VORN_WAIT_NOT_STARTED) {
        view.showMessage(kNotStarted);
        return;
    }
    m_days = static_cast<int16_t>(event.dayOfYear);
    m_hours = event.hours;
    m_minutes = event.minutes;
    m_seconds = event.seconds;
    showFields(view);
}

// The demonstration board answers every other check with the computer's time and times out on
// the others; a check with no wait always times out and makes the next one answer.
void EventDialog::simulateCheck(DialogView& view, uint32_t waitMs) {
    bool& toggle = services().process.eventToggle;
    if (waitMs == 0) {
        toggle = false;
        view.showMessage(kTimeout);
        return;
    }
    toggle = !toggle;
    if (toggle) {
        const win32::SYSTEMTIME now = services().clock.utcNow();
        m_days = static_cast<int16_t>(dayOfYear(now));
        m_hours = static_cast<uint8_t>(now.wHour);
        m_minutes = static_cast<uint8_t>(now.wMinute);
        m_seconds = now.wSecond + now.wMilliseconds * 0.001;
        showFields(view);
        return;
    }
    const std::initializer_list<int> buttons{controls::event::kCheck, controls::event::kCancel,
                                             controls::event::kFlushFifo};
    setButtonsEnabled(view, buttons, false);
    view.runBlocking([&] { services().clock.sleep(waitMs); });
    view.showMessage(kTimeout);
    setButtonsEnabled(view, buttons, true);
    showFields(view);
}

void EventDialog::flushFifo(DialogView& view) {
    if (demo()) {
        return;
    }
    if (board().flushFIFO(boardHandle()) != 0) {
        view.showMessage(kFlushFailed);
    }
}

void SimulateEventDialog::onCommand(DialogView& view, int control) {
    if (control != controls::simulate_event::kSimulate) {
        Dialog::onCommand(view, control);
        return;
    }
    if (!demo() && board().simEvent(boardHandle()) != 0) {
        view.showMessage(kFailed);
    }
}

} // namespace vorngui
