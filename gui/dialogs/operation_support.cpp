// Button switching around blocking calls of the operation dialogs.
#include "operation_support.h"

namespace vorngui {

void setButtonsEnabled(DialogView& view, std::initializer_list<int> buttons, bool enabled) {
    for (const int button : buttons) {
        view.setEnabled(button, enabled);
    }
}

void runWithButtonsDisabled(DialogView& view, std::initializer_list<int> buttons,
                            const std::function<void()>& call) {
    setButtonsEnabled(view, buttons, false);
    view.runBlocking(call);
    setButtonsEnabled(view, buttons, true);
}

} // namespace vorngui
