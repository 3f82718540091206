// Starting, restarting and stopping a vornhost daemon process for the tests and benchmarks.
#include "daemon_process.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vorntest {

std::string daemonBinary() {
    return VORNHOST_BINARY;
}

std::string makeDirectory() {
    char pattern[] = "/tmp/vornhost-test-XXXXXX";
    char* made = ::mkdtemp(pattern);
    if (!made)
        return {};
    ::chmod(made, 0755);
    return made;
}

std::vector<std::string> boardArgs(uint16_t model, unsigned bus, unsigned slot, unsigned irq,
                                   bool reference) {
    char value[96];
    std::snprintf(value, sizeof(value), "model=0x%04x,bus=%u,slot=%u,irq=%u%s", unsigned(model),
                  bus, slot, irq, reference ? ",reference=1" : "");
    return {"--board", value};
}

std::unique_ptr<DaemonProcess> DaemonProcess::start(std::vector<std::string> args, std::string* log,
                                                    const std::string& socketName,
                                                    std::vector<std::string> env) {
    std::unique_ptr<DaemonProcess> daemon(new DaemonProcess);
    daemon->m_env = std::move(env);
    daemon->m_directory = makeDirectory();
    daemon->m_socket = daemon->m_directory + "/" + socketName;
    const bool ready = daemon->launch(std::move(args));
    if (log)
        *log = daemon->log();
    if (!ready)
        return nullptr;
    return daemon;
}

bool DaemonProcess::launch(std::vector<std::string> args) {
    if (m_directory.empty())
        return false;
    args.insert(args.begin(), daemonBinary());
    args.push_back("--socket");
    args.push_back(m_socket);
    m_child = std::make_unique<ChildProcess>(args, m_env);
    return m_child->running() && m_child->waitForOutput("listening on", kStartBoundMs);
}

bool DaemonProcess::restart(std::vector<std::string> args) {
    if (m_child && m_child->running())
        return false;
    if (m_child)
        m_earlierLog += m_child->output();
    m_child.reset();
    return launch(std::move(args));
}

int DaemonProcess::stop(int signal) {
    return m_child ? m_child->stop(signal) : -1;
}

std::string DaemonProcess::log() const {
    return m_earlierLog + (m_child ? m_child->output() : std::string());
}

DaemonProcess::~DaemonProcess() {
    m_child.reset();
    std::error_code ignored;
    if (!m_directory.empty())
        std::filesystem::remove_all(m_directory, ignored);
}

int runDaemonToExit(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {daemonBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runToExit(argv, output);
}

} // namespace vorntest
