// The scripted generator and modal runner of the dialog tests.
#include "fake_services.h"

namespace vorngui::testing {

int ScriptedRandom::next() {
    ++draws;
    if (values.empty()) {
        return 0;
    }
    const int value = values.front();
    values.pop_front();
    return value;
}

DialogResult ScriptedRunner::runModal(Dialog& dialog) {
    ranTemplates.push_back(dialog.templateId());
    FakeView view;
    dialog.onInitDialog(view);
    auto found = m_scripts.find(dialog.templateId());
    if (!view.ended && found != m_scripts.end() && !found->second.empty()) {
        Script script = found->second.front();
        if (found->second.size() > 1) {
            found->second.pop_front();
        }
        script(dialog, view);
    }
    const DialogResult result = view.ended.value_or(DialogResult::Cancel);
    views.push_back(std::move(view));
    return result;
}

} // namespace vorngui::testing
