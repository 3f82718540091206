// Running one command line: global options, help, opening the board, and writing the outcome.
#include "cli.h"

#include "command_line.h"
#include "commands.h"

#include <ostream>

namespace vornctl {

namespace {

constexpr const char* kDefaultDevice = "VORNpci0";

struct Global {
    bool help = false;
    bool json = false;
    std::string device = kDefaultDevice;
    std::string command;
    std::vector<std::string> rest;
};

void writeUsage(std::ostream& out) {
    out << "Usage: vornctl [--device NAME] [--json] COMMAND [ARGUMENTS]\n"
           "       vornctl --help [COMMAND]\n"
           "Reads and sets a timing board from the command line.\n\n"
           "  --device NAME  the board to open (default VORNpci0)\n"
           "  --json         print one JSON object per command\n"
           "  --help         this text, or a command's own\n\n"
           "Commands:\n";
    for (const Command& command : commandTable()) {
        std::string name = command.name;
        out << "  " << name << std::string(name.size() < 16 ? 16 - name.size() : 1, ' ')
            << command.summary << '\n';
    }
    out << "\nExit status: 0 success, 2 usage error, 3 board cannot be opened,\n"
           "4 call failed or value refused, 13 wait timed out, 14 wait not started.\n"
           "\nThe board is reached through the vornhost daemon at the socket named by the\n"
           "environment variable VORN_HOST_SOCKET (default /run/vornhost/vornhost.sock).\n"
           "Without a daemon answering there each run starts a simulated board of its own,\n"
           "so what one run sets or simulates is gone at the next.\n";
}

void writeCommandHelp(const Command& command, std::ostream& out) {
    out << "Usage: vornctl [--device NAME] [--json] " << command.name << ' ' << command.synopsis
        << "\n"
        << command.summary << '\n';
}

// Global options come before the command; the command's own after it, read by parseArgs.
bool parseGlobal(const std::vector<std::string>& args, Global* global, std::string* error) {
    CLI::App app{"vornctl"};
    vorncmdline::reportOnly(app);
    app.prefix_command();
    vorncmdline::plainFlag(app.add_flag("--help", global->help));
    vorncmdline::plainFlag(app.add_flag("--json", global->json));
    vorncmdline::lastWins(app.add_option("--device", global->device));
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& refused) {
        const vorncmdline::Refusal refusal = vorncmdline::explain(app, refused);
        *error =
            refusal.option == "--device" ? "option --device needs a name" : refusalText(refusal);
        return false;
    }
    std::vector<std::string> rest = app.remaining();
    if (global->device.empty()) {
        *error = "option --device needs a name";
        return false;
    }
    if (!rest.empty() && rest.front().rfind("--", 0) == 0) {
        *error = "unknown option " + rest.front();
        return false;
    }
    if (!rest.empty()) {
        global->command = rest.front();
        global->rest.assign(rest.begin() + 1, rest.end());
    }
    return true;
}

int finish(const Global& global, const Context& context, int exit, std::ostream& out,
           std::ostream& err) {
    if (exit == kExitOk && context.streamed)
        return exit;
    if (global.json) {
        Report report;
        report.add("command", global.command);
        report.add("device", global.device);
        report.add("ok", exit == kExitOk);
        for (const Field& field : context.report.fields())
            report.add(field.key, field.value);
        if (exit != kExitOk) {
            report.add("error", context.error);
            report.add("exit", int64_t{exit});
        }
        writeJson(report, out);
    } else {
        writeText(context.report, out);
    }
    if (exit != kExitOk)
        err << "vornctl: " << global.command << ": " << context.error << '\n';
    return exit;
}

int runCommand(Global global, const Command& command, Context& context, std::ostream& out,
               std::ostream& err) {
    auto parsed = parseArgs(global.rest, command.options, &context.error);
    // A command that takes --json after its name writes JSON as the global option would.
    if (parsed && parsed->flags.count("--json"))
        global.json = true;
    if (!parsed)
        return finish(global, context, kExitUsage, out, err);
    const size_t count = parsed->positionals.size();
    if (count < command.minPositionals || count > command.maxPositionals) {
        context.error = std::string("usage: vornctl ") + command.name + ' ' + command.synopsis;
        return finish(global, context, kExitUsage, out, err);
    }
    context.args = std::move(*parsed);
    BoardHandle board = nullptr;
    const uint8_t opened = VORN_open(&board, global.device.c_str());
    if (opened != VORN_OK) {
        context.error = "cannot open " + global.device + ": " + resultText(opened) + " (result " +
                        std::to_string(opened) + ")";
        return finish(global, context, kExitNoBoard, out, err);
    }
    context.board = board;
    context.out = &out;
    context.json = global.json;
    const int exit = command.run(context);
    VORN_close(board);
    return finish(global, context, exit, out, err);
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Global global;
    std::string error;
    if (!parseGlobal(args, &global, &error)) {
        err << "vornctl: " << error << "\n";
        writeUsage(err);
        return kExitUsage;
    }
    const Command* command = global.command.empty() ? nullptr : findCommand(global.command);
    if (global.help || (!global.rest.empty() && global.rest[0] == "--help" && command)) {
        if (command)
            writeCommandHelp(*command, out);
        else if (global.command.empty())
            writeUsage(out);
        else
            return err << "vornctl: unknown command " << global.command << "\n", kExitUsage;
        return kExitOk;
    }
    if (command == nullptr) {
        err << "vornctl: "
            << (global.command.empty() ? "no command given" : "unknown command " + global.command)
            << "\n";
        writeUsage(err);
        return kExitUsage;
    }
    Context context;
    return runCommand(global, *command, context, out, err);
}

} // namespace vornctl
