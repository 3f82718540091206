// A dialog of the control utility, toolkit-free: its template id, its typed fields, and its
// handlers for what the operator does. A front (the window system, or a test) builds the window
// from the template and calls the handlers.
#pragma once

#include "control_ids.h"
#include "fields.h"
#include "services.h"
#include "view.h"

#include <cstdint>

namespace vorngui {

class Dialog {
public:
    Dialog(int templateId, const Services& services);
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    int templateId() const { return m_templateId; }

    // The main window copies its board handle and demonstration flag into an operation dialog
    // after constructing it and before running it.
    void setBoard(BoardHandle handle, uint8_t demonstration);
    BoardHandle boardHandle() const { return m_handle; }
    uint8_t demonstration() const { return m_demonstration; }

    // Before the window is first shown. By default the fields are shown.
    virtual void onInitDialog(DialogView& view);
    // A push button (or radio button) was clicked. By default the accept-path buttons
    // (controls::kOk and controls::kCancelButtons) take the accept path and any other does nothing.
    virtual void onCommand(DialogView& view, int control);
    // Enter, whichever control has the focus. By default the accept path.
    virtual void onEnterKey(DialogView& view);
    // Escape. By default the cancel path.
    virtual void onEscapeKey(DialogView& view);
    // The title bar's close box. By default the cancel path.
    virtual void onCloseBox(DialogView& view);

protected:
    // Reads back every field; closes the dialog (Ok) only if that succeeded.
    void acceptPath(DialogView& view);
    // Closes at once, reading nothing.
    void cancelPath(DialogView& view);
    bool readBack(DialogView& view) { return m_fields.readBack(view); }
    void showFields(DialogView& view) { m_fields.show(view); }

    FieldSet& fields() { return m_fields; }
    const Services& services() const { return m_services; }
    BoardApi& board() const { return m_services.board; }
    bool demo() const { return m_demonstration != 0; }

private:
    int m_templateId;
    const Services& m_services;
    FieldSet m_fields;
    BoardHandle m_handle = nullptr;
    uint8_t m_demonstration = 0;
};

} // namespace vorngui
