// Reading the vornhost command line; boards and machine files go through the machine
// description's own text form so that both are checked by one parser.
#include "options.h"

#include "device_channel.h"

#include "command_line.h"

namespace vornhost {

const char* const kDaemonUsage =
    "Usage: vornhost [options]\n"
    "Serves the simulated timing boards' driver to client programs over a Unix socket.\n"
    "\n"
    "  --help            show this text and exit\n"
    "  --socket PATH     listen at PATH (default /run/vornhost/vornhost.sock); missing\n"
    "                    directories are created with mode 0755\n"
    "  --machine FILE    the machine, one card per line:\n"
    "                      board model=0x9070 bus=0 slot=3 irq=11 [bridge=0x9050] [reference=1]\n"
    "                            [reference_offset=US] [reference_ppm=P]\n"
    "  --board DESC      add a board: model=0x9070,bus=0,slot=3[,irq=11][,bridge=0x9050]\n"
    "                    [,reference=1][,reference_offset=US][,reference_ppm=P]\n"
    "                    (repeatable; irq 11 when not given)\n"
    "                    reference_offset: the reference's time minus this machine's, in\n"
    "                    microseconds (signed, a day either way); reference_ppm: parts per\n"
    "                    million the reference runs fast against this machine's clock (signed,\n"
    "                    to 0.001, up to 1000). While in sync the board shows the reference\n"
    "                    plus its propagation correction.\n"
    "  --group NAME      admit members of group NAME besides root and the daemon's own user\n"
    "                    (default vorn; a group that does not exist admits nobody extra).\n"
    "                    Where the group exists the socket is 0660 and the group's.\n"
    "  --metrics ADDRESS:PORT\n"
    "                    serve the boards' health over HTTP at /metrics in Prometheus' text\n"
    "                    format; ADDRESS is an IPv4 address, [IPv6] or a host name, and\n"
    "                    ':PORT' alone listens on loopback (127.0.0.1)\n"
    "\n"
    "With neither --machine nor --board: one board of model 0x9070 on bus 0, slot 3, as\n"
    "VORNpci0. Logs go to standard error. SIGTERM or SIGINT ends every client, unloads the\n"
    "driver and exits with 0 when the unload was clean.\n";

std::string boardLine(const std::string& value) {
    std::string line = "board";
    bool hasIrq = false;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string item =
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.rfind("irq=", 0) == 0)
            hasIrq = true;
        line += " " + item;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (!hasIrq)
        line += " irq=11";
    return line;
}

namespace {

struct Given {
    std::vector<std::string> machineFiles;
    std::vector<std::string> boards;
    std::string metrics;
    bool metricsGiven = false;
};

// Reads the command line into `options` and `given`; false with `error` set.
bool readCommandLine(const std::vector<std::string>& args, DaemonOptions& options, Given& given,
                     std::string* error) {
    CLI::App app{"vornhost"};
    vorncmdline::reportOnly(app);
    app.add_flag("--help", options.help);
    vorncmdline::lastWins(app.add_option("--socket", options.socketPath));
    vorncmdline::lastWins(app.add_option("--group", options.group));
    vorncmdline::repeatable(app.add_option("--machine", given.machineFiles));
    vorncmdline::repeatable(app.add_option("--board", given.boards));
    vorncmdline::lastWins(app.add_option("--metrics", given.metrics));
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& refused) {
        const vorncmdline::Refusal refusal = vorncmdline::explain(app, refused);
        *error = refusal.kind == vorncmdline::Refusal::Kind::MissingValue
                     ? "option " + refusal.option + " needs a value"
                     : refusal.message;
        return false;
    }
    if (const auto unknown = vorncmdline::unknownArguments(app); !unknown.empty()) {
        *error = "unknown option '" + unknown.front() + "'";
        return false;
    }
    given.metricsGiven = app.count("--metrics") > 0;
    return true;
}

// The machine files, in the order given, then the boards: one machine description text.
bool machineText(const Given& given, bool (*readFile)(const std::string&, std::string*),
                 std::string* text, std::string* error) {
    for (const std::string& path : given.machineFiles) {
        std::string file;
        if (!readFile(path, &file)) {
            *error = "cannot read machine file '" + path + "'";
            return false;
        }
        *text += file + "\n";
    }
    for (const std::string& board : given.boards)
        *text += boardLine(board) + "\n";
    return true;
}

} // namespace

OptionsResult parseDaemonOptions(const std::vector<std::string>& args,
                                 bool (*readFile)(const std::string& path, std::string* text)) {
    OptionsResult result;
    result.options.socketPath = defaultSocketPath();
    Given given;
    if (!readCommandLine(args, result.options, given, &result.error))
        return result;
    if (result.options.help) {
        result.ok = true;
        return result;
    }
    if (given.metricsGiven) {
        MetricsAddress address;
        if (!parseMetricsAddress(given.metrics, &address, &result.error))
            return result;
        result.options.metrics = address;
    }
    if (given.machineFiles.empty() && given.boards.empty()) {
        result.options.machine = defaultMachine();
        result.ok = true;
        return result;
    }
    std::string text;
    if (!machineText(given, readFile, &text, &result.error))
        return result;
    vornsim::ParseResult parsed = vornsim::parseMachineDescription(text);
    if (!parsed.ok) {
        result.error = "machine: " + parsed.error;
        return result;
    }
    if (parsed.description.cards.empty()) {
        result.error = "machine: no card given";
        return result;
    }
    result.options.machine = std::move(parsed.description);
    result.ok = true;
    return result;
}

} // namespace vornhost
