// What the chaos tests share: the seed, driver requests by their raw statuses, client threads
// that keep a daemon loaded, and client processes that the test kills at random points of
// their work.
#pragma once

#include "daemon_host.h"
#include "driver_requests.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace chaostest {

// Real-time safety bound for anything the tests wait on; never reached unless something hangs.
constexpr int kSafetyBoundMs = 60'000;

// The run's seed: VORN_CHAOS_SEED when set, else a fixed one. Printed by every test using it
// so that a failure can be run again with the same choices.
uint32_t chaosSeed();

// "--board model=0x9070,bus=0,slot=3,..." options for the daemon, one per board; with
// `reference` each board has its reference signal from the start.
std::vector<std::string> boardArgs(const std::vector<uint16_t>& models, bool reference = false);

using namespace vorntest;

// Drives board `board` of the daemon through `control`.
NTSTATUS setFaults(vornhost::DeviceChannel& control, unsigned board, bool noAnswer, bool badEcho,
                   uint32_t slowFifoReads);

// Client connections on threads of their own, each with its own board handle, running `body`
// over and over until stopped. A body returns what went wrong, or an empty string.
class Load {
public:
    using Body = std::function<std::string(const Driver&, std::mt19937&)>;

    // `clients` connections to the daemon at `socket`, each opening board `board`.
    Load(const std::string& socket, unsigned clients, unsigned board, uint32_t seed, Body body);
    ~Load(); // stops

    // Blocks until every client has run `rounds` more rounds (bounded); false on the bound.
    bool runRounds(unsigned rounds);
    void stop();
    // Everything the bodies reported, and connection or open failures.
    std::vector<std::string> problems() const;
    uint64_t rounds() const { return m_rounds.load(); }

private:
    void client(const std::string& socket, unsigned board, uint32_t seed, size_t index);
    void report(std::string problem);

    Body m_body;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_rounds{0};
    mutable std::mutex m_lock; // guards m_problems, m_perClient
    std::condition_variable m_progress;
    std::vector<uint64_t> m_perClient; // rounds run; UINT64_MAX for a client that gave up
    std::vector<std::string> m_problems;
    std::vector<std::thread> m_threads;
};

// Client processes (chaos_client) that announce each call on a pipe; each one is killed with
// SIGKILL when it announces its chosen call, or left to finish.
struct FleetOutcome {
    unsigned finished = 0;             // exited with their expected code on their own
    unsigned killed = 0;               // ended by the test's SIGKILL
    std::vector<std::string> failures; // any other end, with the client's seed and plan
};

struct ClientPlan {
    std::string board; // "VORNpci0"
    uint32_t seed = 0;
    unsigned steps = 0;
    int killAtCall = -1; // announcement number (0: while connecting) or -1: never
    int uid = -1;        // with gid: the user the client becomes first (-1: the test's own)
    int gid = -1;
    int expectedExit = 0; // what an unkilled client exits with (3: refused by the daemon)
};

// Runs the clients of `plans`, at most `maxRunning` of them at once (the next starts as one
// ends), and sorts how each one ended.
FleetOutcome runFleet(const std::string& socket, const std::vector<ClientPlan>& plans,
                      size_t maxRunning = 32);

} // namespace chaostest
