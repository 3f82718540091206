// The time-tag event dialogs: "Get Time Tag Event" waits for the next tagged event (or simulates
// one on the demonstration board) and flushes the FIFO; "Simulate Time Tag Event" has the board
// tag one.
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <cstdint>

namespace vorngui {

class EventDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kEvent;

    static constexpr const char* kTimeout = "Event Timeout!!";
    static constexpr const char* kNotStarted = "Cannot wait for event!!";
    static constexpr const char* kFlushFailed = "Cannot Flush FIFO!!";

    explicit EventDialog(const Services& services);
    void onCommand(DialogView& view, int control) override;

private:
    void check(DialogView& view);
    void waitOnBoard(DialogView& view, uint32_t waitMs);
    void simulateCheck(DialogView& view, uint32_t waitMs);
    void flushFifo(DialogView& view);
    void clearTime();

    int16_t m_days = 0;
    uint8_t m_hours = 0;
    uint8_t m_minutes = 0;
    double m_seconds = 0;
    uint32_t m_timeout = 0;
};

class SimulateEventDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kSimulateEvent;
    static constexpr const char* kFailed = "Could not simulate time tag!!";

    explicit SimulateEventDialog(const Services& services) : Dialog(kTemplateId, services) {}
    void onCommand(DialogView& view, int control) override;
};

} // namespace vorngui
