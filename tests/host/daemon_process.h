// A vornhost daemon started by a test from the built binary, on a socket in a private
// directory, with its log collected from standard error.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace hosttest {

class DaemonProcess {
public:
    // Starts the daemon with `args` plus --socket at `socketName` within a fresh private
    // directory (its own directories not yet made); null (and `log` filled) when it does not
    // report that it listens within the bound.
    static std::unique_ptr<DaemonProcess> start(std::vector<std::string> args,
                                                std::string* log = nullptr,
                                                const std::string& socketName = "vornhost.sock");
    ~DaemonProcess();

    const std::string& socketPath() const { return m_socket; }
    const std::string& directory() const { return m_directory; }
    // Sends `signal` and waits (bounded) for the exit; the exit code, or -1 for a death by
    // signal or no exit within the bound.
    int stop(int signal);
    // Everything logged so far (all of it once stopped).
    const std::string& log() const { return m_log; }

private:
    DaemonProcess() = default;
    // Reads the log until `needle` shows or the pipe ends; false on neither within the bound.
    bool readLogUntil(const std::string& needle, int boundMs);

    pid_t m_pid = -1;
    int m_logFd = -1;
    std::string m_directory;
    std::string m_socket;
    std::string m_log;
};

// Runs the built daemon with `args` to its end (for options that exit at once).
int runDaemonToExit(const std::vector<std::string>& args, std::string* output);

// A fresh private directory that others may enter (for peers of another uid).
std::string makeDirectory();

} // namespace hosttest
