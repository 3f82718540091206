// Starting, watching and stopping child processes for the tests and benchmarks.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace vorntest {
namespace {

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Forks and runs `argv` with its output on a new pipe; the child calls only what is safe
// between fork and exec in a process with threads. -1 when it cannot start.
pid_t spawn(std::vector<std::string> argv, const std::vector<std::string>& env, int* readFd) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args = pointersTo(argv), envp = pointersTo(environment);
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The system's default timer slack, as in service, whatever this process chose.
        ::prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    *readFd = fds[0];
    return pid;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
    m_pid = spawn(argv, env, &m_fd);
    if (m_pid > 0)
        m_reader = std::thread([this] { drain(); });
    else
        m_ended = true;
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0)
        stop(SIGKILL);
}

void ChildProcess::drain() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
        std::lock_guard guard(m_lock);
        if (n > 0) {
            m_output.append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            m_ended = true;
            m_changed.notify_all();
            return;
        }
        m_changed.notify_all();
    }
}

bool ChildProcess::waitForOutput(const std::string& needle, int boundMs) {
    std::unique_lock held(m_lock);
    m_changed.wait_for(held, std::chrono::milliseconds(boundMs),
                       [&] { return m_ended || m_output.find(needle) != std::string::npos; });
    return m_output.find(needle) != std::string::npos;
}

bool ChildProcess::waitForEnd(int boundMs) {
    std::unique_lock held(m_lock);
    return m_changed.wait_for(held, std::chrono::milliseconds(boundMs), [&] { return m_ended; });
}

int ChildProcess::reap(bool ended) {
    if (!ended)
        ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (m_reader.joinable())
        m_reader.join();
    ::close(m_fd);
    m_fd = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ChildProcess::stop(int signal) {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, signal);
    return reap(waitForEnd(kStopBoundMs));
}

int ChildProcess::wait(int boundMs) {
    if (m_pid <= 0)
        return -1;
    return reap(waitForEnd(boundMs));
}

std::string ChildProcess::output() const {
    std::lock_guard guard(m_lock);
    return m_output;
}

int runToExit(const std::vector<std::string>& argv, std::string* output) {
    ChildProcess child(argv);
    const int code = child.wait(kStopBoundMs);
    if (output)
        *output += child.output();
    return code;
}

} // namespace vorntest
