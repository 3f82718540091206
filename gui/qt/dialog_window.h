// One dialog's window for one modal run: the window built from the dialog's template, the view
// the dialog drives, and the routing of the operator's input to the dialog's handlers.
#pragma once

#include "dialog.h"
#include "qt_dialog_view.h"

#include <QObject>

#include <functional>
#include <memory>

namespace vorngui::qt {

class DialogWindow : public QObject {
    Q_OBJECT
public:
    // Builds the window of `dialog`'s template, owned by `parent`; `window()` is null when the
    // template cannot be loaded (the reason is in `error()`).
    DialogWindow(Dialog& dialog, QWidget* parent);
    ~DialogWindow() override;

    QDialog* window() const { return m_window.get(); }
    QtDialogView* view() const { return m_view.get(); }
    const QString& error() const { return m_error; }

    // Gives the dialog its opening; true when it ended there (its window is then never shown).
    bool initialize();
    // Shows the window modally until the dialog ends; how it ended.
    DialogResult exec();

    // Runs one handler of the dialog and, if it ended the dialog, closes the window. A handler
    // that arrives while a blocking call runs is dropped: the window takes no input then.
    void deliver(const std::function<void(DialogView&)>& handler);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectButtons();
    bool routeKey(QObject* watched, QEvent* event);

    Dialog& m_dialog;
    // Before the window: the loader writes into it while the window is being built.
    QString m_error;
    std::unique_ptr<QDialog> m_window;
    std::unique_ptr<QtDialogView> m_view;
    bool m_closing = false;
};

} // namespace vorngui::qt
