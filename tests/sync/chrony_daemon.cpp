// A private chronyd for tests, that can never set this machine's clock.
#include "chrony_daemon.h"

#include "capability_drop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace synctest {

namespace {

constexpr const char* kChronyd = "/usr/sbin/chronyd";
constexpr const char* kChronyc = "/usr/bin/chronyc";
constexpr const char* kSetpriv = "/usr/bin/setpriv";

std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream stream(line);
    std::string field;
    while (std::getline(stream, field, ','))
        fields.push_back(field);
    return fields;
}

// Waits for `pid` to end within `milliseconds`; true when it has been reaped.
bool reapWithin(pid_t pid, int milliseconds) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd exited{fd, POLLIN, 0};
        poll(&exited, 1, milliseconds);
        close(fd);
    }
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

} // namespace

ChronyDaemon::ChronyDaemon() {
    char pattern[] = "/tmp/vornsync-chrony-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        m_directory = pattern;
        chmod(pattern, 0700);
    }
}

ChronyDaemon::~ChronyDaemon() {
    stop();
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

bool ChronyDaemon::available() {
    return access(kChronyd, X_OK) == 0 && access(kChronyc, X_OK) == 0 &&
           access(kSetpriv, X_OK) == 0;
}

bool ChronyDaemon::start(const std::vector<std::string>& lines, std::string& error) {
    if (m_directory.empty()) {
        error = "no private directory";
        return false;
    }
    std::ofstream config(path("chrony.conf"));
    config << "pidfile " << path("chronyd.pid") << "\nport 0\ncmdport 0\n"
           << "bindcmdaddress " << path("chronyd.sock") << "\nlogdir " << m_directory
           << "\nlog refclocks\n";
    for (const std::string& line : lines)
        config << line << "\n";
    config.close();
    const std::string configPath = path("chrony.conf");
    const std::string logPath = path("chronyd.out");
    m_pid = fork();
    if (m_pid == 0) {
        // Dropped here and again by setpriv, and checked from outside once it runs.
        if (!win32test::dropSystemTimeCapability())
            _exit(120);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execl(kSetpriv, kSetpriv, "--bounding-set=-sys_time", "--inh-caps=-sys_time", kChronyd,
              "-x", "-d", "-f", configPath.c_str(), "-u", "root", nullptr);
        _exit(127);
    }
    if (m_pid < 0) {
        error = "fork failed";
        return false;
    }
    const bool answering =
        eventually([&] { return chronyc("tracking").find(',') != std::string::npos; }, 20);
    if (holdsSystemTimeCapability()) {
        stop();
        error = "chronyd holds CAP_SYS_TIME; stopped at once";
        return false;
    }
    if (!answering)
        error = "chronyd did not answer within 20 s:\n" + logs();
    return answering;
}

void ChronyDaemon::stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    if (!reapWithin(m_pid, 10'000)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
}

bool ChronyDaemon::holdsSystemTimeCapability() const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapBnd:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> 25 & 1) != 0; // CAP_SYS_TIME
    return true; // unknown counts as held
}

std::string ChronyDaemon::chronyc(const std::string& command) const {
    const std::string line = "timeout 10 " + std::string(kChronyc) + " -h " + path("chronyd.sock") +
                             " -c " + command + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char buffer[512];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, got);
        pclose(pipe);
    }
    return output;
}

std::optional<ChronySource> ChronyDaemon::reachedSource(const std::string& name, int polls) const {
    std::optional<ChronySource> seen;
    const int wanted = (1 << polls) - 1;
    eventually(
        [&] {
            seen = source(name);
            return seen && (seen->reach & wanted) == wanted;
        },
        40);
    return seen;
}

std::optional<ChronySource> ChronyDaemon::source(const std::string& name) const {
    std::istringstream lines(chronyc("sources"));
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string> fields = csvFields(line);
        if (fields.size() >= 10 && fields[2] == name)
            return ChronySource{name, std::stoi(fields[5], nullptr, 8), std::stod(fields[8])};
    }
    return std::nullopt;
}

std::optional<ChronySourceStats> ChronyDaemon::sourceStats(const std::string& name) const {
    std::istringstream lines(chronyc("sourcestats"));
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string> fields = csvFields(line);
        if (fields.size() >= 8 && fields[0] == name)
            return ChronySourceStats{name, std::stoi(fields[1]), std::stod(fields[4])};
    }
    return std::nullopt;
}

std::string ChronyDaemon::logs() const {
    std::string text;
    for (const char* name : {"chronyd.out", "refclocks.log"}) {
        std::ifstream file(path(name));
        std::ostringstream content;
        content << file.rdbuf();
        text += std::string("--- ") + name + "\n" + content.str();
    }
    return text;
}

} // namespace synctest
