// The built vornclock run as a program, in a child from which CAP_SYS_TIME has been removed
// before exec, so that it can read a board but never change the machine's clock.
#include "capability_drop.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr int kCapabilityStillHeld = 120;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Reads both pipes until they close, within a generous real-time safety bound.
void drain(int outFd, int errFd, Outcome& outcome) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<pollfd> fds = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[512];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(got));
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
}

// Waits for the child to end, within a generous real-time safety bound; where the kernel has
// no process descriptors the wait is unbounded.
bool exitsWithinBound(pid_t child) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (fd < 0)
        return true;
    pollfd exited{fd, POLLIN, 0};
    const bool ended = poll(&exited, 1, 60'000) == 1;
    close(fd);
    return ended;
}

Outcome runClock(std::vector<std::string> arguments) {
    Outcome outcome;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return outcome;
    std::vector<char*> argv;
    std::string program = VORNCLOCK_PATH;
    argv.push_back(program.data());
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (!win32test::dropSystemTimeCapability())
            _exit(kCapabilityStillHeld);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (child < 0)
        return outcome;
    drain(outPipe[0], errPipe[0], outcome);
    int status = 0;
    if (!exitsWithinBound(child)) {
        kill(child, SIGKILL);
        ADD_FAILURE() << "vornclock did not finish within the bound";
    }
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    return outcome;
}

TEST(VornclockTest, WithoutTheRightToSetTheClockReportsPrivilegeNotHeld) {
    const Outcome outcome = runClock({});
    ASSERT_NE(outcome.exitCode, kCapabilityStillHeld) << "the test could not drop CAP_SYS_TIME";
    EXPECT_EQ(outcome.out, "SetSystemTime Failed, error: 1314\n") << outcome.err;
    EXPECT_EQ(outcome.exitCode, 0);
}

TEST(VornclockTest, HelpIsPrintedAndOtherArgumentsAreIgnored) {
    const Outcome help = runClock({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: vornclock"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");

    // Scripts have always been able to pass anything: the tool still does its one job.
    const Outcome other = runClock({"--year", "2030"});
    ASSERT_NE(other.exitCode, kCapabilityStillHeld) << "the test could not drop CAP_SYS_TIME";
    EXPECT_EQ(other.out, "SetSystemTime Failed, error: 1314\n") << other.err;
    EXPECT_EQ(other.exitCode, 0);
}

} // namespace
