// The bare baselines: a second process that does only what the socket and the wake-up cost,
// with none of the host's work. The benchmark starts this program again as that process.
#pragma once

#include "bench_support.h"
#include "child_process.h"

#include <cstddef>
#include <memory>
#include <string>

namespace vornbench {

// Runs a peer when argv names one ("--peer-echo" or "--peer-event"); its exit code, or -1
// when argv is a benchmark run.
int runPeerIfAsked(int argc, char** argv);

// Echo: each request of `requestSize` bytes is answered with `replySize` bytes.
// Event: each byte received is stamped and written to an eventfd; a second thread woken by
// the eventfd sends `replySize` bytes that start with the stamp (realtime, whole microseconds).
class BarePeer {
public:
    enum class Kind { Echo, Event };
    BarePeer(Kind kind, size_t requestSize, size_t replySize);
    ~BarePeer();
    bool connected() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

private:
    std::unique_ptr<vorntest::ChildProcess> m_child;
    int m_fd = -1;
};

} // namespace vornbench
