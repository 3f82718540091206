// Spin locks and the I/O manager's cancel spin lock. A lock word holds its owner's token while
// it is held, so acquisition is a real spin between threads and the owner is always known;
// each thread keeps the stack of locks it holds for balance and lock-order checks.
#include "kernel_impl.h"

#include <algorithm>
#include <thread>

namespace ntemu {

namespace {

// One entry per acquisition. A recursive acquisition is not taken (it would deadlock), but is
// still recorded as a `phantom` so that the matching release balances it.
struct HeldLock {
    PKSPIN_LOCK lock;
    bool phantom;
};

thread_local std::vector<HeldLock> t_held;
thread_local char t_ownerTag;

KSPIN_LOCK g_cancelSpinLock = 0;

ULONG_PTR ownerToken() {
    return reinterpret_cast<ULONG_PTR>(&t_ownerTag);
}

ULONG_PTR lockWord(PKSPIN_LOCK lock) {
    return __atomic_load_n(lock, __ATOMIC_RELAXED);
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Test-and-test-and-set; yields after a short spin because there may be more emulated
// processors and request threads than host cores.
void spin(PKSPIN_LOCK lock) {
    const ULONG_PTR token = ownerToken();
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        while (lockWord(lock) != 0) {
            if (++spins < 64) {
                cpuRelax();
            } else {
                spins = 0;
                std::this_thread::yield();
            }
        }
    }
}

void acquire(PKSPIN_LOCK lock, const char* routine) {
    Kernel* kernel = Kernel::currentOrNull();
    if (lockWord(lock) == ownerToken()) {
        verifier::report(Check::SpinLockRecursion, routine,
                         detail::describeLock(kernel ? &kernel->impl() : nullptr, lock) +
                             " is already held by this thread");
        t_held.push_back({lock, true});
        return;
    }
    if (kernel && !t_held.empty()) {
        std::vector<PKSPIN_LOCK> held;
        for (const HeldLock& h : t_held)
            if (!h.phantom)
                held.push_back(h.lock);
        detail::noteAcquisition(kernel->impl(), held, lock, routine);
    }
    spin(lock);
    t_held.push_back({lock, false});
}

void release(PKSPIN_LOCK lock, const char* routine) {
    auto it = std::find_if(t_held.rbegin(), t_held.rend(),
                           [lock](const HeldLock& h) { return h.lock == lock; });
    if (it != t_held.rend() && it->phantom) {
        t_held.erase(std::next(it).base());
        return;
    }
    const ULONG_PTR word = lockWord(lock);
    if (it == t_held.rend() || word != ownerToken()) {
        Kernel* kernel = Kernel::currentOrNull();
        verifier::report(Check::SpinLockNotOwned, routine,
                         detail::describeLock(kernel ? &kernel->impl() : nullptr, lock) +
                             (word == 0 ? " is not held" : " is held by another thread"));
        if (it != t_held.rend())
            t_held.erase(std::next(it).base());
        return;
    }
    t_held.erase(std::next(it).base());
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Lowers to the caller's saved IRQL after a release; a saved IRQL above the current one is the
// caller passing back the wrong value.
void lowerAfterRelease(KIRQL newIrql, const char* routine) {
    if (newIrql > KeGetCurrentIrql()) {
        verifier::report(Check::LowerToHigher, routine,
                         "saved IRQL " + std::to_string(newIrql) + " is above the current IRQL " +
                             std::to_string(KeGetCurrentIrql()));
        return;
    }
    irql::set(newIrql);
}

KIRQL raiseAndAcquire(PKSPIN_LOCK lock, const char* routine) {
    const KIRQL old = KeGetCurrentIrql();
    irql::checkAtMost(routine, DISPATCH_LEVEL);
    if (old <= DISPATCH_LEVEL)
        irql::set(DISPATCH_LEVEL);
    acquire(lock, routine);
    return old;
}

void releaseAndLower(PKSPIN_LOCK lock, KIRQL newIrql, const char* routine) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        verifier::report(Check::SpinLockReleaseIrql, routine,
                         "released at IRQL " + std::to_string(KeGetCurrentIrql()));
    release(lock, routine);
    lowerAfterRelease(newIrql, routine);
}

} // namespace

namespace irql {
size_t heldLockCount() {
    return t_held.size();
}
} // namespace irql

namespace detail {
void acquireKeepingIrql(PKSPIN_LOCK lock, const char* routine) {
    acquire(lock, routine);
}
void releaseKeepingIrql(PKSPIN_LOCK lock, const char* routine) {
    release(lock, routine);
}
} // namespace detail

PKSPIN_LOCK Kernel::cancelSpinLock() {
    return &g_cancelSpinLock;
}

} // namespace ntemu

using namespace ntemu;

// Any IRQL (the lock must be in nonpaged storage).
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// IRQL <= DISPATCH_LEVEL. Raises to DISPATCH_LEVEL, spins until it owns the lock, returns the
// previous IRQL.
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    return raiseAndAcquire(SpinLock, "KfAcquireSpinLock");
}

// IRQL == DISPATCH_LEVEL, lock held by the caller. Releases it and lowers to NewIrql.
VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    releaseAndLower(SpinLock, NewIrql, "KfReleaseSpinLock");
}

// IRQL == DISPATCH_LEVEL. Takes the lock without changing the IRQL.
VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    irql::checkExactly("KefAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL);
    acquire(SpinLock, "KefAcquireSpinLockAtDpcLevel");
}

// IRQL == DISPATCH_LEVEL, lock held by the caller. Releases it without changing the IRQL.
VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    irql::checkExactly("KefReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL);
    release(SpinLock, "KefReleaseSpinLockFromDpcLevel");
}

// IRQL <= DISPATCH_LEVEL. Takes the system-wide cancel spin lock; *Irql gets the previous IRQL.
VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = raiseAndAcquire(&g_cancelSpinLock, "IoAcquireCancelSpinLock");
}

// IRQL == DISPATCH_LEVEL, cancel spin lock held. Releases it and lowers to Irql.
VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    releaseAndLower(&g_cancelSpinLock, Irql, "IoReleaseCancelSpinLock");
}
