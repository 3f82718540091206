// The recording dialog view of the dialog tests.
#include "fake_view.h"

#include <algorithm>

namespace vorngui::testing {

std::string FakeView::text(int control) const {
    const auto found = m_texts.find(control);
    return found == m_texts.end() ? std::string() : found->second;
}

void FakeView::setText(int control, const std::string& text) {
    m_texts[control] = text;
}

bool FakeView::isChecked(int control) const {
    const auto found = m_checks.find(control);
    return found != m_checks.end() && found->second;
}

void FakeView::setChecked(int control, bool checked) {
    m_checks[control] = checked;
}

void FakeView::setListItems(int control, const std::vector<std::string>& items) {
    auto sorted = items;
    std::sort(sorted.begin(), sorted.end());
    m_lists[control] = sorted;
    m_selections[control] = -1;
}

int FakeView::listSelection(int control) const {
    const auto found = m_selections.find(control);
    return found == m_selections.end() ? -1 : found->second;
}

void FakeView::setListSelection(int control, int position) {
    const int count = static_cast<int>(listItems(control).size());
    m_selections[control] = position >= 0 && position < count ? position : -1;
}

void FakeView::setEnabled(int control, bool enabled) {
    m_enabled[control] = enabled;
}

bool FakeView::isEnabled(int control) const {
    const auto found = m_enabled.find(control);
    return found == m_enabled.end() || found->second;
}

const std::vector<std::string>& FakeView::listItems(int control) const {
    static const std::vector<std::string> kEmpty;
    const auto found = m_lists.find(control);
    return found == m_lists.end() ? kEmpty : found->second;
}

void FakeView::focusAndSelect(int control) {
    focused = control;
}
void FakeView::showMessage(const std::string& text) {
    messages.push_back(text);
}
void FakeView::endDialog(DialogResult result) {
    ended = result;
}

void FakeView::runBlocking(const std::function<void()>& call) {
    ++blockingCalls;
    std::vector<int> disabled;
    for (const auto& [control, enabled] : m_enabled) {
        if (!enabled) {
            disabled.push_back(control);
        }
    }
    disabledDuringBlocking.push_back(disabled);
    call();
}

} // namespace vorngui::testing
