// vornclock: sets the computer's clock (UTC) from the date and time of the board "VORNpci0".
#include "clock_tool.h"

#include "command_line.h"

#include <cstdio>
#include <iostream>

namespace {

constexpr const char* kUsage =
    "Usage: vornclock [--help]\n"
    "Sets the system clock (UTC) from the date and time of the timing board VORNpci0.\n"
    "Needs the right to set the system time (CAP_SYS_TIME).\n"
    "Exit status: 0 done (a failure to set the clock is printed), 1 no system-time privilege,\n"
    "2 process token not opened, 3 privilege not enabled, 4 board not opened or read (or its\n"
    "date and time never agreed).\n"
    "Any argument other than --help is ignored, as it always has been.\n";

// True when the command line asks for help; every other argument is ignored, whatever it is.
bool helpAsked(int argc, char** argv) {
    CLI::App app{"vornclock"};
    vorncmdline::reportOnly(app);
    CLI::Option* help = vorncmdline::plainFlag(app.add_flag("-h,--help"));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return false;
    }
    return help->count() != 0;
}

} // namespace

int main(int argc, char** argv) {
    if (helpAsked(argc, argv)) {
        std::fputs(kUsage, stdout);
        return vornclock::kExitDone;
    }
    const auto board = vornclock::makeVornLibrary();
    const int code = vornclock::setClockFromBoard(win32::systemApi(), *board, std::cout);
    std::cout.flush();
    return code;
}
