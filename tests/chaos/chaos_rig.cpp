// The chaos tests' shared rig: raw driver requests, loading client threads, and the fleet of
// client processes killed at their planned calls.
#include "chaos_rig.h"

#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace chaostest {

using namespace vornpci;
using Clock = std::chrono::steady_clock;

uint32_t chaosSeed() {
    const char* given = std::getenv("VORN_CHAOS_SEED");
    uint32_t seed = given ? uint32_t(std::strtoul(given, nullptr, 10)) : 20261208u;
    std::printf("chaos seed %u (set VORN_CHAOS_SEED to run again with another)\n", seed);
    return seed;
}

std::vector<std::string> boardArgs(const std::vector<uint16_t>& models, bool reference) {
    std::vector<std::string> args;
    for (size_t i = 0; i < models.size(); ++i) {
        auto board =
            vorntest::boardArgs(models[i], 0, unsigned(3 + i), unsigned(10 + i % 2), reference);
        args.insert(args.end(), board.begin(), board.end());
    }
    return args;
}

NTSTATUS setFaults(vornhost::DeviceChannel& control, unsigned board, bool noAnswer, bool badEcho,
                   uint32_t slowFifoReads) {
    vornhost::SimCommand command;
    command.board = board;
    command.action = vornhost::SimAction::SetFaults;
    command.faultNoAnswer = noAnswer;
    command.faultBadEcho = badEcho;
    command.faultSlowFifoReads = slowFifoReads;
    return control.simulate(command);
}

Load::Load(const std::string& socket, unsigned clients, unsigned board, uint32_t seed, Body body)
    : m_body(std::move(body)), m_perClient(clients, 0) {
    for (unsigned i = 0; i < clients; ++i)
        m_threads.emplace_back(
            [this, socket, board, seed, i] { client(socket, board, seed + i, i); });
}

Load::~Load() {
    stop();
}

void Load::stop() {
    m_stopping = true;
    for (std::thread& thread : m_threads)
        if (thread.joinable())
            thread.join();
}

bool Load::runRounds(unsigned rounds) {
    std::unique_lock held(m_lock);
    std::vector<uint64_t> target = m_perClient;
    for (uint64_t& t : target)
        t += rounds;
    return m_progress.wait_for(held, std::chrono::milliseconds(kSafetyBoundMs), [&] {
        for (size_t i = 0; i < target.size(); ++i)
            if (m_perClient[i] < target[i] && m_perClient[i] != UINT64_MAX)
                return false;
        return true;
    });
}

std::vector<std::string> Load::problems() const {
    std::lock_guard guard(m_lock);
    return m_problems;
}

void Load::report(std::string problem) {
    std::lock_guard guard(m_lock);
    if (m_problems.size() < 50)
        m_problems.push_back(std::move(problem));
}

void Load::client(const std::string& socket, unsigned board, uint32_t seed, size_t index) {
    auto finish = [&](std::string problem) {
        report(std::move(problem));
        std::lock_guard guard(m_lock);
        m_perClient[index] = UINT64_MAX;
        m_progress.notify_all();
    };
    auto connection = vornhost::DaemonClient::connect(socket);
    if (!connection)
        return finish("client " + std::to_string(index) + ": no connection");
    uint64_t handle = 0;
    if (NTSTATUS opened = connection->open(boardName(board), kShareAll, &handle); opened != 0)
        return finish("client " + std::to_string(index) + ": open gave " + std::to_string(opened));
    std::mt19937 random(seed);
    Driver driver{*connection, handle};
    while (!m_stopping) {
        if (std::string problem = m_body(driver, random); !problem.empty())
            report("client " + std::to_string(index) + ": " + problem);
        ++m_rounds;
        std::lock_guard guard(m_lock);
        ++m_perClient[index];
        m_progress.notify_all();
    }
    if (NTSTATUS closed = connection->close(handle); closed != 0)
        report("client " + std::to_string(index) + ": close gave " + std::to_string(closed));
}

namespace {

struct Member {
    ClientPlan plan;
    pid_t pid = -1;
    int fd = -1;
    int announced = 0;
    bool killSent = false;
};

// Starts one chaos_client with its standard output on a pipe; false when it cannot start.
bool spawnClient(const std::string& socket, Member& m) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::string seed = std::to_string(m.plan.seed), steps = std::to_string(m.plan.steps);
    std::string binary = CHAOS_CLIENT_BINARY, socketArg = socket, board = m.plan.board;
    std::string uid = std::to_string(m.plan.uid), gid = std::to_string(m.plan.gid);
    std::vector<char*> argv = {binary.data(), socketArg.data(), board.data(), seed.data(),
                               steps.data()};
    if (m.plan.uid >= 0) {
        argv.push_back(uid.data());
        argv.push_back(gid.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    int spawned = ::posix_spawn(&m.pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return false;
    }
    m.fd = fds[0];
    return true;
}

std::string describe(const Member& m, const std::string& what) {
    return "client seed " + std::to_string(m.plan.seed) + " (" + m.plan.board + ", " +
           std::to_string(m.plan.steps) + " calls, kill at " + std::to_string(m.plan.killAtCall) +
           ", " + std::to_string(m.announced) + " announced): " + what;
}

// The client's pipe ended: collects its exit and sorts it.
void reap(Member& m, FleetOutcome& outcome) {
    ::close(m.fd);
    m.fd = -1;
    int status = 0;
    ::waitpid(m.pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == m.plan.expectedExit)
        ++outcome.finished;
    else if (m.killSent && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        ++outcome.killed;
    else if (WIFEXITED(status))
        outcome.failures.push_back(describe(m, "exit " + std::to_string(WEXITSTATUS(status))));
    else
        outcome.failures.push_back(describe(m, "signal " + std::to_string(WTERMSIG(status))));
}

// Reads what the client announced; kills it at its planned call.
void readAnnouncements(Member& m, FleetOutcome& outcome) {
    char buffer[256];
    ssize_t n = ::read(m.fd, buffer, sizeof(buffer));
    if (n <= 0) {
        reap(m, outcome);
        return;
    }
    m.announced += int(n);
    if (!m.killSent && m.plan.killAtCall >= 0 && m.announced > m.plan.killAtCall) {
        ::kill(m.pid, SIGKILL);
        m.killSent = true;
    }
}

} // namespace

namespace {

// Starts members from `next` on until `maxRunning` run at once.
void spawnUpTo(const std::string& socket, std::vector<Member>& members, size_t& next,
               size_t maxRunning, FleetOutcome& outcome) {
    size_t running = 0;
    for (const Member& m : members)
        running += m.fd >= 0;
    for (; next < members.size() && running < maxRunning; ++next) {
        if (spawnClient(socket, members[next]))
            ++running;
        else
            outcome.failures.push_back(describe(members[next], "did not start"));
    }
}

} // namespace

FleetOutcome runFleet(const std::string& socket, const std::vector<ClientPlan>& plans,
                      size_t maxRunning) {
    FleetOutcome outcome;
    std::vector<Member> members(plans.size());
    for (size_t i = 0; i < plans.size(); ++i)
        members[i].plan = plans[i];
    size_t next = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSafetyBoundMs);
    for (;;) {
        spawnUpTo(socket, members, next, maxRunning, outcome);
        std::vector<pollfd> watched;
        std::vector<Member*> owners;
        for (Member& m : members)
            if (m.fd >= 0) {
                watched.push_back({m.fd, POLLIN, 0});
                owners.push_back(&m);
            }
        if (watched.empty())
            break;
        if (Clock::now() >= deadline) {
            for (Member* m : owners) {
                outcome.failures.push_back(describe(*m, "still running at the safety bound"));
                ::kill(m->pid, SIGKILL);
                reap(*m, outcome);
            }
            for (; next < members.size(); ++next)
                outcome.failures.push_back(describe(members[next], "not started by the bound"));
            break;
        }
        if (::poll(watched.data(), watched.size(), 1000) <= 0)
            continue;
        for (size_t i = 0; i < watched.size(); ++i)
            if (watched[i].revents != 0)
                readAnnouncements(*owners[i], outcome);
    }
    return outcome;
}

} // namespace chaostest
