// Start and end of the control utility: arguments, display check, and the main window's run
// over the real library, the machine's clock and the runtime generator.
#include "control_app.h"

#include "art.h"
#include "main_dialog.h"
#include "qt_dialog_runner.h"
#include "services.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vorngui {

namespace {

// True when a local X server listens for display number `display`.
bool localDisplayAnswers(const std::string& display) {
    const std::string path = "/tmp/.X11-unix/X" + display;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    // X servers on Linux also listen on the abstract name of the same path.
    bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (!answers) {
        sockaddr_un abstract{};
        abstract.sun_family = AF_UNIX;
        std::strncpy(abstract.sun_path + 1, path.c_str(), sizeof(abstract.sun_path) - 2);
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        answers = ::connect(fd, reinterpret_cast<sockaddr*>(&abstract), length) == 0;
    }
    ::close(fd);
    return answers;
}

// The display number of a local display name (":0", ":1.0", "unix:2"), or empty for a
// display reached over the network, which is left to the window system to judge.
std::string localDisplayNumber(const std::string& display) {
    std::string rest;
    if (display.rfind(':', 0) == 0) {
        rest = display.substr(1);
    } else if (display.rfind("unix:", 0) == 0) {
        rest = display.substr(5);
    } else {
        return {};
    }
    return rest.substr(0, rest.find('.'));
}

} // namespace

LaunchRequest parseArguments(const std::vector<std::string>& arguments) {
    LaunchRequest request;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            request.launch = Launch::Help;
        } else {
            return {Launch::BadArguments, "unknown argument '" + argument + "'"};
        }
    }
    return request;
}

const char* usageText() {
    return "Usage: vornGui [--help]\n"
           "vornGui, the VORN/SOLK control utility: choose a timing board (or the DEMO board,\n"
           "which needs no hardware), then read and set every board function from the menus.\n"
           "\n"
           "It is a windowed program and needs a display: an X11 or Wayland session (DISPLAY or\n"
           "WAYLAND_DISPLAY set), or a virtual one, as in `xvfb-run -a vornGui`. Without one,\n"
           "`vornctl` offers the same board functions on the command line.\n"
           "\n"
           "Boards are reached through libvorn: through the vornhost daemon when one answers at\n"
           "the socket named by VORN_HOST_SOCKET (default /run/vornhost/vornhost.sock), otherwise\n"
           "through a host started inside vornGui with one simulated GPS board (model 0x9070) as\n"
           "VORNpci0.\n";
}

std::optional<std::string>
displayProblem(const std::function<std::string(const char*)>& environment) {
    if (!environment("QT_QPA_PLATFORM").empty() || !environment("WAYLAND_DISPLAY").empty()) {
        return std::nullopt;
    }
    const std::string display = environment("DISPLAY");
    if (display.empty()) {
        return std::string("no display: neither DISPLAY nor WAYLAND_DISPLAY is set");
    }
    const std::string number = localDisplayNumber(display);
    if (!number.empty() && !localDisplayAnswers(number)) {
        return "no X server answers on display " + display;
    }
    return std::nullopt;
}

std::string programNameFrom(const std::string& argv0) {
    const size_t slash = argv0.find_last_of('/');
    std::string name = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0) {
        name.erase(dot);
    }
    return name;
}

ControlApp::ControlApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

int ControlApp::run() {
    const LaunchRequest request =
        parseArguments(std::vector<std::string>(m_argv + (m_argc > 0 ? 1 : 0), m_argv + m_argc));
    if (request.launch == Launch::Help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (request.launch == Launch::BadArguments) {
        std::fprintf(stderr, "vornGui: %s\n%s", request.error.c_str(), usageText());
        return 2;
    }
    const auto problem = displayProblem([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
    if (problem) {
        std::fprintf(stderr,
                     "vornGui: %s.\n"
                     "vornGui needs a display; run it in a desktop session, under a virtual one\n"
                     "(xvfb-run -a vornGui), or use vornctl on the command line instead.\n",
                     problem->c_str());
        return 2;
    }
    return runWindows();
}

int ControlApp::runWindows() {
    QApplication application(m_argc, m_argv);
    QApplication::setApplicationName(
        QString::fromStdString(programNameFrom(m_argc > 0 ? m_argv[0] : "vornGui")));
    QApplication::setWindowIcon(qt::applicationIcon());
    // Every window is modal and runs its own loop; there is no main loop to leave.
    QApplication::setQuitOnLastWindowClosed(false);

    RuntimeRandom random;
    ProcessState process;
    qt::QtDialogRunner runner;
    const Services services{libraryBoardApi(), machineClock(), random, process, runner};
    MainDialog mainDialog(services);
    runner.runModal(mainDialog);
    mainDialog.finish();
    return 0;
}

} // namespace vorngui
