// A vornhost daemon started from the built binary on a socket in a private directory, with its
// log collected from standard error.
#pragma once

#include "child_process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorntest {

class DaemonProcess {
public:
    // Starts the daemon with `args` plus --socket at `socketName` within a fresh private
    // directory (its own directories not yet made), `env` added to its environment; null (and
    // `log` filled) when it does not report that it listens within the bound.
    static std::unique_ptr<DaemonProcess> start(std::vector<std::string> args,
                                                std::string* log = nullptr,
                                                const std::string& socketName = "vornhost.sock",
                                                std::vector<std::string> env = {});
    ~DaemonProcess();

    const std::string& socketPath() const { return m_socket; }
    bool running() const { return m_child && m_child->running(); }
    const std::string& directory() const { return m_directory; }
    // Sends `signal` and waits (bounded) for the exit; the exit code, or -1 for a death by
    // signal or no exit within the bound.
    int stop(int signal);
    // After stop(): starts the daemon again on the same socket with `args`; false when it does
    // not listen within the bound.
    bool restart(std::vector<std::string> args);
    // Everything logged so far by every run (all of it once stopped).
    std::string log() const;

private:
    DaemonProcess() = default;
    bool launch(std::vector<std::string> args);

    std::vector<std::string> m_env;
    std::string m_directory;
    std::string m_socket;
    std::string m_earlierLog; // what runs before the current one logged
    std::unique_ptr<ChildProcess> m_child;
};

// Runs the built daemon with `args` to its end (for options that exit at once).
int runDaemonToExit(const std::vector<std::string>& args, std::string* output);

// The built daemon's path.
std::string daemonBinary();

// A fresh private directory that others may enter (for peers of another uid).
std::string makeDirectory();

// "--board model=0x9070,bus=0,slot=3,irq=11[,reference=1]": the daemon's option for a board.
std::vector<std::string> boardArgs(uint16_t model, unsigned bus, unsigned slot, unsigned irq,
                                   bool reference = false);

} // namespace vorntest
