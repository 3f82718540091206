// A program a test or benchmark starts as a child process, its output collected as it comes.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorntest {

// Real-time safety bounds for children: never reached unless something hangs.
constexpr int kStartBoundMs = 20'000;
constexpr int kStopBoundMs = 30'000;

// A child's standard output and error go to one pipe that a thread of the parent drains, so
// that a chatty child never blocks on a full pipe. A child still running when the object goes
// is killed.
class ChildProcess {
public:
    // `argv[0]` is the program's path; each `env` entry ("NAME=value") adds to this process's
    // environment.
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return m_pid > 0; }
    // Waits until the output holds `needle`; false when the output ended or `boundMs` passed.
    bool waitForOutput(const std::string& needle, int boundMs);
    // Sends `signal` and waits (bounded) for the end; the exit code, or -1 for a death by
    // signal or no end within the bound (the child is then killed).
    int stop(int signal);
    // Waits (bounded) for the child to end by itself; the exit code, or -1 as for stop().
    int wait(int boundMs);
    // Everything the child wrote so far (all of it once it ended).
    std::string output() const;

private:
    void drain();
    bool waitForEnd(int boundMs);
    int reap(bool ended);

    pid_t m_pid = -1;
    int m_fd = -1;
    mutable std::mutex m_lock; // guards m_output and m_ended
    std::condition_variable m_changed;
    std::string m_output;
    bool m_ended = false;
    std::thread m_reader;
};

// Runs `argv` to its end; its exit code (-1 as for ChildProcess::stop) and its output.
int runToExit(const std::vector<std::string>& argv, std::string* output);

} // namespace vorntest
