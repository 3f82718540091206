// Lock-order checking: a process-wide graph of "A held while B was acquired" edges between lock
// addresses. An acquisition (or a declaration) whose edge would close a cycle is reported, so
// an inverted order is caught the first time it happens, not only when the deadlock does.
#include "kernel_impl.h"

#include <cstdio>

namespace ntemu {

namespace detail {

std::string hexAddress(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%#llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

namespace {

std::string nameOf(const Kernel::Impl* k, uintptr_t lock) {
    if (lock == reinterpret_cast<uintptr_t>(Kernel::cancelSpinLock()))
        return "cancel spin lock";
    if (k) {
        auto it = k->lockNames.find(lock);
        if (it != k->lockNames.end())
            return it->second + " (" + hexAddress(reinterpret_cast<const void*>(lock)) + ")";
    }
    return "spin lock " + hexAddress(reinterpret_cast<const void*>(lock));
}

// Depth-first search along the edges; lockGraphMutex held.
bool reachable(const Kernel::Impl& k, uintptr_t from, uintptr_t to) {
    std::vector<uintptr_t> pending{from};
    std::set<uintptr_t> seen{from};
    while (!pending.empty()) {
        uintptr_t node = pending.back();
        pending.pop_back();
        if (node == to)
            return true;
        auto it = k.lockEdges.find(node);
        if (it == k.lockEdges.end())
            continue;
        for (uintptr_t next : it->second)
            if (seen.insert(next).second)
                pending.push_back(next);
    }
    return false;
}

// Adds first -> second unless second already leads back to first; returns the report text
// for a cycle, empty when the edge is consistent. lockGraphMutex held.
std::string addEdge(Kernel::Impl& k, uintptr_t first, uintptr_t second) {
    auto& after = k.lockEdges[first];
    if (after.count(second))
        return {};
    if (reachable(k, second, first))
        return nameOf(&k, first) + " before " + nameOf(&k, second) + " inverts the order " +
               nameOf(&k, second) + " before " + nameOf(&k, first) + " seen or declared earlier";
    after.insert(second);
    return {};
}

} // namespace

std::string describeLock(Kernel::Impl* k, const void* lock) {
    if (!k)
        return nameOf(nullptr, reinterpret_cast<uintptr_t>(lock));
    std::lock_guard guard(k->lockGraphMutex);
    return nameOf(k, reinterpret_cast<uintptr_t>(lock));
}

void noteAcquisition(Kernel::Impl& k, const std::vector<PKSPIN_LOCK>& held, PKSPIN_LOCK lock,
                     const char* routine) {
    std::vector<std::string> cycles;
    {
        std::lock_guard guard(k.lockGraphMutex);
        const auto acquiring = reinterpret_cast<uintptr_t>(lock);
        for (PKSPIN_LOCK h : held) {
            const auto holding = reinterpret_cast<uintptr_t>(h);
            if (holding == acquiring)
                continue;
            std::string cycle = addEdge(k, holding, acquiring);
            if (!cycle.empty())
                cycles.push_back("acquiring " + nameOf(&k, acquiring) + " while holding " +
                                 nameOf(&k, holding) + ": " + cycle);
        }
    }
    for (std::string& text : cycles)
        verifier::report(Check::LockOrder, routine, std::move(text));
}

void forgetLocksInRange(Kernel::Impl& k, uintptr_t begin, uintptr_t end) {
    auto inside = [begin, end](uintptr_t lock) { return lock >= begin && lock < end; };
    std::lock_guard guard(k.lockGraphMutex);
    for (auto it = k.lockEdges.begin(); it != k.lockEdges.end();) {
        if (inside(it->first)) {
            it = k.lockEdges.erase(it);
            continue;
        }
        std::erase_if(it->second, inside);
        ++it;
    }
    std::erase_if(k.lockNames, [&](const auto& entry) { return inside(entry.first); });
}

} // namespace detail

void Kernel::declareLockOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
    std::string cycle;
    {
        std::lock_guard guard(impl().lockGraphMutex);
        cycle = detail::addEdge(impl(), reinterpret_cast<uintptr_t>(first),
                                reinterpret_cast<uintptr_t>(second));
    }
    if (!cycle.empty())
        verifier::report(Check::LockOrder, "Kernel::declareLockOrder", "declaring " + cycle);
}

void Kernel::nameSpinLock(PKSPIN_LOCK lock, std::string name) {
    std::lock_guard guard(impl().lockGraphMutex);
    impl().lockNames[reinterpret_cast<uintptr_t>(lock)] = std::move(name);
}

} // namespace ntemu
