// The daemon rig: a vornhost the test starts on a private socket with the test's machine, and
// ends with SIGTERM. Time is real; the rig moves nothing.
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
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "vornhost.log").c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int spawned =
            ::posix_spawn(&m_pid, kDaemonPath, &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return false;
        return connect() && vornlib::testing::useDaemon(m_socket);
    }
    vornhost::DeviceChannel& control() override { return *m_control; }
    bool virtualTime() const override { return false; }
    void advance(int64_t) override {}
    bool waitForPending(size_t) override { return false; }

private:
    // The daemon answers once it listens; bounded by a generous real-time safety net.
    bool connect() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(m_control = vornhost::connectDaemon(m_socket))) {
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
        if (!m_socket.empty() && ::testing::Test::HasFailure())
            std::printf("%s", readLog().c_str());
        if (!m_socket.empty())
            std::filesystem::remove_all(std::filesystem::path(m_socket).parent_path());
    }

    std::string readLog() const {
        std::ifstream log(std::filesystem::path(m_socket).parent_path() / "vornhost.log");
        return std::string(std::istreambuf_iterator<char>(log), {});
    }

    static inline int s_runs = 0;
    pid_t m_pid = -1;
    std::string m_socket;
    std::unique_ptr<vornhost::DeviceChannel> m_control;
};

} // namespace

std::unique_ptr<Rig> makeDaemonRig() {
    return std::make_unique<DaemonRig>();
}

bool endDaemon(Rig& rig) {
    auto* daemon = dynamic_cast<DaemonRig*>(&rig);
    return daemon != nullptr && daemon->end();
}

std::vector<RigKind> rigKinds() {
    return {RigKind::InProcess, RigKind::Daemon};
}

} // namespace libtest
