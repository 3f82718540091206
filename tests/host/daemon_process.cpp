// Starting, watching and stopping a vornhost daemon process for the tests.
#include "daemon_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace hosttest {
namespace {

constexpr int kStartBoundMs = 20'000;
constexpr int kStopBoundMs = 30'000;

pid_t spawn(const std::vector<std::string>& args, int* outFd) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> argv;
    std::string binary = VORNHOST_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (auto& arg : copy)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    *outFd = pipeFds[0];
    return pid;
}

enum class Pipe { Data, Ended, TimedOut };

// Appends what the pipe holds, waiting at most `waitMs`.
Pipe readSome(int fd, std::string* into, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return Pipe::TimedOut;
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0)
        return Pipe::Ended;
    into->append(buffer, size_t(n));
    return Pipe::Data;
}

// Reads until the writer has gone; false when the bound passed first.
bool readToEnd(int fd, std::string* into, int boundMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Pipe got = readSome(fd, into, left.count() > 0 ? int(left.count()) : 0);
        if (got != Pipe::Data)
            return got == Pipe::Ended;
    }
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string makeDirectory() {
    char pattern[] = "/tmp/vornhost-test-XXXXXX";
    char* made = ::mkdtemp(pattern);
    if (!made)
        return {};
    ::chmod(made, 0755);
    return made;
}

std::unique_ptr<DaemonProcess> DaemonProcess::start(std::vector<std::string> args, std::string* log,
                                                    const std::string& socketName) {
    std::unique_ptr<DaemonProcess> daemon(new DaemonProcess);
    daemon->m_directory = makeDirectory();
    daemon->m_socket = daemon->m_directory + "/" + socketName;
    args.push_back("--socket");
    args.push_back(daemon->m_socket);
    daemon->m_pid = spawn(args, &daemon->m_logFd);
    bool ready = daemon->m_pid > 0 && daemon->readLogUntil("listening on", kStartBoundMs);
    if (log)
        *log = daemon->m_log;
    if (!ready)
        return nullptr;
    return daemon;
}

bool DaemonProcess::readLogUntil(const std::string& needle, int boundMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (m_log.find(needle) == std::string::npos) {
        if (readSome(m_logFd, &m_log, remainingMs(deadline)) != Pipe::Data)
            return false;
    }
    return true;
}

int DaemonProcess::stop(int signal) {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, signal);
    bool ended = readToEnd(m_logFd, &m_log, kStopBoundMs);
    if (!ended)
        ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return ended ? exitCode(status) : -1;
}

DaemonProcess::~DaemonProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_logFd >= 0)
        ::close(m_logFd);
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

int runDaemonToExit(const std::vector<std::string>& args, std::string* output) {
    int fd = -1;
    pid_t pid = spawn(args, &fd);
    if (pid <= 0)
        return -1;
    if (!readToEnd(fd, output, kStopBoundMs))
        ::kill(pid, SIGKILL);
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return exitCode(status);
}

} // namespace hosttest
