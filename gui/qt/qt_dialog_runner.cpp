// Modal runs of dialogs in Qt windows.
#include "qt_dialog_runner.h"

#include "main_dialog.h"
#include "main_window.h"
#include "resource_ids.h"

namespace vorngui::qt {

DialogResult QtDialogRunner::runModal(Dialog& dialog) {
    QWidget* owner = m_running.empty() ? nullptr : m_running.back()->window();
    DialogWindow window(dialog, owner);
    if (!window.window()) {
        qWarning("vornGui: %s", qPrintable(window.error()));
        return DialogResult::Cancel;
    }
    furnish(window, dialog);
    m_running.push_back(&window);
    DialogResult result = DialogResult::Cancel;
    if (window.initialize()) {
        result = *window.view()->ended();
    } else {
        result = window.exec();
    }
    m_running.pop_back();
    return result;
}

void QtDialogRunner::furnish(DialogWindow& window, Dialog& dialog) {
    auto* main = dynamic_cast<MainDialog*>(&dialog);
    if (!main) {
        return;
    }
    furnishMainWindow(
        *window.window(),
        [&window, main](int command) {
            window.deliver(
                [main, command](DialogView& view) { main->onMenuCommand(view, command); });
        },
        [&window, main] {
            window.deliver(
                [main](DialogView& view) { main->onSystemCommand(view, commands::kSystemAbout); });
        });
}

} // namespace vorngui::qt
