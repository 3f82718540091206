// Boots the kernel layer on the default simulated machine, loads the VORNpci driver, reads the
// board once through the I/O manager and unloads cleanly: the shortest proof that every layer
// from the request down to the board model fits together.
#include "device_channel.h"
#include "driver_host.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <cstdio>
#include <cstring>

using namespace vornpci;

namespace {

struct Board {
    ntemu::Thread& thread;
    ntemu::Handle handle;

    template <typename Record>
    NTSTATUS ask(ULONG code, Record& record, ULONG inputLength = sizeof(Record)) {
        auto result =
            thread.deviceIoControl(handle, code, &record, inputLength, &record, sizeof(Record));
        return result.status;
    }
};

void printUsage() {
    std::printf("usage: kernel-smoke\n"
                "Boots the user-mode kernel layer on a machine with one simulated GPS timing\n"
                "board, loads the VORNpci driver, reads the board's time, date and versions\n"
                "through the driver and unloads it, reporting any leak or verifier finding.\n"
                "Exit status 0 when every step succeeded and nothing leaked.\n");
}

bool readBoard(Board& board) {
    OpenReply reply{};
    char version[8] = {};
    TimeObj time{};
    DateObj date{};
    uint8_t firmware[4] = {};
    bool ok = NT_SUCCESS(board.ask(IOCTL_VORNPCI_OPEN, reply)) &&
              NT_SUCCESS(board.ask(IOCTL_VORNPCI_GET_DRIVER, version, 7)) &&
              NT_SUCCESS(board.ask(IOCTL_VORNPCI_GET_TIME, time)) &&
              NT_SUCCESS(board.ask(IOCTL_VORNPCI_GET_DATE, date)) &&
              NT_SUCCESS(board.ask(IOCTL_VORNPCI_GET_FIRMWARE, firmware));
    if (!ok)
        return false;
    std::printf("board VORNpci0: model 0x%04X in slot %u, driver \"%s\", firmware %02X %02X %02X "
                "%02X\n",
                reply.modelCode, reply.slotNumber, version, firmware[0], firmware[1], firmware[2],
                firmware[3]);
    std::printf("board time: day %03u %02u:%02u:%09.6f, date %04u-%02u-%02u\n", time.dayOfYear,
                time.hours, time.minutes, time.microsInMinute / 1e6, date.year, date.month,
                date.day);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        printUsage();
        return std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ? 0 : 64;
    }
    vornhost::HostOptions options;
    options.virtualClock = false;
    options.specialIrpPool = false;
    vornhost::DriverHost host(vornhost::defaultMachine(), options);
    NTSTATUS status = host.load();
    if (!NT_SUCCESS(status)) {
        std::printf("kernel-smoke: the driver did not load, status 0x%08X\n", (unsigned)status);
        return 1;
    }
    bool read = false;
    {
        auto process = host.createProcess("kernel-smoke");
        ntemu::Handle handle = 0;
        status = process->open(vornhost::deviceName(0), {}, &handle);
        if (NT_SUCCESS(status)) {
            Board board{process->createThread(), handle};
            read = readBoard(board);
            process->close(handle);
        }
    }
    const bool unloaded = host.unload();
    const size_t reports = ntemu::verifier::pendingCount();
    std::printf("open 0x%08X, board read %s, unload %s, verifier reports %zu\n", (unsigned)status,
                read ? "ok" : "FAILED", unloaded ? "clean" : "FAILED", reports);
    return read && unloaded && reports == 0 ? 0 : 1;
}
