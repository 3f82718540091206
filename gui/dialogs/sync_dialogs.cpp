// Synchronization status and control, and the propagation delay correction.
#include "sync_dialogs.h"

namespace vorngui {

SyncCheckDialog::SyncCheckDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindCheck(controls::sync_check::kSynchronized, m_synchronized);
}

void SyncCheckDialog::onCommand(DialogView& view, int control) {
    if (control == controls::sync_check::kCheck) {
        check(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void SyncCheckDialog::check(DialogView& view) {
    if (demo()) {
        // The demonstration board is locked on every other check, across openings.
        bool& toggle = services().process.syncToggle;
        toggle = !toggle;
        m_synchronized = toggle ? 1 : 0;
        showFields(view);
        return;
    }
    uint8_t status = 0;
    if (board().synchStatus(boardHandle(), &status) != 0) {
        view.showMessage(kFailed);
        return;
    }
    m_synchronized = status != 0 ? 1 : 0;
    showFields(view);
}

SyncSetupDialog::SyncSetupDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindListPosition(controls::sync_setup::kControl, m_control);
}

void SyncSetupDialog::onInitDialog(DialogView& view) {
    view.setListItems(controls::sync_setup::kControl, {"Freewheel", "Synchronize"});
    showFields(view);
}

void SyncSetupDialog::onCommand(DialogView& view, int control) {
    if (control == controls::sync_setup::kSet) {
        set(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void SyncSetupDialog::set(DialogView& view) {
    if (!readBack(view)) {
        return;
    }
    if (demo()) {
        acceptPath(view);
        return;
    }
    if (m_control != kFreewheel && m_control != kSynchronize) {
        view.showMessage(kInvalid);
        return;
    }
    uint8_t control = static_cast<uint8_t>(m_control);
    if (board().synchControl(boardHandle(), &control) != 0) {
        view.showMessage(kRefused);
        return;
    }
    acceptPath(view);
}

PropDelayDialog::PropDelayDialog(const Services& services) : Dialog(kTemplateId, services) {
    fields().bindInt32(controls::prop_delay::kCorrection, m_correction);
}

void PropDelayDialog::onCommand(DialogView& view, int control) {
    if (control == controls::prop_delay::kSet) {
        set(view);
        return;
    }
    Dialog::onCommand(view, control);
}

void PropDelayDialog::set(DialogView& view) {
    // A correction that did not parse was never entered: the one the dialog holds is not sent.
    if (!readBack(view)) {
        return;
    }
    if (demo()) {
        acceptPath(view);
        return;
    }
    int32_t correction = m_correction;
    if (board().setPropDelayCorr(boardHandle(), &correction) == 0) {
        acceptPath(view);
        return;
    }
    view.showMessage(kRefused);
    m_correction = 0;
    showFields(view);
}

} // namespace vorngui
