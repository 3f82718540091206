// vornsync's command line.
#include "options.h"

#include "command_line.h"

#include <charconv>

namespace vornsync {

const char* const kUsage =
    "Usage: vornsync [--device NAME] [--rate HZ] [--sock PATH] [--shm UNIT [--shm-perm MODE]]\n"
    "                [--allow-freewheel] [--json] [--leap-seconds PATH]\n"
    "       vornsync --once [--device NAME] [--allow-freewheel]\n"
    "       vornsync --step [--device NAME] [--allow-freewheel]\n"
    "Feeds the time of a timing board to the machine's time daemon, each sample the narrowest\n"
    "of a few reads bracketed by system timestamps, with its error bound.\n"
    "  --device NAME      board to read (default VORNpci0)\n"
    "  --rate HZ          samples a second, 1 to 64 (default 4)\n"
    "  --sock PATH        send to chrony's SOCK reference clock (`refclock SOCK PATH`)\n"
    "  --shm UNIT         write the shared-memory segment 0x4e545030+UNIT, 0 to 255\n"
    "                     (chrony `refclock SHM UNIT`, ntpd driver 28)\n"
    "  --shm-perm MODE    octal mode of a segment vornsync makes (default 600)\n"
    "  --allow-freewheel  send samples while the board is not synchronized to its reference\n"
    "  --json             print a status line a second\n"
    "  --leap-seconds PATH  leap-second list (default /usr/share/zoneinfo/leap-seconds.list)\n"
    "  --once             print one sample as JSON and exit\n"
    "  --step             step the system clock once to the board's time (needs CAP_SYS_TIME)\n"
    "  --help             show this help\n"
    "Exit status: 0 done, 1 the clock could not be set, 2 bad command line, 3 board not\n"
    "synchronized, 4 board not opened or read. The feed runs until SIGTERM.\n";

namespace {

bool parseInt(const std::string& text, int base, int low, int high, int& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && failure == std::errc() && stop == end && value >= low && value <= high;
}

// The options with a number, as typed; checked after the command line is read.
struct Numbers {
    std::optional<std::string> rate;
    std::optional<std::string> shm;
    std::optional<std::string> shmPerm;
};

// Checks the numbers and stores them in `options`; false with `error` set.
bool applyNumbers(const Numbers& numbers, Options& options, std::string& error) {
    int number = 0;
    if (numbers.rate && !parseInt(*numbers.rate, 10, 1, 64, options.rate)) {
        error = "--rate must be a whole number of samples a second from 1 to 64, not '" +
                *numbers.rate + "'";
        return false;
    }
    if (numbers.shm && !parseInt(*numbers.shm, 10, 0, 255, number)) {
        error = "--shm must be a unit from 0 to 255, not '" + *numbers.shm + "'";
        return false;
    }
    if (numbers.shm)
        options.shmUnit = number;
    if (numbers.shmPerm && !parseInt(*numbers.shmPerm, 8, 0, 0777, number)) {
        error = "--shm-perm must be an octal mode from 0 to 777, not '" + *numbers.shmPerm + "'";
        return false;
    }
    if (numbers.shmPerm)
        options.shmPermissions = static_cast<mode_t>(number);
    return true;
}

// Reads the command line into `options` and `numbers`; false with `error` set.
bool readCommandLine(const std::vector<std::string>& arguments, Options& options, Numbers& numbers,
                     std::string& error) {
    CLI::App app{"vornsync"};
    vorncmdline::reportOnly(app);
    CLI::Option* help = app.add_flag("-h,--help");
    CLI::Option* once = app.add_flag("--once");
    CLI::Option* step = app.add_flag("--step");
    app.add_flag("--allow-freewheel", options.allowFreewheel);
    app.add_flag("--json", options.json);
    vorncmdline::lastWins(app.add_option("--device", options.deviceName));
    vorncmdline::lastWins(app.add_option("--sock", options.sockPath));
    vorncmdline::lastWins(app.add_option("--leap-seconds", options.leapSecondList));
    vorncmdline::lastWins(app.add_option("--rate", numbers.rate));
    vorncmdline::lastWins(app.add_option("--shm", numbers.shm));
    vorncmdline::lastWins(app.add_option("--shm-perm", numbers.shmPerm));
    try {
        app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
    } catch (const CLI::ParseError& refused) {
        const vorncmdline::Refusal refusal = vorncmdline::explain(app, refused);
        if (refusal.kind == vorncmdline::Refusal::Kind::MissingValue)
            error = refusal.option + " needs a value";
        else if (refusal.kind == vorncmdline::Refusal::Kind::UnwantedValue)
            error = refusal.option + " takes no value";
        else
            error = refusal.message;
        return false;
    }
    if (const auto unknown = vorncmdline::unknownArguments(app); !unknown.empty()) {
        error = "unknown argument '" + unknown.front() + "'";
        return false;
    }
    if (once->count() != 0 && step->count() != 0) {
        error = "--once and --step exclude each other";
        return false;
    }
    options.mode = help->count() != 0   ? Mode::Help
                   : once->count() != 0 ? Mode::Once
                   : step->count() != 0 ? Mode::Step
                                        : Mode::Feed;
    return true;
}

} // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error) {
    Options options;
    Numbers numbers;
    if (!readCommandLine(arguments, options, numbers, error) ||
        !applyNumbers(numbers, options, error))
        return std::nullopt;
    if (options.mode == Mode::Feed && !options.sockPath && !options.shmUnit) {
        error = "give an output: --sock PATH, --shm UNIT or both (or --once, --step)";
        return std::nullopt;
    }
    return options;
}

} // namespace vornsync
