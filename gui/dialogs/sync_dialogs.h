// The synchronization and propagation dialogs: whether the board is locked to its reference,
// switching between synchronizing and freewheeling, and the propagation delay correction.
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <cstdint>

namespace vorngui {

class SyncCheckDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kSyncCheck;
    static constexpr const char* kFailed = "Could not check Synch Status!!";

    explicit SyncCheckDialog(const Services& services);
    void onCommand(DialogView& view, int control) override;
    int synchronized() const { return m_synchronized; }

private:
    void check(DialogView& view);

    int m_synchronized = 0;
};

class SyncSetupDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kSyncSetup;
    // Positions in the sorted list, which are the control values sent to the board.
    static constexpr int kFreewheel = 0;
    static constexpr int kSynchronize = 1;
    static constexpr const char* kInvalid = "Invalid Control!!";
    static constexpr const char* kRefused = "Could not set synch options!!";

    explicit SyncSetupDialog(const Services& services);
    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;
    // Return runs "Set" and nothing more.
    void onEnterKey(DialogView& view) override { set(view); }

private:
    void set(DialogView& view);

    int m_control = kFreewheel;
};

class PropDelayDialog : public Dialog {
public:
    static constexpr int kTemplateId = templates::kPropDelay;
    static constexpr const char* kRefused = "Could not set Propagation Delay Correction!!";

    explicit PropDelayDialog(const Services& services);
    void onCommand(DialogView& view, int control) override;
    void onEnterKey(DialogView& view) override { set(view); }
    int32_t correction() const { return m_correction; }

private:
    void set(DialogView& view);

    int32_t m_correction = 0;
};

} // namespace vorngui
