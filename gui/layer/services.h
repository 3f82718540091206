// What the whole run of the control utility shares: the board library, the clock, the
// demonstration generator and toggles, and the means to run a dialog modally.
#pragma once

#include "board_api.h"
#include "demo_random.h"
#include "system_clock.h"
#include "view.h"

#include <cstdint>

namespace vorngui {

class Dialog;

// Runs a dialog modally: builds its window from its template, gives it its opening, routes the
// operator's input to it until it ends, and returns how it ended.
class DialogRunner {
public:
    virtual ~DialogRunner() = default;
    virtual DialogResult runModal(Dialog& dialog) = 0;
};

// State that lives for the whole run of the program, whatever dialogs come and go.
struct ProcessState {
    // Set with the main window's flag when the demonstration board is chosen; only the About
    // version texts read it.
    uint8_t demonstration = 0;
    // The demonstration toggles of the checks: each flips on its dialog's "Check".
    bool eventToggle = false;
    bool heartbeatToggle = false;
    bool matchToggle = false;
    bool syncToggle = false;
};

struct Services {
    BoardApi& board;
    SystemClock& clock;
    RandomSource& random;
    ProcessState& process;
    DialogRunner& runner;
};

} // namespace vorngui
