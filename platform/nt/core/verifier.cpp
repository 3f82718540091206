// The verifier's report log: process-wide, thread-safe, consumed by tests.
#include "ntemu/verifier.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace ntemu {

namespace {

struct Log {
    std::mutex mutex;
    std::vector<VerifierReport> reports;
    std::function<void(const VerifierReport&)> observer;
    bool quiet = false;
};

Log& log() {
    static Log instance;
    return instance;
}

} // namespace

const char* checkName(Check check) {
    switch (check) {
    case Check::IrqlTooHigh:
        return "IrqlTooHigh";
    case Check::IrqlNotExact:
        return "IrqlNotExact";
    case Check::RaiseToLower:
        return "RaiseToLower";
    case Check::LowerToHigher:
        return "LowerToHigher";
    case Check::SleepAtDispatch:
        return "SleepAtDispatch";
    case Check::SpinLockReleaseIrql:
        return "SpinLockReleaseIrql";
    case Check::SpinLockRecursion:
        return "SpinLockRecursion";
    case Check::SpinLockNotOwned:
        return "SpinLockNotOwned";
    case Check::LockOrder:
        return "LockOrder";
    case Check::IrqlUnbalanced:
        return "IrqlUnbalanced";
    case Check::DoubleCompletion:
        return "DoubleCompletion";
    case Check::CompleteWithCancelRoutine:
        return "CompleteWithCancelRoutine";
    case Check::CompleteWithPendingStatus:
        return "CompleteWithPendingStatus";
    case Check::PendingNotReturned:
        return "PendingNotReturned";
    case Check::PendingNotMarked:
        return "PendingNotMarked";
    case Check::DispatchStatusMismatch:
        return "DispatchStatusMismatch";
    case Check::DispatchLeftIrp:
        return "DispatchLeftIrp";
    case Check::IrpTouchedAfterCompletion:
        return "IrpTouchedAfterCompletion";
    case Check::InformationOverrun:
        return "InformationOverrun";
    case Check::PoolLeak:
        return "PoolLeak";
    case Check::PoolBadFree:
        return "PoolBadFree";
    case Check::PoolOverrun:
        return "PoolOverrun";
    case Check::PoolZeroBytes:
        return "PoolZeroBytes";
    case Check::TimerInFreedMemory:
        return "TimerInFreedMemory";
    case Check::DpcInFreedMemory:
        return "DpcInFreedMemory";
    case Check::ResourceLeak:
        return "ResourceLeak";
    case Check::UnclaimedInterrupt:
        return "UnclaimedInterrupt";
    case Check::DeviceQueueNotBusy:
        return "DeviceQueueNotBusy";
    case Check::CancelLockHeld:
        return "CancelLockHeld";
    case Check::DoubleDelete:
        return "DoubleDelete";
    case Check::InvalidParameter:
        return "InvalidParameter";
    case Check::NotImplemented:
        return "NotImplemented";
    }
    return "UnknownCheck";
}

std::string VerifierReport::text() const {
    std::string out = "verifier: ";
    out += checkName(check);
    out += " in ";
    out += routine;
    if (!detail.empty()) {
        out += ": ";
        out += detail;
    }
    return out;
}

namespace verifier {

void report(Check check, const char* routine, std::string detail) {
    VerifierReport entry{check, routine ? routine : "?", std::move(detail)};
    std::function<void(const VerifierReport&)> observer;
    {
        std::lock_guard lock(log().mutex);
        if (!log().quiet)
            std::fprintf(stderr, "%s\n", entry.text().c_str());
        log().reports.push_back(entry);
        observer = log().observer;
    }
    if (observer)
        observer(entry);
}

std::vector<VerifierReport> take() {
    std::lock_guard lock(log().mutex);
    std::vector<VerifierReport> out;
    out.swap(log().reports);
    return out;
}

size_t pendingCount() {
    std::lock_guard lock(log().mutex);
    return log().reports.size();
}

bool has(Check check) {
    std::lock_guard lock(log().mutex);
    return std::any_of(log().reports.begin(), log().reports.end(),
                       [check](const VerifierReport& r) { return r.check == check; });
}

size_t consume(Check check) {
    std::lock_guard lock(log().mutex);
    auto& reports = log().reports;
    auto kept = std::remove_if(reports.begin(), reports.end(),
                               [check](const VerifierReport& r) { return r.check == check; });
    size_t count = static_cast<size_t>(reports.end() - kept);
    reports.erase(kept, reports.end());
    return count;
}

void setQuiet(bool quiet) {
    std::lock_guard lock(log().mutex);
    log().quiet = quiet;
}

void setObserver(std::function<void(const VerifierReport&)> observer) {
    std::lock_guard lock(log().mutex);
    log().observer = std::move(observer);
}

} // namespace verifier
} // namespace ntemu
