// IRQL of each thread (each thread is a processor context of its own), the processor number,
// and the balance check the kernel layer puts around every call into driver code.
#include "kernel_impl.h"

#include <string>

namespace ntemu {

namespace detail {
thread_local ULONG t_processor = 0;
thread_local Kernel::Impl* t_processorOf = nullptr;
} // namespace detail

namespace {

// Request threads start at PASSIVE_LEVEL; processor and interrupt threads set their own.
thread_local KIRQL t_irql = PASSIVE_LEVEL;

std::string levels(const char* what, KIRQL from, KIRQL to) {
    return std::string(what) + " from IRQL " + std::to_string(from) + " to " + std::to_string(to);
}

} // namespace

namespace irql {

void checkAtMost(const char* routine, KIRQL maximum) {
    if (t_irql > maximum)
        verifier::report(Check::IrqlTooHigh, routine,
                         "called at IRQL " + std::to_string(t_irql) + ", allowed at most " +
                             std::to_string(maximum));
}

void checkExactly(const char* routine, KIRQL required) {
    if (t_irql != required)
        verifier::report(Check::IrqlNotExact, routine,
                         "called at IRQL " + std::to_string(t_irql) + ", must be called at " +
                             std::to_string(required));
}

void set(KIRQL irql) {
    t_irql = irql;
}

} // namespace irql

DriverCallGuard::DriverCallGuard(const char* routine)
    : m_routine(routine), m_irql(t_irql), m_locks(irql::heldLockCount()) {}

// A routine that comes back unbalanced is reported, and the caller's IRQL is put back so that
// one faulty routine does not make every later check of this thread fire as well.
DriverCallGuard::~DriverCallGuard() {
    const KIRQL now = t_irql;
    const size_t locks = irql::heldLockCount();
    if (now == m_irql && locks == m_locks)
        return;
    verifier::report(Check::IrqlUnbalanced, m_routine,
                     "entered at IRQL " + std::to_string(m_irql) + " holding " +
                         std::to_string(m_locks) + " spin lock(s), returned at IRQL " +
                         std::to_string(now) + " holding " + std::to_string(locks));
    t_irql = m_irql;
}

} // namespace ntemu

using namespace ntemu;

// Any IRQL. Returns the calling processor's IRQL.
KIRQL KeGetCurrentIrql() {
    return t_irql;
}

// Any IRQL; newIrql must not be below the current one. Returns the previous IRQL.
KIRQL KfRaiseIrql(KIRQL newIrql) {
    const KIRQL old = t_irql;
    if (newIrql > HIGH_LEVEL) {
        verifier::report(Check::InvalidParameter, "KfRaiseIrql",
                         "IRQL " + std::to_string(newIrql) + " does not exist");
        return old;
    }
    if (newIrql < old) {
        verifier::report(Check::RaiseToLower, "KfRaiseIrql", levels("raise", old, newIrql));
        return old;
    }
    t_irql = newIrql;
    return old;
}

// Any IRQL; newIrql must not be above the current one.
VOID KfLowerIrql(KIRQL newIrql) {
    const KIRQL old = t_irql;
    if (newIrql > old) {
        verifier::report(Check::LowerToHigher, "KfLowerIrql", levels("lower", old, newIrql));
        return;
    }
    t_irql = newIrql;
}

// Any IRQL. Processor threads return their number; every other thread counts as processor 0.
ULONG KeGetCurrentProcessorNumber() {
    return detail::t_processor;
}
