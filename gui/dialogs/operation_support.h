// What the operation dialogs share beyond the dialog base: switching a set of push buttons on and
// off around a call that blocks the window.
#pragma once

#include "view.h"

#include <cstdint>
#include <functional>
#include <initializer_list>

namespace vorngui {

void setButtonsEnabled(DialogView& view, std::initializer_list<int> buttons, bool enabled);

// Disables `buttons`, runs `call` through the view's blocking run (the window keeps painting but
// takes no input), then enables them again.
void runWithButtonsDisabled(DialogView& view, std::initializer_list<int> buttons,
                            const std::function<void()>& call);

// A time-out entered in seconds as the wait's milliseconds: times 1000 in unsigned 32-bit
// arithmetic, as the library takes it.
inline uint32_t waitMilliseconds(uint32_t timeoutSeconds) { return timeoutSeconds * 1000u; }

} // namespace vorngui
