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
    "2 process token not opened, 3 privilege not enabled, 4 board not opened or read,\n"
    "64 bad arguments.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return vornclock::kExitDone;
    }
    if (argc > 1) {
        std::fprintf(stderr, "vornclock: unexpected argument '%s'\n%s", argv[1], kUsage);
        return vornclock::kExitUsage;
    }
    const auto board = vornclock::makeVornLibrary();
    const int code = vornclock::setClockFromBoard(win32::systemApi(), *board, std::cout);
    std::cout.flush();
    return code;
}
