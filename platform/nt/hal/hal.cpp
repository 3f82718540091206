// The HAL object: wires a machine description to the kernel, and checks a driver's HAL
// resources when it unloads.
#include "hal_impl.h"

#include <atomic>
#include <cassert>
#include <cstdio>
#include <string>

namespace ntemu {
namespace {

std::atomic<Hal*> g_current{nullptr};

// The affinity of "every processor" that interrupts and resource lists carry.
KAFFINITY allProcessorsOf(Kernel& kernel) {
    unsigned processors = kernel.options().processors;
    if (processors == 0)
        processors = 1;
    return processors >= 32 ? ~KAFFINITY{0} : (KAFFINITY{1} << processors) - 1;
}

std::string lineName(unsigned irq) {
    char text[48];
    std::snprintf(text, sizeof text, "IRQ %u (vector 0x%X)", irq, vectorForIrq(irq));
    return text;
}

} // namespace

Hal::Impl::Impl(Kernel& kernel_, bus::Machine& machine_)
    : kernel(kernel_), machine(machine_), interrupts(kernel_, allProcessorsOf(kernel_)) {}

void Hal::Impl::unloadCheck(PDRIVER_OBJECT driver, const char* routine) {
    for (unsigned irq : interrupts.disconnectAllOf(driver))
        verifier::report(Check::ResourceLeak, routine,
                         "interrupt on " + lineName(irq) + " still connected");
    for (const auto& mapping : mappings.releaseAllOf(driver)) {
        char text[96];
        std::snprintf(text, sizeof text, "I/O space mapping of 0x%llX (%zu bytes) still mapped",
                      static_cast<unsigned long long>(mapping.physical),
                      static_cast<size_t>(mapping.length));
        verifier::report(Check::ResourceLeak, routine, text);
    }
    for (const auto& key : claims.releaseAllOf(driver)) {
        std::string path(key.path.begin(), key.path.end());
        const char* kind = key.source == hal::ClaimSource::Assigned ? "assigned" : "reported";
        verifier::report(Check::ResourceLeak, routine,
                         std::string("resource claim (") + kind + ") still held" +
                             (path.empty() ? std::string() : " under " + path));
    }
}

Hal::Hal(Kernel& kernel, bus::Machine& machine) : m_impl(std::make_unique<Impl>(kernel, machine)) {
    auto liveness = m_impl->liveness;
    liveness->impl = m_impl.get();
    kernel.addDrain([liveness] {
        std::lock_guard lock(liveness->mutex);
        return liveness->impl != nullptr && liveness->impl->interrupts.drain();
    });
    kernel.addUnloadCheck([liveness](PDRIVER_OBJECT driver, const char* routine) {
        std::lock_guard lock(liveness->mutex);
        if (liveness->impl != nullptr)
            liveness->impl->unloadCheck(driver, routine);
    });
    Hal* previous = g_current.exchange(this);
    assert(previous == nullptr && "one HAL at a time");
    (void)previous;
    hal::publishPortMachine(&machine);
}

Hal::~Hal() {
    hal::publishPortMachine(nullptr);
    g_current.store(nullptr);
    std::lock_guard lock(m_impl->liveness->mutex);
    m_impl->liveness->impl = nullptr;
}

Hal& Hal::current() {
    Hal* hal = g_current.load();
    assert(hal != nullptr && "no HAL is active");
    return *hal;
}

Hal* Hal::currentOrNull() {
    return g_current.load();
}

bus::IrqLine& Hal::irqLine(unsigned irq) {
    return m_impl->interrupts.line(irq);
}
bus::IrqLine& Hal::irqInput(unsigned irq) {
    return m_impl->interrupts.addInput(irq);
}
size_t Hal::connectedInterruptCount() const {
    return m_impl->interrupts.connectedCount();
}
size_t Hal::mappingCount() const {
    return m_impl->mappings.count();
}
size_t Hal::claimCount() const {
    return m_impl->claims.count();
}
bool Hal::lineMasked(unsigned irq) const {
    return m_impl->interrupts.masked(irq);
}
Hal::Impl& Hal::impl() {
    return *m_impl;
}

} // namespace ntemu
