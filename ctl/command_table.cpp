// The table of commands, and the wording of library results.
#include "cli.h"
#include "commands.h"

namespace vornctl {

namespace {

const OptionSpec kNone{};
const OptionSpec kTimeout{{}, {"--timeout"}};

} // namespace

// One row per command: name, the synopsis and summary that --help prints (and the man page and
// bash completion follow), its options as {{flags}, {options with a value}}, how many arguments
// it takes, and its handler (commands.h). A new command is a new row and a run* function; a new
// option is one more name in its row's sets, read by the handler from c.args.flags or
// c.args.values. Options before the command (--device, --json, --help) are read in cli.cpp.
const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        {"status", "",
         "time, date, synchronization, versions; position and satellites on GPS boards", kNone, 0,
         0, runStatus},
        {"time", "", "the board's day of year and time of day", kNone, 0, 0, runTime},
        {"date", "", "the board's calendar date", kNone, 0, 0, runDate},
        {"set-time", "DAY HH:MM:SS", "load day of year (1-366) and time of day", kNone, 2, 2,
         runSetTime},
        {"set-year", "YEAR", "set the board's year (1-9999)", kNone, 1, 1, runSetYear},
        {"heartbeat",
         "HZ [--square] [--immediately|--next-second]",
         "program the heartbeat (0 stops it; 10000 Hz / a whole divider 1-65535)",
         {{"--square", "--immediately", "--next-second"}, {}},
         1,
         1,
         runHeartbeat},
        {"match",
         "DAY HH:MM:SS[.ffffff] [--stop]",
         "program the match time (start by default)",
         {{"--stop"}, {}},
         2,
         2,
         runMatch},
        {"wait-event", "[--timeout MS]", "wait for a time-tagged event (default 1000 ms)", kTimeout,
         0, 0, runWaitEvent},
        {"wait-heartbeat", "[--timeout MS]", "wait for a heartbeat interrupt (default 1000 ms)",
         kTimeout, 0, 0, runWaitHeartbeat},
        {"wait-match", "[--timeout MS]", "wait for the match interrupt (default 1000 ms)", kTimeout,
         0, 0, runWaitMatch},
        {"events",
         "--follow [--count N]",
         "print each time-tagged event as it comes, until N or interrupted",
         {{"--follow", "--json"}, {"--count"}},
         0,
         0,
         runEvents},
        {"flush", "", "discard every queued time tag", kNone, 0, 0, runFlush},
        {"sim-event", "", "have the board time-tag a simulated event", kNone, 0, 0, runSimEvent},
        {"sync-status", "", "whether the board is synchronized to its reference", kNone, 0, 0,
         runSyncStatus},
        {"sync", "synchronize|freewheel", "synchronize to the reference or run free", kNone, 1, 1,
         runSync},
        {"prop-delay", "MICROSECONDS", "set the propagation delay correction (-5000 to 4999)",
         kNone, 1, 1, runPropDelay},
        {"versions", "", "firmware, FPGA and driver versions", kNone, 0, 0, runVersions},
        {"position", "", "altitude, latitude and longitude (GPS boards)", kNone, 0, 0, runPosition},
        {"satellites", "", "satellites tracked (GPS boards)", kNone, 0, 0, runSatellites},
        {"health",
         "[--json]",
         "the driver host's health record: synchronization, reference, requests, events, feed",
         {{"--json"}, {}},
         0,
         0,
         runHealth},
        {"sim",
         "event [--count N] [--interval-us U] | reference present|found|lost |\n"
         "                    reference offset US | reference ppm P |\n"
         "                    gps --latitude DEG --longitude DEG [--altitude M] [--satellites N]",
         "drive the simulated board: events, reference (offset us, rate ppm), GPS receiver",
         {{},
          {"--count", "--interval-us", "--latitude", "--longitude", "--altitude", "--satellites"}},
         1,
         3,
         runSim},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commandTable()) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

std::string resultText(uint8_t result) {
    switch (result) {
    case VORN_ERR_HANDLE:
        return "board not open";
    case VORN_ERR_ARGUMENT:
        return "missing argument";
    case VORN_ERR_RANGE:
        return "value refused";
    case VORN_ERR_NO_DEVICE:
        return "no such device";
    case VORN_ERR_BUSY:
        return "device busy or access refused";
    case VORN_ERR_HOST:
        return "driver host unreachable";
    case VORN_ERR_DEVICE:
        return "the driver or board refused the request";
    case VORN_ERR_CANCELLED:
        return "cancelled";
    case VORN_WAIT_TIMEOUT:
        return "time-out";
    case VORN_WAIT_NOT_STARTED:
        return "wait not started";
    default:
        return "unknown result";
    }
}

int callFailed(Context& context, const char* call, uint8_t result) {
    context.error = std::string(call) + " failed: " + resultText(result) + " (result " +
                    std::to_string(result) + ")";
    return kExitFailed;
}

int badInput(Context& context, const std::string& message) {
    context.error = message;
    return kExitUsage;
}

} // namespace vornctl
