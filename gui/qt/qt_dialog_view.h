// The dialog view over a window built from a template: controls by id, message boxes, the end
// of the modal run, and calls that block while the window keeps painting.
#pragma once

#include "view.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <optional>

namespace vorngui::qt {

class QtDialogView : public DialogView {
public:
    explicit QtDialogView(QDialog& window);

    std::string text(int control) const override;
    void setText(int control, const std::string& text) override;
    bool isChecked(int control) const override;
    void setChecked(int control, bool checked) override;
    void setListItems(int control, const std::vector<std::string>& items) override;
    int listSelection(int control) const override;
    void setListSelection(int control, int position) override;
    void setEnabled(int control, bool enabled) override;
    void focusAndSelect(int control) override;
    void showMessage(const std::string& text) override;
    void endDialog(DialogResult result) override;
    // The call runs on a worker thread while this thread runs a local event loop that keeps the
    // windows painting and drops the operator's input, so that nothing typed or clicked during
    // the call acts after it; it returns once the call has returned. View calls the call makes
    // are carried out on this thread.
    void runBlocking(const std::function<void()>& call) override;

    // Sends messages to `sink` instead of showing a message box (for drawing windows with no
    // operator present).
    void setMessageSink(std::function<void(const std::string&)> sink) {
        m_messageSink = std::move(sink);
    }

    QDialog& window() const { return m_window; }
    // The result endDialog asked for, if it was called.
    std::optional<DialogResult> ended() const { return m_ended; }
    bool blocking() const { return m_blocking; }
    // How many calls named a control the window does not have (a template out of step with
    // its dialog); each is also reported with qWarning.
    int missingControls() const { return m_missing; }

private:
    QWidget* control(int id) const;
    // Runs `work` on the window's thread, waiting for it when called from another thread.
    void onWindowThread(const std::function<void()>& work) const;

    QDialog& m_window;
    std::function<void(const std::string&)> m_messageSink;
    std::optional<DialogResult> m_ended;
    bool m_blocking = false;
    mutable int m_missing = 0;
};

// The program's name as message boxes show it: the executable's file name without extension.
QString programName();

} // namespace vorngui::qt
