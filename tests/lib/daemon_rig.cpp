// The daemon rig: a vornhost the test starts on a private socket with the test's machine, and
// ends with SIGTERM (and may start again). Time is real; the rig moves nothing.
#include "daemon_client.h"
#include "lib_fixture.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace libtest {

namespace {

constexpr const char* kDaemonPath = VORN_DAEMON_PATH;

std::string boardOption(const vornsim::CardDescription& card) {
    char option[96];
    std::snprintf(option, sizeof(option), "model=0x%04x,bus=%u,slot=%u,irq=%u",
                  unsigned(card.ids.subsystemId), card.bus, card.slot, card.irq);
    return option;
}

// The library finds the daemon as a program does, through VORN_HOST_SOCKET.
class DaemonRig : public Rig {
public:
    ~DaemonRig() override { stop(); }

    // Ends the daemon with SIGTERM while the library may still be connected; true when it
    // unloaded the driver cleanly.
    bool end() {
        if (m_pid <= 0)
            return false;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    bool start(const vornsim::MachineDescription& machine) override {
        const auto dir =
            std::filesystem::temp_directory_path() /
            ("vorn-lib-" + std::to_string(::getpid()) + "-" + std::to_string(++s_runs));
        std::filesystem::create_directories(dir);
        m_socket = (dir / "vornhost.sock").string();
        if (!launch(machine))
            return false;
        ::setenv("VORN_HOST_SOCKET", m_socket.c_str(), 1);
        return vornlib::testing::resetChannel();
    }

    // Starts a daemon with `machine` again on the same socket, after end().
    bool launch(const vornsim::MachineDescription& machine) {
        std::vector<std::string> args = {kDaemonPath, "--socket", m_socket};
        for (const vornsim::CardDescription& card : machine.cards) {
            args.push_back("--board");
            args.push_back(boardOption(card));
        }
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // The daemon's log goes to a file beside its socket, read when a test fails.
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath().c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int spawned =
            ::posix_spawn(&m_pid, kDaemonPath, &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 && connect();
    }
    vornhost::DeviceChannel& control() override { return *m_control; }
    bool virtualTime() const override { return false; }
    void advance(int64_t) override {}
    bool waitForPending(size_t count) override {
        auto status = m_control->hostStatus(
            {vornhost::wire::StatusWait::PendingAtLeast, uint32_t(count), 10'000});
        return status && status->reached;
    }

private:
    // The daemon answers once it listens; bounded by a generous real-time safety net.
    bool connect() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(m_control = vornhost::DaemonClient::connect(m_socket))) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void stop() {
        m_control.reset();
        if (m_pid > 0) {
            EXPECT_TRUE(end()) << "vornhost did not unload cleanly";
        }
        if (!m_socket.empty()) {
            ::unsetenv("VORN_HOST_SOCKET");
            if (::testing::Test::HasFailure())
                std::printf("%s", readLog().c_str());
            std::filesystem::remove_all(std::filesystem::path(m_socket).parent_path());
        }
    }

    std::string logPath() const {
        return (std::filesystem::path(m_socket).parent_path() / "vornhost.log").string();
    }

    std::string readLog() const {
        std::ifstream log(logPath());
        return std::string(std::istreambuf_iterator<char>(log), {});
    }

    static inline int s_runs = 0;
    pid_t m_pid = -1;
    std::string m_socket;
    std::unique_ptr<vornhost::DaemonClient> m_control;
};

} // namespace

std::unique_ptr<Rig> makeDaemonRig() {
    return std::make_unique<DaemonRig>();
}

bool endDaemon(Rig& rig) {
    auto* daemon = dynamic_cast<DaemonRig*>(&rig);
    return daemon != nullptr && daemon->end();
}

bool restartDaemon(Rig& rig, const vornsim::MachineDescription& machine) {
    auto* daemon = dynamic_cast<DaemonRig*>(&rig);
    return daemon != nullptr && daemon->launch(machine);
}

std::vector<RigKind> rigKinds() {
    return {RigKind::InProcess, RigKind::Daemon};
}

} // namespace libtest
