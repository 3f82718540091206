// The operator command line as a library: one call runs a whole command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vornctl {

// Exit statuses, stable for scripts.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,       // unknown command or option, missing or malformed argument
    kExitNoBoard = 3,     // the board could not be opened
    kExitFailed = 4,      // the library call failed or refused the value
    kExitTimeout = 13,    // a wait's time-out passed without the interrupt
    kExitNotStarted = 14, // a wait could not be started
};

// Runs the command line `args` (without the program name): output on `out`, errors on `err`.
// Returns the exit status. Never throws for bad input.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace vornctl
