// DPCs: processor threads, each draining its own FIFO queue at DISPATCH_LEVEL. A DPC leaves its
// queue before its routine runs, so it can be queued again (and run on another processor)
// while the first run is still going.
//
// Where a DPC is queued: a processor thread queues on itself, as on NT; the timer
// engine queues expiry DPCs on the last processor; every other thread (request threads, the
// interrupt thread, tests) queues on processor 0. So an interrupt DPC and a timer DPC of the
// same device can run at the same time, and the choice never depends on thread scheduling.
//
// Interrupts arrive on processor 0. When one finds the processor idle it holds it for the
// service routines, and as its IRQL drops the DPCs queued there run in the interrupt thread
// itself, with no switch to the processor thread, as NT retires them when the ISR returns.
// An interrupt that finds a DPC running there preempts it: what it queues runs after that
// DPC, on the processor thread.
#include "kernel_impl.h"

namespace ntemu {

namespace detail {

namespace {

constexpr UCHAR kMediumImportance = 1;
constexpr UCHAR kHighImportance = 2;
constexpr CSHORT kDpcObjectType = 19;

struct DpcCall {
    PRKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context;
    PVOID arg1;
    PVOID arg2;
};

// Takes the head of `p`'s queue off it (DpcData cleared first); the queue is not empty.
DpcCall takeHead(Kernel::Impl& k, Processor& p) {
    PRKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&p.queue), KDPC, DpcListEntry);
    dpc->DpcData = nullptr;
    --k.dpcQueued;
    ++k.dpcRunning;
    return {dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1,
            dpc->SystemArgument2};
}

void callDpc(const DpcCall& call) {
    DriverCallGuard guard("DPC routine");
    call.routine(call.dpc, call.context, call.arg1, call.arg2);
}

// Counts a finished routine; the caller holds dpcMutex.
void finishDpc(Kernel::Impl& k) {
    if (--k.dpcRunning == 0 && k.dpcQueued == 0)
        k.dpcIdle.notify_all();
}

// Takes the head of `p`'s queue, holding the processor, or waits; false on stop.
bool nextDpc(Kernel::Impl& k, Processor& p, DpcCall& call) {
    std::unique_lock lock(k.dpcMutex);
    p.wake.wait(lock, [&] { return k.stopping || (!p.busy && !IsListEmpty(&p.queue)); });
    if (k.stopping || IsListEmpty(&p.queue))
        return false;
    p.busy = true;
    call = takeHead(k, p);
    return true;
}
void runProcessor(Kernel::Impl& k, Processor& p) {
    t_processor = p.number;
    t_processorOf = &k;
    irql::set(DISPATCH_LEVEL);
    DpcCall call{};
    while (nextDpc(k, p, call)) {
        callDpc(call);
        std::lock_guard lock(k.dpcMutex);
        p.busy = false;
        finishDpc(k);
    }
}

} // namespace

bool enterInterrupt(Kernel::Impl& k) {
    std::lock_guard lock(k.dpcMutex);
    Processor& p = *k.processors.front();
    if (p.busy || k.stopping)
        return false;
    p.busy = true;
    return true;
}

// Runs at DISPATCH_LEVEL as processor 0 until its queue is empty, then gives the processor
// back; what a routine queues on it meanwhile runs here too, as it would on NT.
void leaveInterrupt(Kernel::Impl& k, bool entered) {
    if (!entered) {
        irql::set(PASSIVE_LEVEL);
        return;
    }
    Processor& p = *k.processors.front();
    const ULONG outerProcessor = t_processor;
    Kernel::Impl* const outerKernel = t_processorOf;
    t_processor = p.number;
    t_processorOf = &k;
    irql::set(DISPATCH_LEVEL);
    std::unique_lock lock(k.dpcMutex);
    while (!k.stopping && !IsListEmpty(&p.queue)) {
        const DpcCall call = takeHead(k, p);
        lock.unlock();
        callDpc(call);
        lock.lock();
        finishDpc(k);
    }
    p.busy = false;
    lock.unlock();
    irql::set(PASSIVE_LEVEL);
    t_processor = outerProcessor;
    t_processorOf = outerKernel;
}

void startProcessors(Kernel::Impl& k) {
    const unsigned count = k.options.processors ? k.options.processors : 1;
    for (unsigned i = 0; i < count; ++i) {
        auto p = std::make_unique<Processor>();
        p->number = i;
        InitializeListHead(&p->queue);
        k.processors.push_back(std::move(p));
    }
    for (auto& p : k.processors)
        p->thread = std::thread(runProcessor, std::ref(k), std::ref(*p));
}

// The queues are empty by now (the kernel settled first); anything queued meanwhile is dropped.
void stopProcessors(Kernel::Impl& k) {
    {
        std::lock_guard lock(k.dpcMutex);
        k.stopping = true;
        for (auto& p : k.processors) {
            while (!IsListEmpty(&p->queue))
                CONTAINING_RECORD(RemoveHeadList(&p->queue), KDPC, DpcListEntry)->DpcData = nullptr;
            p->wake.notify_all();
        }
        k.dpcQueued = 0;
    }
    for (auto& p : k.processors)
        p->thread.join();
    k.processors.clear();
}

bool waitDpcsIdle(Kernel::Impl& k) {
    std::unique_lock lock(k.dpcMutex);
    if (k.dpcQueued == 0 && k.dpcRunning == 0)
        return false;
    k.dpcIdle.wait(lock, [&] { return k.dpcQueued == 0 && k.dpcRunning == 0; });
    return true;
}

BOOLEAN queueDpc(Kernel::Impl& k, PRKDPC dpc, PVOID arg1, PVOID arg2, ULONG processor) {
    std::lock_guard lock(k.dpcMutex);
    // A kernel shutting down has no processor left to run it.
    if (dpc->DpcData || k.stopping)
        return FALSE;
    Processor& p = *k.processors[processor % k.processors.size()];
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &p;
    if (dpc->Importance == kHighImportance)
        InsertHeadList(&p.queue, &dpc->DpcListEntry);
    else
        InsertTailList(&p.queue, &dpc->DpcListEntry);
    ++k.dpcQueued;
    // A held processor runs its queue before it is given back: waking its thread is wasted.
    if (!p.busy)
        p.wake.notify_one();
    return TRUE;
}

void removeDpcsInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end, const char* routine) {
    std::vector<std::string> found;
    {
        std::lock_guard lock(k.dpcMutex);
        for (auto& p : k.processors) {
            for (PLIST_ENTRY e = p->queue.Flink; e != &p->queue;) {
                PRKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
                e = e->Flink;
                const auto at = reinterpret_cast<uintptr_t>(dpc);
                if (at + sizeof(KDPC) <= begin || at >= end)
                    continue;
                RemoveEntryList(&dpc->DpcListEntry);
                dpc->DpcData = nullptr;
                --k.dpcQueued;
                found.push_back("DPC " + hexAddress(dpc) + " is still queued on processor " +
                                std::to_string(p->number));
            }
        }
        if (k.dpcQueued == 0 && k.dpcRunning == 0)
            k.dpcIdle.notify_all();
    }
    for (std::string& text : found)
        verifier::report(Check::DpcInFreedMemory, routine, std::move(text));
}

} // namespace detail

} // namespace ntemu

using namespace ntemu;

// Any IRQL. Prepares a DPC that is not queued, of medium importance.
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = detail::kDpcObjectType;
    Dpc->Number = 0;
    Dpc->Importance = detail::kMediumImportance;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

// Any IRQL. Queues the DPC with the two arguments; FALSE (and the arguments of the earlier
// insert kept) when it is already queued. Never runs the routine in the caller.
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Kernel::Impl& k = Kernel::current().impl();
    const ULONG processor = detail::t_processorOf == &k ? detail::t_processor : 0;
    return detail::queueDpc(k, Dpc, SystemArgument1, SystemArgument2, processor);
}

// Any IRQL. Takes a queued DPC off its queue; FALSE when it was not queued (a running routine
// is not affected).
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Kernel::Impl& k = Kernel::current().impl();
    std::lock_guard lock(k.dpcMutex);
    if (!Dpc->DpcData)
        return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    if (--k.dpcQueued == 0 && k.dpcRunning == 0)
        k.dpcIdle.notify_all();
    return TRUE;
}
