// The daemon the client benchmarks talk to: a vornhost child on a private socket with one
// board in sync with its reference, its allocations counted, the library pointed at it and the
// board open, plus a second connection of the benchmark's own for status and board control.
#pragma once

#include "alloc_count.h"
#include "bench_support.h"
#include "daemon_process.h"

#include "daemon_client.h"
#include "vorn.h"

#include <memory>
#include <string>

namespace vornbench {

class DaemonRig {
public:
    // The one rig of this program, started at first use; null (with a message on standard
    // error) when the daemon does not come up.
    static DaemonRig* get();
    ~DaemonRig();

    BoardHandle board() const { return m_board; }
    vornhost::DaemonClient& control() { return *m_control; }
    const std::string& socketPath() const { return m_daemon->socketPath(); }
    uint64_t daemonAllocations() const { return m_allocs.read(); }
    // Blocks (bounded) until a request waits in the driver.
    bool awaitParkedWait();
    // External events strobed on the board, tagged now; returns once the daemon has answered.
    bool strobe(uint32_t count = 1);
    // One event strobed without waiting for the answer, so that no thread of this program
    // wakes while the event travels; the answer is collected by the next call.
    bool strobeUnanswered();
    // Events the board has tagged so far; ~0 when it cannot be read.
    uint64_t eventsTagged();

private:
    DaemonRig() = default;
    bool start();

    std::unique_ptr<vorntest::DaemonProcess> m_daemon;
    SharedAllocCounter m_allocs;
    std::unique_ptr<vornhost::DaemonClient> m_control;
    int m_rawControl = -1;  // a connection of its own for strobes sent ahead of their answer
    bool m_rawOwed = false; // a strobe's answer is still to be read
    uint32_t m_rawId = 1;
    BoardHandle m_board = nullptr;
};

// The directory this program lives in (build/<dir>/bench).
std::string programDirectory();

} // namespace vornbench
