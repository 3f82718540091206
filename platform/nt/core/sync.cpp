// Kernel mutexes and the wait on them: a recursive, owned lock for PASSIVE_LEVEL code that
// sleeps while holding it (a driver's board exchanges, for instance).
#include "kernel_impl.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace ntemu {
namespace {

constexpr UCHAR kMutantObject = 2;

// One lock and wake-up for every kernel mutex: waits are rare and short, and a mutex stays
// a plain structure the driver can embed anywhere.
std::mutex g_syncMutex;
std::condition_variable g_released;

thread_local char t_threadTag;

PVOID currentThreadTag() {
    return &t_threadTag;
}

bool isMutex(PVOID object) {
    return static_cast<DISPATCHER_HEADER*>(object)->Type == kMutantObject;
}

} // namespace
} // namespace ntemu

using namespace ntemu;

// Any IRQL. The mutex starts free (signalled).
VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    std::lock_guard<std::mutex> guard(g_syncMutex);
    Mutex->Header.Type = kMutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->OwnerThread = nullptr;
    Mutex->Level = Level;
}

// Below DISPATCH_LEVEL for a wait that may block; at most DISPATCH_LEVEL for a zero time-out.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    static const char* const routine = "KeWaitForSingleObject";
    if (Object == nullptr) {
        verifier::report(Check::InvalidParameter, routine, "null object");
        return STATUS_INVALID_PARAMETER;
    }
    if (!isMutex(Object)) {
        verifier::report(Check::NotImplemented, routine, "waits only on kernel mutexes");
        return STATUS_NOT_IMPLEMENTED;
    }
    const bool tryOnly = Timeout != nullptr && Timeout->QuadPart == 0;
    if (Timeout != nullptr && !tryOnly) {
        verifier::report(Check::NotImplemented, routine, "time-outs other than none or zero");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (tryOnly) {
        irql::checkAtMost(routine, DISPATCH_LEVEL);
    } else if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        verifier::report(Check::SleepAtDispatch, routine,
                         "wait at IRQL " + std::to_string(KeGetCurrentIrql()));
        return STATUS_UNSUCCESSFUL;
    }
    auto* mutex = static_cast<PRKMUTEX>(Object);
    std::unique_lock<std::mutex> lock(g_syncMutex);
    const PVOID self = currentThreadTag();
    auto available = [&] { return mutex->OwnerThread == nullptr || mutex->OwnerThread == self; };
    if (tryOnly && !available())
        return STATUS_TIMEOUT;
    g_released.wait(lock, available);
    mutex->OwnerThread = self;
    --mutex->Header.SignalState;
    return STATUS_SUCCESS;
}

// At most DISPATCH_LEVEL. Returns the state before the release; the caller must own the mutex.
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    static const char* const routine = "KeReleaseMutex";
    irql::checkAtMost(routine, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(g_syncMutex);
    const LONG previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != currentThreadTag()) {
        verifier::report(Check::InvalidParameter, routine, "mutex not owned by the caller");
        return previous;
    }
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        g_released.notify_all();
    }
    return previous;
}

// Any IRQL. 1 when free, 0 or less while held.
LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> guard(g_syncMutex);
    return Mutex->Header.SignalState;
}

// PASSIVE_LEVEL (below DISPATCH_LEVEL: it sleeps).
VOID KeFlushQueuedDpcs() {
    static const char* const routine = "KeFlushQueuedDpcs";
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        verifier::report(Check::SleepAtDispatch, routine,
                         "flush at IRQL " + std::to_string(KeGetCurrentIrql()));
        return;
    }
    Kernel::Impl& k = Kernel::current().impl();
    std::unique_lock<std::mutex> lock(k.dpcMutex);
    k.dpcIdle.wait(lock, [&] { return k.stopping || (k.dpcQueued == 0 && k.dpcRunning == 0); });
}
