// A dialog view without a window: it keeps control states in maps and records what the dialog
// shows, so tests can type into fields, press buttons and read the messages.
#pragma once

#include "view.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorngui::testing {

class FakeView : public DialogView {
public:
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
    void runBlocking(const std::function<void()>& call) override;

    // A control never disabled counts as enabled.
    bool isEnabled(int control) const;
    // Whether the control was ever given a text (an edit never shown stays empty).
    bool hasText(int control) const { return m_texts.count(control) != 0; }
    const std::vector<std::string>& listItems(int control) const;

    std::vector<std::string> messages;
    std::optional<int> focused;
    std::optional<DialogResult> ended;
    // Calls run through runBlocking, and the controls that were disabled while each ran.
    int blockingCalls = 0;
    std::vector<std::vector<int>> disabledDuringBlocking;

private:
    std::map<int, std::string> m_texts;
    std::map<int, bool> m_checks;
    std::map<int, std::vector<std::string>> m_lists;
    std::map<int, int> m_selections;
    std::map<int, bool> m_enabled;
};

} // namespace vorngui::testing
