// Runs a built program for the tests, as a child that can never change the machine's clock.
#pragma once

#include "capability_drop.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace synctest {

constexpr int kCapabilityStillHeld = 120;

// A program run without CAP_SYS_TIME (removed in the child before exec, so nothing it does can
// change the machine's clock), with stdout and stderr on one pipe and `environment` added to
// its own; every wait has a generous real-time bound.
class Program {
public:
    Program(std::string program, std::vector<std::string> arguments,
            std::vector<std::string> environment = {}) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        std::vector<char*> argv;
        argv.push_back(program.data());
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // The additions come first, so that they win over the same names inherited.
        std::vector<char*> envp;
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        for (char** variable = environ; *variable != nullptr; ++variable)
            envp.push_back(*variable);
        envp.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            if (!win32test::dropSystemTimeCapability())
                _exit(kCapabilityStillHeld);
            dup2(pipeFds[1], STDOUT_FILENO);
            dup2(pipeFds[1], STDERR_FILENO);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(pipeFds[1]);
        m_fd = pipeFds[0];
    }
    ~Program() {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0)
            close(m_fd);
    }

    // Reads output until `part` appears or the output ends; true when it appeared.
    bool waitFor(const std::string& part, int seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (output.find(part) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            if (!readSome(500))
                break;
        return output.find(part) != std::string::npos;
    }
    // Whatever has been printed so far, without waiting.
    const std::string& outputSoFar() {
        while (readSome(0)) {
        }
        return output;
    }
    // The exit code once the program has ended (within the bound), else -1.
    int exitCode() {
        if (m_status)
            return *m_status;
        waitFor("\x01never printed\x01");
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        if (fd >= 0) {
            pollfd exited{fd, POLLIN, 0};
            const bool ended = poll(&exited, 1, 30'000) == 1;
            close(fd);
            if (!ended)
                return -1;
        }
        int status = 0;
        if (waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return *m_status;
    }
    void terminate() { kill(m_pid, SIGTERM); }

    std::string output;

private:
    // One read of what is ready within `milliseconds`; false when nothing came or output ended.
    bool readSome(int milliseconds) {
        pollfd ready{m_fd, POLLIN, 0};
        if (m_fd < 0 || poll(&ready, 1, milliseconds) <= 0)
            return milliseconds > 0 && m_fd >= 0;
        char buffer[4096];
        const ssize_t got = read(m_fd, buffer, sizeof buffer);
        if (got <= 0) {
            close(m_fd);
            m_fd = -1;
            return false;
        }
        output.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    std::optional<int> m_status;
};

} // namespace synctest
