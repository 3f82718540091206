// What the operation dialogs share beyond the dialog base: switching a set of push buttons on and
// off around a call that blocks the window.
#pragma once

#include "view.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>

namespace vorngui {

void setButtonsEnabled(DialogView& view, std::initializer_list<int> buttons, bool enabled);

// Disables `buttons`, runs `call` through the view's blocking run (the window keeps painting but
// takes no input), then enables them again.
void runWithButtonsDisabled(DialogView& view, std::initializer_list<int> buttons,
                            const std::function<void()>& call);

// A time-out entered in seconds as the wait's milliseconds, which the library takes in 32 bits.
// Times 1000 would wrap above 4,294,967 s and turn a very long wait into a short one, so such a
// time-out waits as long as the library can (about 49.7 days) instead.
inline uint32_t waitMilliseconds(uint32_t timeoutSeconds) {
    constexpr uint32_t kLongest = std::numeric_limits<uint32_t>::max();
    return timeoutSeconds > kLongest / 1000u ? kLongest : timeoutSeconds * 1000u;
}

} // namespace vorngui
