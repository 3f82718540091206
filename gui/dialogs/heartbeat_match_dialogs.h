// The heartbeat and match dialogs: programming the periodic heartbeat and the match time, and
// waiting for either interrupt with a time-out (simulated on the demonstration board).
#pragma once

#include "dialog.h"
#include "resource_ids.h"
#include "time_reading.h"

#include <cstdint>

namespace vorngui {

// "Check" for one interrupt source: a check box ticked when the interrupt came within the
// time-out (edit 1032). "Check" is 1011, "Cancel" 1005.
class InterruptCheckDialog : public Dialog {
public:
    void onCommand(DialogView& view, int control) override;
    int seen() const { return m_seen; }

protected:
    InterruptCheckDialog(int templateId, int seenControl, const Services& services);

    // The run-wide demonstration toggle of this source.
    virtual bool& demoToggle() const = 0;
    virtual uint8_t waitOnBoard(uint32_t* waitMs) = 0;
    virtual const char* timeoutMessage() const = 0;
    virtual const char* notStartedMessage() const = 0;

private:
    void check(DialogView& view);
    void checkOnBoard(DialogView& view, uint32_t waitMs);
    void simulateCheck(DialogView& view, uint32_t waitMs);

    int m_seen = 0;
    uint32_t m_timeout = 0;
};

class HeartbeatCheckDialog : public InterruptCheckDialog {
public:
    static constexpr int kTemplateId = templates::kHeartbeatCheck;
    static constexpr const char* kTimeout = "Heartbeat Interrupt Timeout!!";
    static constexpr const char* kNotStarted = "Could Not Wait for Heartbeat Interrupt!!";

    explicit HeartbeatCheckDialog(const Services& services)
        : InterruptCheckDialog(kTemplateId, controls::interrupt_check::kHeartbeat, services) {}

protected:
    bool& demoToggle() const override { return services().process.heartbeatToggle; }
    uint8_t waitOnBoard(uint32_t* waitMs) override;
    const char* timeoutMessage() const override { return kTimeout; }
    const char* notStartedMessage() const override { return kNotStarted; }
};

class MatchCheckDialog : public InterruptCheckDialog {
public:
    static constexpr int kTemplateId = templates::kMatchCheck;
    static constexpr const char* kTimeout = "Match Timeout!!";
    static constexpr const char* kNotStarted = "Could Not Wait for Match Time!!";

    explicit MatchCheckDialog(const Services& services)
        : InterruptCheckDialog(kTemplateId, controls::interrupt_check::kMatch, services) {}

protected:
    bool& demoToggle() const override { return services().process.matchToggle; }
    uint8_t waitOnBoard(uint32_t* waitMs) override;
    const char* timeoutMessage() const override { return kTimeout; }
    const char* notStartedMessage() const override { return kNotStarted; }
};

class HeartbeatSetDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kHeartbeatSet;

    // Positions in the sorted lists.
    static constexpr int kPulse = 0;
    static constexpr int kSquare = 1;
    static constexpr int kImmediately = 0;
    static constexpr int kNextCycle = 1;

    static constexpr const char* kInvalidType = "Invalid Heartbeat Type!!";
    static constexpr const char* kInvalidStart = "Invalid Start Type!!";
    static constexpr const char* kRefused = "Invalid Frequency value!!";

    explicit HeartbeatSetDialog(const Services& services);
    void onInitDialog(DialogView& view) override;
    // "Set" (1004) sets; "Cancel" (1009) takes the accept path; the frequency edit shares id 1005
    // with the usual "Cancel" and sends nothing.
    void onCommand(DialogView& view, int control) override;
    // Return runs "Set" and nothing more.
    void onEnterKey(DialogView& view) override { set(view); }

private:
    void set(DialogView& view);

    int m_type = kPulse;
    int m_start = kImmediately;
    double m_frequency = 0;
};

class MatchSetDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kMatchSet;

    static constexpr int kStart = 0;
    static constexpr int kStop = 1;

    static constexpr const char* kNoTime = kGetTimeFailedMessage;
    static constexpr const char* kInvalidType = "Invalid Match Type!!";
    static constexpr const char* kRefused = "Could not set match time!!";

    explicit MatchSetDialog(const Services& services);
    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;
    void onEnterKey(DialogView& view) override { set(view); }

private:
    // Fills the time from the board (or the computer's clock); false when the board gave none.
    bool prefill(DialogView& view);
    void set(DialogView& view);

    int m_type = -1;
    double m_seconds = 0;
    int16_t m_days = 0;
    uint8_t m_hours = 0;
    uint8_t m_minutes = 0;
};

} // namespace vorngui
