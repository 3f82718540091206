// vornclock: sets the computer's clock (UTC) from the date and time of the board "VORNpci0".
#include "clock_tool.h"

#include <cstdio>
#include <cstring>
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

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return vornclock::kExitDone;
        }
    }
    const auto board = vornclock::makeVornLibrary();
    const int code = vornclock::setClockFromBoard(win32::systemApi(), *board, std::cout);
    std::cout.flush();
    return code;
}
