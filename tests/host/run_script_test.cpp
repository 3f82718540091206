// scripts/run.sh on a machine without a display: run from a copy of the scripts whose set-up
// and build steps do nothing, on this build's programs and a private socket.
#include "daemon_process.h"
#include "device_channel.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

void writeScript(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

// A tree that looks like the repository to run.sh: its scripts, with set-up and build done.
fs::path makeScriptTree() {
    fs::path root = vorntest::makeDirectory();
    fs::create_directories(root / "scripts");
    fs::create_directories(root / "build");
    fs::copy_file(fs::path(VORN_SOURCE_DIR) / "scripts/run.sh", root / "scripts/run.sh");
    writeScript(root / "scripts/setup.sh", "exit 0\n");
    writeScript(root / "scripts/build.sh", "exit 0\n");
    fs::create_directory_symlink(VORN_BUILD_DIR, root / "build/default");
    return root;
}

// Runs the command with standard error joined to its output; the exit code, or -1.
int runShell(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof(buffer), pipe))
        output->append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RunScriptTest, WithoutADisplayShowsTheBoardAndStopsItsDaemon) {
    fs::path root = makeScriptTree();
    ASSERT_FALSE(root.empty());
    const std::string socket = (root / "run/vornhost/vornhost.sock").string();
    std::string output;
    int code = runShell("env -u DISPLAY -u WAYLAND_DISPLAY VORN_HOST_SOCKET='" + socket +
                            "' bash '" + (root / "scripts/run.sh").string() + "'",
                        &output);
    EXPECT_EQ(code, 0) << output;
    size_t started = output.find("vornhost (pid ");
    ASSERT_NE(started, std::string::npos) << output;
    EXPECT_NE(output.find("model: 0x9070"), std::string::npos) << output;
    EXPECT_NE(output.find("xvfb-run -a bash scripts/run.sh"), std::string::npos) << output;
    // The daemon the script started has ended with it.
    pid_t daemon = pid_t(std::stol(output.substr(started + 14)));
    if (::kill(daemon, 0) == 0) {
        ADD_FAILURE() << "vornhost " << daemon << " still runs";
        ::kill(daemon, SIGTERM);
    }
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_FALSE(vornhost::connectDaemon(socket));
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

} // namespace
