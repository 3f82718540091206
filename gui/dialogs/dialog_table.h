// Which operation dialog each menu command of the main window opens.
#pragma once

#include "dialog.h"
#include "services.h"

#include <memory>

namespace vorngui {

// Constructs the dialog that menu command `commandId` opens, not yet given its board: null for
// a command that opens no operation dialog (E&xit and A&bout are the main window's own) or one
// the table does not know, in which case the menu item opens nothing.
std::unique_ptr<Dialog> createOperationDialog(int commandId, const Services& services);

} // namespace vorngui
