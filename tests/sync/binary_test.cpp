// The built vornsync as a program: its command line, a step without CAP_SYS_TIME (removed in
// the child before exec, so the machine's clock cannot change), and a clean stop on SIGTERM.
#include "capability_drop.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kCapabilityStillHeld = 120;
// No such board exists, so even a step that somehow ran with the capability finds nothing.
constexpr const char* kNoBoard = "VORNnoSuchBoard9";

// vornsync run with stdout and stderr on one pipe; every wait has a generous real-time bound.
class Program {
public:
    explicit Program(std::vector<std::string> arguments) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        std::vector<char*> argv;
        std::string program = VORNSYNC_PATH;
        argv.push_back(program.data());
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            if (!win32test::dropSystemTimeCapability())
                _exit(kCapabilityStillHeld);
            dup2(pipeFds[1], STDOUT_FILENO);
            dup2(pipeFds[1], STDERR_FILENO);
            execv(argv[0], argv.data());
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
    bool waitFor(const std::string& part) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (output.find(part) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{m_fd, POLLIN, 0};
            if (poll(&ready, 1, 500) <= 0)
                continue;
            char buffer[512];
            const ssize_t got = read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            output.append(buffer, static_cast<size_t>(got));
        }
        return output.find(part) != std::string::npos;
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
    pid_t m_pid = -1;
    int m_fd = -1;
    std::optional<int> m_status;
};

TEST(Binary, HelpAndABadRate) {
    Program help({"--help"});
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_NE(help.output.find("--rate HZ"), std::string::npos) << help.output;
    Program badRate({"--sock", "/tmp/x", "--rate", "100"});
    EXPECT_EQ(badRate.exitCode(), 2);
    EXPECT_NE(badRate.output.find("--rate must be"), std::string::npos) << badRate.output;
}

TEST(Binary, AStepWithoutCapSysTimeExitsOneWithAClearMessage) {
    Program step({"--step", "--device", kNoBoard});
    const int code = step.exitCode();
    if (code == kCapabilityStillHeld)
        GTEST_SKIP() << "CAP_SYS_TIME could not be dropped; the step is not run";
    EXPECT_EQ(code, 1) << step.output;
    EXPECT_NE(step.output.find("lacks CAP_SYS_TIME"), std::string::npos) << step.output;
}

TEST(Binary, SigtermStopsTheFeedCleanly) {
    Program feed({"--sock", "/tmp/vornsync-test-unused.sock", "--device", kNoBoard});
    ASSERT_TRUE(feed.waitFor("trying again every second")) << feed.output;
    feed.terminate();
    EXPECT_EQ(feed.exitCode(), 0) << feed.output;
}

} // namespace
