// Fixture for the library's calls over each way of reaching a host: a private in-process host
// on a virtual clock, or a vornhost daemon the test starts (real clock: short time-outs, and
// assertions on results only where timing matters).
#pragma once

#include "one_board.h"
#include "vorn.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace libtest {

using vorntest::kMilli;
using vorntest::kSecond;
using vorntest::kStartUtc;
using vorntest::oneBoard;

enum class RigKind { InProcess, Daemon };

inline void PrintTo(RigKind kind, std::ostream* out) {
    *out << (kind == RigKind::InProcess ? "in-process host" : "daemon");
}

// One way of reaching a host, with the test's own view of its boards.
class Rig {
public:
    virtual ~Rig() = default;
    // Points the library at the host; false when the host cannot be had.
    virtual bool start(const vornsim::MachineDescription& machine) = 0;
    virtual vornhost::DeviceChannel& control() = 0;
    // Virtual time: the test moves it. Real time: it runs by itself.
    virtual bool virtualTime() const = 0;
    virtual void advance(int64_t ticks) = 0;
    // Blocks until `count` library requests are pending in the driver (virtual time only).
    virtual bool waitForPending(size_t count) = 0;
};

std::unique_ptr<Rig> makeRig(RigKind kind);
// Every way of reaching a host: in-process and the daemon.
std::vector<RigKind> rigKinds();
// Ends a daemon rig's daemon under the library's feet; true when it unloaded cleanly.
bool endDaemon(Rig& rig);
// Starts an ended daemon rig's daemon again on the same socket with `machine`.
bool restartDaemon(Rig& rig, const vornsim::MachineDescription& machine);

class LibTest : public ::testing::TestWithParam<RigKind> {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts on `machine` instead of the one-board default; opens nothing.
    void restart(const vornsim::MachineDescription& machine);

    vornhost::BoardState board(uint32_t index = 0);
    void simulate(vornhost::SimCommand command);
    bool virtualTime() const { return m_rig->virtualTime(); }
    // Runs a call that blocks in the driver on a thread of its own; under virtual time, once it
    // is pending, moves the clock on by `ticks` so that its interrupt or time-out can come.
    uint8_t blockingCall(const std::function<uint8_t()>& call, int64_t ticks);
    void advance(int64_t ticks) { m_rig->advance(ticks); }
    Rig& rig() { return *m_rig; }

    BoardHandle m_handle = nullptr;

private:
    std::unique_ptr<Rig> m_rig;
};

std::string rigName(const ::testing::TestParamInfo<RigKind>& info);

// A fresh directory under the system's temporary directory, removed with what it holds.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace libtest
