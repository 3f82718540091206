// Private state of the emulated kernel, shared by the files of the core and nowhere else.
#pragma once

#include "ntemu/kernel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ntemu {

// One emulated processor: a thread that runs the DPCs of its own FIFO queue at DISPATCH_LEVEL.
struct Processor {
    ULONG number = 0;
    LIST_ENTRY queue{}; // KDPC.DpcListEntry links, guarded by Impl::dpcMutex
    bool busy = false;  // running a DPC or taking an interrupt; dpcMutex
    std::condition_variable wake;
    std::thread thread;
};

struct PoolBlock {
    ULONG tag;
    POOL_TYPE type;
    size_t bytes;
};

struct Kernel::Impl {
    KernelOptions options;
    std::unique_ptr<Clock> ownedClock;
    Clock* clock = nullptr;

    // DPC processors. dpcMutex guards every queue, every KDPC.DpcData and the counters.
    std::mutex dpcMutex;
    std::condition_variable dpcIdle;
    std::vector<std::unique_ptr<Processor>> processors;
    size_t dpcQueued = 0;
    size_t dpcRunning = 0;
    bool stopping = false;

    // Timer queue: KTIMERs linked through TimerListEntry in due order; `alarm` is armed for the
    // head. timerMutex guards the list and the Header fields of inserted timers.
    std::mutex timerMutex;
    LIST_ENTRY timerQueue{};
    ClockAlarm alarm;

    // Pool: live blocks by address, and recently freed ones held back from reuse so that a
    // second free is recognised as such.
    mutable std::mutex poolMutex;
    std::map<uintptr_t, PoolBlock> pool;
    std::deque<std::pair<uintptr_t, size_t>> quarantine;
    std::set<uintptr_t> quarantined;

    // Lock order: an edge A -> B means B was acquired while A was held (or was declared so).
    std::mutex lockGraphMutex;
    std::unordered_map<uintptr_t, std::set<uintptr_t>> lockEdges;
    std::unordered_map<uintptr_t, std::string> lockNames;

    std::mutex hooksMutex;
    std::vector<std::function<bool()>> drains;
    std::vector<std::function<void(PDRIVER_OBJECT, const char*)>> unloadChecks;

    std::atomic<unsigned> integerDigitLimit{16};
};

namespace detail {

// The processor the calling thread runs on: set on processor threads; 0 everywhere else.
extern thread_local ULONG t_processor;
// The kernel whose processor thread this is (null on other threads).
extern thread_local Kernel::Impl* t_processorOf;

// dpc.cpp
void startProcessors(Kernel::Impl& k);
void stopProcessors(Kernel::Impl& k);
// Waits for every DPC to leave its queue and finish; true when there was any to wait for.
bool waitDpcsIdle(Kernel::Impl& k);
BOOLEAN queueDpc(Kernel::Impl& k, PRKDPC dpc, PVOID arg1, PVOID arg2, ULONG processor);
void removeDpcsInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end, const char* routine);
bool enterInterrupt(Kernel::Impl& k);
void leaveInterrupt(Kernel::Impl& k, bool entered);

// timer.cpp
void startTimers(Kernel::Impl& k);
void stopTimers(Kernel::Impl& k);
void removeTimersInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end, const char* routine);

// spinlock.cpp: take or drop a lock with the full bookkeeping but no IRQL check or change, for
// kernel routines that have checked the caller's IRQL themselves.
void acquireKeepingIrql(PKSPIN_LOCK lock, const char* routine);
void releaseKeepingIrql(PKSPIN_LOCK lock, const char* routine);

// lockorder.cpp
void noteAcquisition(Kernel::Impl& k, const std::vector<PKSPIN_LOCK>& held, PKSPIN_LOCK lock,
                     const char* routine);
void forgetLocksInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end);
std::string describeLock(Kernel::Impl* k, const void* lock);

// pool.cpp
void releasePool(Kernel::Impl& k);

// Formatting shared by the reports.
std::string hexAddress(const void* p);

} // namespace detail
} // namespace ntemu
