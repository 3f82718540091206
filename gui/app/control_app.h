// The control utility's application: its command line, the display it needs, and the run of
// the main window from board selection to the closing of the board.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorngui {

// What the command line asks for.
enum class Launch { Run, Help, BadArguments };

struct LaunchRequest {
    Launch launch = Launch::Run;
    // For BadArguments: what was wrong.
    std::string error;
};

// The arguments after the program name.
LaunchRequest parseArguments(const std::vector<std::string>& arguments);

// The usage text of --help.
const char* usageText();

// Why no window can be shown, or nothing when there is a display to show it on. `environment`
// reads a variable (empty when unset); a local X display ":N" must have its socket answering.
std::optional<std::string>
displayProblem(const std::function<std::string(const char*)>& environment);

// The program's name as message boxes show it: the file name of `argv0` without its directory
// and extension.
std::string programNameFrom(const std::string& argv0);

class ControlApp {
public:
    ControlApp(int& argc, char** argv);
    // Runs the whole program; the process's exit status.
    int run();

private:
    int runWindows();

    int& m_argc;
    char** m_argv;
};

} // namespace vorngui
