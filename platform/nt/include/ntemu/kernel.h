// The emulated kernel's core: processors that run DPCs, the timer queue on the shared clock,
// IRQL per thread, spin-lock bookkeeping, pool with tags. One Kernel is active per process at a
// time; the driver-facing routines of ntddk.h find it through Kernel::current().
#pragma once

#include "ntddk.h"
#include "ntemu/clock.h"
#include "ntemu/verifier.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ntemu {

struct KernelOptions {
    // Non-owning; null gives the kernel its own RealClock.
    Clock* clock = nullptr;
    // DPC processors. Two, so that DPC-versus-dispatch races can happen.
    unsigned processors = 2;
    // Timer expiry is noticed only at ticks of this length (0: exactly at the due time).
    Ticks100ns timerTick = 0;
    // Each IRP on its own pages, protected after completion to catch late touches (costs a
    // system call per request; on in tests, off in production and benchmarks).
    bool specialIrpPool = false;
};

struct PoolBlockInfo {
    ULONG tag;
    POOL_TYPE type;
    size_t bytes;
    const void* address;
};

class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& current(); // asserts that one is active
    static Kernel* currentOrNull();

    Clock& clock();
    const KernelOptions& options() const;

    // Waits until no DPC is queued or running and every registered drain reports idle.
    void settle();
    // Subsystems (HAL interrupts, I/O manager workers) register how to wait for their own
    // work; a drain returns true when it found work and waited for it.
    void addDrain(std::function<bool()> drain);

    // Interrupt delivery on processor 0. The interrupt thread calls enterInterrupt before the
    // service routines of one interrupt and leaveInterrupt (with its result) after them:
    // leaveInterrupt runs the DPCs queued on processor 0 in the calling thread at
    // DISPATCH_LEVEL, as NT runs them when an ISR returns, and lowers it to PASSIVE_LEVEL.
    // enterInterrupt is false when a DPC is running there; the queued ones then follow it on
    // the processor's own thread.
    bool enterInterrupt();
    void leaveInterrupt(bool entered);

    // Pool accounting: blocks allocated through ExAllocatePoolWithTag and not freed.
    std::vector<PoolBlockInfo> poolBlocks() const;
    size_t poolBlockCount(ULONG tag) const;
    // Reports PoolLeak for every outstanding block (by tag), naming `routine`; returns count.
    size_t reportPoolLeaks(const char* routine);

    // Reports DPCs queued or timers inserted inside [begin, begin + length) (memory being freed
    // by `routine`) and takes them out so they cannot fire into freed storage.
    void checkFreedRange(const void* begin, size_t length, const char* routine);

    // Unload checks that other subsystems add (interrupts, links, mappings, claims).
    void addUnloadCheck(std::function<void(PDRIVER_OBJECT, const char* routine)> check);
    void runUnloadChecks(PDRIVER_OBJECT driver, const char* routine);

    // Lock order: declares that `first` is always taken before `second`, so that the first
    // acquisition in the other order is reported (LockOrder) without the race ever happening.
    void declareLockOrder(PKSPIN_LOCK first, PKSPIN_LOCK second);
    // A name for a lock in verifier reports (kept until the lock's storage is freed).
    void nameSpinLock(PKSPIN_LOCK lock, std::string name);
    // The I/O manager's cancel spin lock (IoAcquireCancelSpinLock / IoReleaseCancelSpinLock).
    static PKSPIN_LOCK cancelSpinLock();

    // RtlIntegerToUnicodeString converts through an internal buffer of this many digits; a
    // longer digit string fails with STATUS_BUFFER_OVERFLOW. Default 16.
    void setIntegerDigitLimit(unsigned digits);
    unsigned integerDigitLimit() const;

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> m_impl;
};

// Helpers for the other parts of the kernel layer.
namespace irql {
// Reports IrqlTooHigh when the caller is above `maximum`.
void checkAtMost(const char* routine, KIRQL maximum);
// Reports IrqlNotExact when the caller is not at `required`.
void checkExactly(const char* routine, KIRQL required);
// Sets the calling thread's IRQL without checks (processor threads, the interrupt thread).
void set(KIRQL irql);
// Number of spin locks the calling thread holds (for balance checks around driver calls).
size_t heldLockCount();
} // namespace irql

// Runs a driver routine with the verifier's balance check: reports IrqlUnbalanced when it
// returns at another IRQL or with another number of spin locks held.
class DriverCallGuard {
public:
    explicit DriverCallGuard(const char* routine);
    ~DriverCallGuard();

private:
    const char* m_routine;
    KIRQL m_irql;
    size_t m_locks;
};

} // namespace ntemu
