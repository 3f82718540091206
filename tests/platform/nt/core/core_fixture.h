// Shared set-up for the kernel core tests: a kernel on a virtual clock, and a gate that lets a
// DPC routine hold its processor until the test opens it (bounded in real time).
#pragma once

#include "ntemu/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace ntemu::test {

class KernelFixture : public testing::Test {
protected:
    explicit KernelFixture(Ticks100ns tick = 0) {
        KernelOptions options;
        options.clock = &m_clock;
        options.timerTick = tick;
        m_kernel = std::make_unique<Kernel>(options);
    }
    ~KernelFixture() override {
        m_kernel.reset();
        irql::set(PASSIVE_LEVEL);
    }

    Kernel& kernel() { return *m_kernel; }
    VirtualClock& clock() { return m_clock; }

private:
    VirtualClock m_clock{1};
    std::unique_ptr<Kernel> m_kernel;
};

// A one-shot gate with a count of arrivals. Waits are bounded so a broken build fails instead
// of hanging; the bound is a safety net, never part of what is tested.
class Gate {
public:
    void arrive() {
        std::unique_lock lock(m_mutex);
        ++m_arrived;
        m_changed.notify_all();
    }
    bool waitArrivals(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kBound, [&] { return m_arrived >= count; });
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool waitOpen() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kBound, [&] { return m_open; });
    }

private:
    static constexpr auto kBound = std::chrono::seconds(20);
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_arrived = 0;
    bool m_open = false;
};

} // namespace ntemu::test
