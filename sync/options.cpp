// vornsync's command line.
#include "options.h"

#include <charconv>
#include <set>

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

// Applies an option that takes no value; false when `name` is none of them.
bool applyFlag(const std::string& name, Options& options, std::string& error, bool& failed) {
    if (name == "--help" || name == "-h")
        options.mode = Mode::Help;
    else if (name == "--allow-freewheel")
        options.allowFreewheel = true;
    else if (name == "--json")
        options.json = true;
    else if (name == "--once" || name == "--step") {
        if (options.mode == Mode::Once || options.mode == Mode::Step) {
            error = "--once and --step exclude each other";
            failed = true;
        }
        options.mode = name == "--once" ? Mode::Once : Mode::Step;
    } else
        return false;
    return true;
}

// Applies an option with its value; false with `error` set.
bool applyValued(const std::string& name, const std::string& text, Options& options,
                 std::string& error) {
    int number = 0;
    if (name == "--device")
        options.deviceName = text;
    else if (name == "--sock")
        options.sockPath = text;
    else if (name == "--leap-seconds")
        options.leapSecondList = text;
    else if (name == "--rate" && parseInt(text, 10, 1, 64, number))
        options.rate = number;
    else if (name == "--rate")
        error =
            "--rate must be a whole number of samples a second from 1 to 64, not '" + text + "'";
    else if (name == "--shm" && parseInt(text, 10, 0, 255, number))
        options.shmUnit = number;
    else if (name == "--shm")
        error = "--shm must be a unit from 0 to 255, not '" + text + "'";
    else if (name == "--shm-perm" && parseInt(text, 8, 0, 0777, number))
        options.shmPermissions = static_cast<mode_t>(number);
    else if (name == "--shm-perm")
        error = "--shm-perm must be an octal mode from 0 to 777, not '" + text + "'";
    else
        error = "unknown argument '" + name + "'";
    return error.empty();
}

// Applies the option at `arguments[i]`, advancing `i` past its value; false with `error` set.
bool applyOption(const std::vector<std::string>& arguments, size_t& i, Options& options,
                 std::string& error) {
    const std::string& name = arguments[i];
    bool failed = false;
    if (applyFlag(name, options, error, failed))
        return !failed;
    static const std::set<std::string> kValued = {"--device", "--sock", "--leap-seconds",
                                                  "--rate",   "--shm",  "--shm-perm"};
    if (kValued.count(name) == 0)
        error = "unknown argument '" + name + "'";
    else if (i + 1 >= arguments.size())
        error = name + " needs a value";
    if (!error.empty())
        return false;
    return applyValued(name, arguments[++i], options, error);
}

} // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error) {
    Options options;
    for (size_t i = 0; i < arguments.size(); ++i)
        if (!applyOption(arguments, i, options, error))
            return std::nullopt;
    if (options.mode == Mode::Feed && !options.sockPath && !options.shmUnit) {
        error = "give an output: --sock PATH, --shm UNIT or both (or --once, --step)";
        return std::nullopt;
    }
    return options;
}

} // namespace vornsync
