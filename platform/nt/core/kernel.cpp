// The kernel object: one per process at a time. It owns the processors, the timer queue and
// the pool, ties them to the clock, and lets tests wait until the machine has settled.
#include "kernel_impl.h"

#include <cassert>
#include <chrono>
#include <cstdio>

namespace ntemu {

namespace {

std::atomic<Kernel*> g_current{nullptr};

// A settle that has not become idle within this real time gives up: something keeps queuing
// work (a DPC that re-queues itself forever), and a test must fail rather than hang.
constexpr auto kSettleBound = std::chrono::seconds(60);

} // namespace

Kernel::Kernel(KernelOptions options) : m_impl(std::make_unique<Impl>()) {
    Kernel* expected = nullptr;
    const bool first = g_current.compare_exchange_strong(expected, this);
    assert(first && "one Kernel at a time per process");
    (void)first;
    Impl& k = *m_impl;
    k.options = options;
    // The cancel spin lock outlives kernels; a thread of an earlier machine that died holding
    // it must not hang this one.
    KeInitializeSpinLock(cancelSpinLock());
    if (options.clock) {
        k.clock = options.clock;
    } else {
        k.ownedClock = std::make_unique<RealClock>();
        k.clock = k.ownedClock.get();
    }
    detail::startTimers(k);
    detail::startProcessors(k);
    if (auto* virtualClock = dynamic_cast<VirtualClock*>(k.clock))
        virtualClock->setSettleHook([this] { settle(); });
}

Kernel::~Kernel() {
    Impl& k = *m_impl;
    settle();
    if (auto* virtualClock = dynamic_cast<VirtualClock*>(k.clock))
        virtualClock->setSettleHook(nullptr);
    detail::stopTimers(k);
    detail::stopProcessors(k);
    detail::releasePool(k);
    k.ownedClock.reset();
    g_current.store(nullptr);
}

Kernel& Kernel::current() {
    Kernel* kernel = g_current.load();
    assert(kernel && "no Kernel is active");
    return *kernel;
}

Kernel* Kernel::currentOrNull() {
    return g_current.load();
}

Clock& Kernel::clock() {
    return *m_impl->clock;
}

const KernelOptions& Kernel::options() const {
    return m_impl->options;
}

Kernel::Impl& Kernel::impl() {
    return *m_impl;
}

// Repeats whole passes (DPCs, then every drain) until one finds nothing to wait for. On a
// processor thread it returns at once: that processor cannot become idle while it waits.
void Kernel::settle() {
    Impl& k = *m_impl;
    if (detail::t_processorOf == &k)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kSettleBound;
    for (;;) {
        bool busy = detail::waitDpcsIdle(k);
        std::vector<std::function<bool()>> drains;
        {
            std::lock_guard lock(k.hooksMutex);
            drains = k.drains;
        }
        for (auto& drain : drains)
            busy = drain() || busy;
        if (!busy)
            return;
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "ntemu: the kernel did not settle within %lld s\n",
                         static_cast<long long>(kSettleBound.count()));
            return;
        }
    }
}

void Kernel::addDrain(std::function<bool()> drain) {
    std::lock_guard lock(m_impl->hooksMutex);
    m_impl->drains.push_back(std::move(drain));
}

void Kernel::checkFreedRange(const void* begin, size_t length, const char* routine) {
    const auto from = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t to = from + length;
    detail::removeTimersInRange(*m_impl, from, to, routine);
    detail::removeDpcsInRange(*m_impl, from, to, routine);
    detail::forgetLocksInRange(*m_impl, from, to);
}

bool Kernel::enterInterrupt() {
    return detail::enterInterrupt(*m_impl);
}

void Kernel::leaveInterrupt(bool entered) {
    detail::leaveInterrupt(*m_impl, entered);
}

void Kernel::addUnloadCheck(std::function<void(PDRIVER_OBJECT, const char* routine)> check) {
    std::lock_guard lock(m_impl->hooksMutex);
    m_impl->unloadChecks.push_back(std::move(check));
}

void Kernel::runUnloadChecks(PDRIVER_OBJECT driver, const char* routine) {
    std::vector<std::function<void(PDRIVER_OBJECT, const char*)>> checks;
    {
        std::lock_guard lock(m_impl->hooksMutex);
        checks = m_impl->unloadChecks;
    }
    for (auto& check : checks)
        check(driver, routine);
}

void Kernel::setIntegerDigitLimit(unsigned digits) {
    m_impl->integerDigitLimit = digits;
}

unsigned Kernel::integerDigitLimit() const {
    return m_impl->integerDigitLimit;
}

} // namespace ntemu
