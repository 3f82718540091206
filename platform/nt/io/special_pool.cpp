// The special IRP pool: every IRP with its stack location and system buffer on pages of its
// own, made inaccessible after completion and kept in a bounded quarantine, so that a driver
// touching a completed IRP faults and the fault becomes a verifier report naming the IRP.
#include "io_internal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace ntemu::specialpool {
namespace {

constexpr size_t kQuarantineSlots = 128;

// Read by the signal handler, so plain atomics only.
struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<size_t> length{0};
    std::atomic<uintptr_t> irp{0};
};

Slot g_slots[kQuarantineSlots];
// Faults noted by the handler and reported later from ordinary code, since making a report
// (which allocates and locks) is not safe inside a signal handler.
constexpr size_t kFaultSlots = 32;
std::atomic<uintptr_t> g_faults[kFaultSlots];
std::mutex g_mutex; // guards the ring position and handler installation
size_t g_next = 0;
bool g_installed = false;
struct sigaction g_previous {};

size_t pageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void chainToPrevious(int signal, siginfo_t* info, void* context) {
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // No handler before ours: let the fault happen again with the default action.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &fallback, nullptr);
}

void onFault(int signal, siginfo_t* info, void* context) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Slot& slot : g_slots) {
        uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        size_t length = slot.length.load(std::memory_order_acquire);
        if (!begin || address < begin || address >= begin + length)
            continue;
        uintptr_t page = address & ~(pageSize() - 1);
        mprotect(reinterpret_cast<void*>(page), pageSize(), PROT_READ | PROT_WRITE);
        uintptr_t irp = slot.irp.load();
        for (auto& fault : g_faults) {
            uintptr_t empty = 0;
            if (fault.load() == irp || fault.compare_exchange_strong(empty, irp))
                break;
        }
        return;
    }
    chainToPrevious(signal, info, context);
}

void installHandler() {
    std::lock_guard guard(g_mutex);
    if (g_installed)
        return;
    struct sigaction action {};
    action.sa_sigaction = &onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
    g_installed = true;
}

} // namespace

void reportFaults() {
    for (auto& fault : g_faults) {
        if (uintptr_t irp = fault.exchange(0)) {
            char detail[64];
            std::snprintf(detail, sizeof detail, "IRP %p", reinterpret_cast<void*>(irp));
            verifier::report(Check::IrpTouchedAfterCompletion, "IRP access", detail);
        }
    }
}

IrpBlock* allocate(size_t bufferBytes) {
    pageSize();
    installHandler();
    size_t bytes = offsetof(IrpBlock, buffer) + bufferBytes;
    size_t length = (bytes + pageSize() - 1) / pageSize() * pageSize();
    void* mapping =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    auto* block = static_cast<IrpBlock*>(mapping);
    block->capacity = length - offsetof(IrpBlock, buffer);
    block->mapping = mapping;
    block->mappingLength = length;
    return block;
}

void quarantine(IrpBlock* block) {
    void* mapping = block->mapping;
    size_t length = block->mappingLength;
    auto irp = reinterpret_cast<uintptr_t>(&block->irp);
    std::lock_guard guard(g_mutex);
    Slot& slot = g_slots[g_next];
    g_next = (g_next + 1) % kQuarantineSlots;
    if (uintptr_t old = slot.begin.exchange(0)) {
        munmap(reinterpret_cast<void*>(old), slot.length.load());
    }
    slot.irp.store(irp);
    slot.length.store(length);
    mprotect(mapping, length, PROT_NONE);
    slot.begin.store(reinterpret_cast<uintptr_t>(mapping), std::memory_order_release);
}

void unmap(IrpBlock* block) {
    munmap(block->mapping, block->mappingLength);
}

void releaseAll() {
    std::lock_guard guard(g_mutex);
    for (Slot& slot : g_slots) {
        if (uintptr_t old = slot.begin.exchange(0))
            munmap(reinterpret_cast<void*>(old), slot.length.load());
    }
}

} // namespace ntemu::specialpool
