// A private chronyd for tests: started with -x and without CAP_SYS_TIME in its bounding set, in a
// directory of its own (mode 0700) with its own pid file, command socket and logs, and no NTP or
// command port; queried with chronyc over that socket; stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace synctest {

// One source as `chronyc -c sources` gives it.
struct ChronySource {
    std::string name;
    int reach = 0;               // the reach register (eight bits)
    double measuredOffset = 0.0; // seconds, local minus true
};

// One source as `chronyc -c sourcestats` gives it.
struct ChronySourceStats {
    std::string name;
    int samples = 0;
    double frequencyPpm = 0.0; // local against the source
};

class ChronyDaemon {
public:
    ChronyDaemon();
    ChronyDaemon(const ChronyDaemon&) = delete;
    ChronyDaemon& operator=(const ChronyDaemon&) = delete;
    ~ChronyDaemon();

    static bool available();
    // A path in the daemon's private directory.
    std::string path(const std::string& name) const { return m_directory + "/" + name; }

    // Starts chronyd with these extra configuration lines (refclocks); false, with `error`, when
    // it did not come up, or when it holds CAP_SYS_TIME (it is then stopped at once).
    bool start(const std::vector<std::string>& lines, std::string& error);
    void stop();

    std::optional<ChronySource> source(const std::string& name) const;
    // Waits (bounded) for the source to be reached at least `polls` times in a row, and gives
    // its last view.
    std::optional<ChronySource> reachedSource(const std::string& name, int polls) const;
    std::optional<ChronySourceStats> sourceStats(const std::string& name) const;
    // chronyd's own output and its refclocks log, for failure messages.
    std::string logs() const;

private:
    std::string chronyc(const std::string& command) const;
    bool holdsSystemTimeCapability() const;

    std::string m_directory;
    pid_t m_pid = -1;
};

// Polls `condition` about twice a second until it holds or `seconds` pass.
template <typename Condition> bool eventually(Condition condition, int seconds);

} // namespace synctest

#include <chrono>
#include <thread>

template <typename Condition> bool synctest::eventually(Condition condition, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return condition();
}
