// Runs time reads through the in-process host between two marker calls, so that a system call
// tracer (strace -f) shows what the common path asks of the system: run.sh counts the calls
// that every thread makes between `close(-100)` and `close(-101)`.
#include "vorn.h"
#include "vorn_testing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 1000;
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    BoardHandle board = nullptr;
    if (!vornlib::testing::useChannel(vornhost::openInProcessChannel(machine)) ||
        VORN_open(&board, "VORNpci0") != VORN_OK) {
        std::fprintf(stderr, "cannot open VORNpci0 in-process\n");
        return 1;
    }
    TimeObj time{};
    for (int i = 0; i < 2000; ++i)
        VORN_getTime(board, &time);
    int failed = 0;
    ::close(-100);
    for (int i = 0; i < requests; ++i)
        failed += VORN_getTime(board, &time) != VORN_OK;
    ::close(-101);
    VORN_close(board);
    vornlib::testing::resetChannel();
    std::printf("%d requests, %d failed\n", requests, failed);
    return failed == 0 ? 0 : 1;
}
