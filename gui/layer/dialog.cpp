// The behaviour every dialog of the utility shares: accept and cancel paths and default keys.
#include "dialog.h"

#include <algorithm>
#include <iterator>

namespace vorngui {

Dialog::Dialog(int templateId, const Services& services)
    : m_templateId(templateId), m_services(services) {}

void Dialog::setBoard(BoardHandle handle, uint8_t demonstration) {
    m_handle = handle;
    m_demonstration = demonstration;
}

void Dialog::onInitDialog(DialogView& view) {
    showFields(view);
}

void Dialog::onCommand(DialogView& view, int control) {
    const auto& cancels = controls::kCancelButtons;
    const bool cancelLabelled =
        std::find(std::begin(cancels), std::end(cancels), control) != std::end(cancels);
    if (control == controls::kOk || cancelLabelled) {
        acceptPath(view);
    }
}

void Dialog::onEnterKey(DialogView& view) {
    acceptPath(view);
}
void Dialog::onEscapeKey(DialogView& view) {
    cancelPath(view);
}
void Dialog::onCloseBox(DialogView& view) {
    cancelPath(view);
}

void Dialog::acceptPath(DialogView& view) {
    if (readBack(view)) {
        view.endDialog(DialogResult::Ok);
    }
}

void Dialog::cancelPath(DialogView& view) {
    view.endDialog(DialogResult::Cancel);
}

} // namespace vorngui
