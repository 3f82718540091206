// The verifier: every kernel entry point checks its caller and reports violations here, naming
// the routine. Reports are process-wide so that a test can assert on them after the kernel that
// produced them is gone; the test harness fails any test that leaves a report unexamined.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ntemu {

enum class Check {
    IrqlTooHigh,               // routine called above its allowed IRQL
    IrqlNotExact,              // routine that needs exactly one IRQL called at another
    RaiseToLower,              // KfRaiseIrql to a lower level (0x30)
    LowerToHigher,             // KfLowerIrql to a higher level (0x31)
    SleepAtDispatch,           // wait or delay at DISPATCH_LEVEL or above
    SpinLockReleaseIrql,       // spin lock released at an IRQL other than DISPATCH_LEVEL
    SpinLockRecursion,         // spin lock acquired again by its owner (0x0F)
    SpinLockNotOwned,          // spin lock released by a thread that does not hold it (0x10)
    LockOrder,                 // locks taken in an order that closes a cycle
    IrqlUnbalanced,            // driver routine returned at another IRQL or holding a lock
    DoubleCompletion,          // IofCompleteRequest on a completed IRP (0x44)
    CompleteWithCancelRoutine, // completion with a cancel routine still set
    CompleteWithPendingStatus, // completion with STATUS_PENDING or -1 as the status
    PendingNotReturned,        // marked pending, dispatch returned another status
    PendingNotMarked,          // STATUS_PENDING returned for an IRP never marked pending
    DispatchStatusMismatch,    // returned status differs from IoStatus.Status
    DispatchLeftIrp,           // dispatch returned neither pending nor a completed IRP
    IrpTouchedAfterCompletion,
    InformationOverrun, // Information larger than the caller's output buffer
    PoolLeak,           // pool still allocated at driver unload, by tag
    PoolBadFree,        // freeing a pointer the pool never returned, or twice
    PoolOverrun,        // guard bytes behind a block overwritten
    PoolZeroBytes,      // allocation of zero bytes
    TimerInFreedMemory, // inserted timer inside storage being freed (0xC7)
    DpcInFreedMemory,   // queued DPC inside storage being freed (0xC7)
    ResourceLeak,       // device, link, interrupt, mapping or claim alive at unload
    UnclaimedInterrupt, // asserted line that no connected routine claims
    DeviceQueueNotBusy, // KeRemoveDeviceQueue on an idle queue
    CancelLockHeld,     // cancel routine returned holding the cancel spin lock
    DoubleDelete,       // IoDeleteDevice twice
    InvalidParameter,   // a kernel routine given an argument it cannot accept
    NotImplemented,     // an emulated routine asked for something it does not do
};

const char* checkName(Check check);

struct VerifierReport {
    Check check;
    std::string routine;
    std::string detail;
    std::string text() const;
};

namespace verifier {

// Records a violation and writes it to standard error (unless quiet). Never throws.
void report(Check check, const char* routine, std::string detail = {});

// Reports recorded since the last take, in order; taking clears them.
std::vector<VerifierReport> take();
size_t pendingCount();
// Whether a report of this check is pending; does not consume it.
bool has(Check check);
// Consumes every pending report of `check` and returns how many there were.
size_t consume(Check check);

void setQuiet(bool quiet);
// Called with each report as it is made (after recording), e.g. to abort a daemon.
void setObserver(std::function<void(const VerifierReport&)> observer);

} // namespace verifier
} // namespace ntemu
