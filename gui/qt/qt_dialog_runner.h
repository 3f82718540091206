// Runs the control utility's dialogs modally in Qt windows built from their templates.
#pragma once

#include "dialog_window.h"
#include "services.h"

#include <vector>

namespace vorngui::qt {

class QtDialogRunner : public DialogRunner {
public:
    // Builds the window, gives the dialog its opening (a dialog that ends there is never
    // shown), then shows it modally over the window of the dialog that runs it, routing
    // clicks, Enter, Escape and the close box, until the dialog ends. A template that cannot
    // be loaded is reported with qWarning and ends the run as cancelled.
    DialogResult runModal(Dialog& dialog) override;

    // The windows of the dialogs running now, innermost last.
    const std::vector<DialogWindow*>& running() const { return m_running; }

private:
    void furnish(DialogWindow& window, Dialog& dialog);

    std::vector<DialogWindow*> m_running;
};

} // namespace vorngui::qt
