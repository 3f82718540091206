// The window a dialog drives: its controls by numeric id, its message boxes and the end of its run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorngui {

// How a modal run ended. The values are Windows' IDOK and IDCANCEL.
enum class DialogResult { Ok = 1, Cancel = 2 };

class DialogView {
public:
    virtual ~DialogView() = default;

    virtual std::string text(int control) const = 0;
    virtual void setText(int control, const std::string& text) = 0;

    // Check boxes and radio buttons.
    virtual bool isChecked(int control) const = 0;
    virtual void setChecked(int control, bool checked) = 0;

    // Drop-down lists that cannot be typed into. The list keeps its items sorted alphabetically,
    // whatever order they are added in; positions count in that sorted order, -1 for none.
    virtual void setListItems(int control, const std::vector<std::string>& items) = 0;
    virtual int listSelection(int control) const = 0;
    virtual void setListSelection(int control, int position) = 0;

    virtual void setEnabled(int control, bool enabled) = 0;
    // Gives the control the focus with its whole text selected, as after a field fails to parse.
    virtual void focusAndSelect(int control) = 0;

    // A message box with one OK button and no icon, captioned with the program's name; returns
    // when the operator has closed it.
    virtual void showMessage(const std::string& text) = 0;

    // Ends the modal run with `result` once the current handler returns.
    virtual void endDialog(DialogResult result) = 0;

    // Runs a call that may block for long (a wait for an interrupt, a demonstration sleep): the
    // window keeps painting but takes no input until the call returns.
    virtual void runBlocking(const std::function<void()>& call) = 0;
};

} // namespace vorngui
