// Pool with tags: every block is registered with its tag, type and size, filled with a pattern
// (NT does not initialise pool memory), followed by guard bytes that are checked on
// free, and held back from reuse for a while after it is freed so a second free is recognised.
#include "kernel_impl.h"
#include "ntemu/faults.h"

#include <cstdio>
#include <cstdlib>

namespace ntemu {

namespace {

constexpr unsigned char kNewFill = 0xC5;   // fresh, uninitialised block
constexpr unsigned char kGuardFill = 0xFD; // bytes behind the block
constexpr unsigned char kFreedFill = 0xDF; // quarantined block
constexpr size_t kGuardBytes = 16;
constexpr size_t kPageSize = 4096;
// Larger requests fail as an exhausted pool would: no driver of this machine asks for this much.
constexpr size_t kLargestBlock = size_t{256} << 20;
constexpr size_t kQuarantineBlocks = 256;
// "None", the tag ExAllocatePool uses.
constexpr ULONG kUntagged = 0x656E6F4E;

bool isPaged(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned;
}

bool isKnownType(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
        return true;
    }
    return false;
}

// A tag as pool dumps show it: its bytes in memory order, then its value.
std::string tagText(ULONG tag) {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c <= 0x7E) ? c : '.';
    }
    char value[16];
    std::snprintf(value, sizeof value, "%#010x", tag);
    return text + "' (" + value + ")";
}

std::string describeBlock(const void* p, const PoolBlock& block) {
    return std::to_string(block.bytes) + "-byte block " + detail::hexAddress(p) + " tagged " +
           tagText(block.tag);
}

void quarantine(Kernel::Impl& k, void* p, size_t bytes) {
    std::memset(p, kFreedFill, bytes);
    const auto at = reinterpret_cast<uintptr_t>(p);
    k.quarantine.emplace_back(at, bytes);
    k.quarantined.insert(at);
    if (k.quarantine.size() <= kQuarantineBlocks)
        return;
    const uintptr_t oldest = k.quarantine.front().first;
    k.quarantine.pop_front();
    k.quarantined.erase(oldest);
    std::free(reinterpret_cast<void*>(oldest));
}

bool guardIntact(const unsigned char* p, size_t bytes) {
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (p[bytes + i] != kGuardFill)
            return false;
    return true;
}

void freeBlock(PVOID p, const ULONG* expectedTag, const char* routine) {
    if (!p) {
        verifier::report(Check::PoolBadFree, routine, "NULL pointer");
        return;
    }
    Kernel& kernel = Kernel::current();
    Kernel::Impl& k = kernel.impl();
    const auto at = reinterpret_cast<uintptr_t>(p);
    PoolBlock block{};
    {
        std::lock_guard lock(k.poolMutex);
        auto it = k.pool.find(at);
        if (it == k.pool.end()) {
            const bool twice = k.quarantined.count(at) != 0;
            verifier::report(Check::PoolBadFree, routine,
                             detail::hexAddress(p) +
                                 (twice ? " was already freed" : " was not allocated from pool"));
            return;
        }
        block = it->second;
        k.pool.erase(it);
    }
    irql::checkAtMost(routine, isPaged(block.type) ? APC_LEVEL : DISPATCH_LEVEL);
    if (expectedTag && *expectedTag != block.tag)
        verifier::report(Check::PoolBadFree, routine,
                         describeBlock(p, block) + " freed with tag " + tagText(*expectedTag));
    if (!guardIntact(static_cast<unsigned char*>(p), block.bytes))
        verifier::report(Check::PoolOverrun, routine,
                         "bytes written past the end of the " + describeBlock(p, block));
    kernel.checkFreedRange(p, block.bytes, routine);
    std::lock_guard lock(k.poolMutex);
    quarantine(k, p, block.bytes);
}

} // namespace

namespace detail {

// Frees everything still allocated or quarantined when the kernel goes away.
void releasePool(Kernel::Impl& k) {
    std::lock_guard lock(k.poolMutex);
    for (auto& [at, block] : k.pool)
        std::free(reinterpret_cast<void*>(at));
    for (auto& [at, bytes] : k.quarantine)
        std::free(reinterpret_cast<void*>(at));
    k.pool.clear();
    k.quarantine.clear();
    k.quarantined.clear();
}

} // namespace detail

std::vector<PoolBlockInfo> Kernel::poolBlocks() const {
    std::lock_guard lock(m_impl->poolMutex);
    std::vector<PoolBlockInfo> blocks;
    for (auto& [at, block] : m_impl->pool)
        blocks.push_back({block.tag, block.type, block.bytes, reinterpret_cast<const void*>(at)});
    return blocks;
}

size_t Kernel::poolBlockCount(ULONG tag) const {
    std::lock_guard lock(m_impl->poolMutex);
    size_t count = 0;
    for (auto& [at, block] : m_impl->pool)
        count += block.tag == tag;
    return count;
}

size_t Kernel::reportPoolLeaks(const char* routine) {
    std::map<ULONG, std::pair<size_t, size_t>> byTag; // tag -> blocks, bytes
    for (const PoolBlockInfo& block : poolBlocks()) {
        auto& [count, bytes] = byTag[block.tag];
        ++count;
        bytes += block.bytes;
    }
    size_t total = 0;
    for (auto& [tag, usage] : byTag) {
        verifier::report(Check::PoolLeak, routine,
                         "tag " + tagText(tag) + ": " + std::to_string(usage.first) +
                             " block(s), " + std::to_string(usage.second) +
                             " byte(s) still allocated");
        total += usage.first;
    }
    return total;
}

} // namespace ntemu

using namespace ntemu;

// Paged pool: IRQL <= APC_LEVEL; nonpaged: IRQL <= DISPATCH_LEVEL. Returns a block of at least
// NumberOfBytes filled with a pattern, or NULL.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    static const char* const routine = "ExAllocatePoolWithTag";
    if (!isKnownType(PoolType)) {
        verifier::report(Check::InvalidParameter, routine,
                         "pool type " + std::to_string(static_cast<int>(PoolType)));
        return nullptr;
    }
    irql::checkAtMost(routine, isPaged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL);
    if (NumberOfBytes == 0)
        verifier::report(Check::PoolZeroBytes, routine, "zero bytes, tag " + tagText(Tag));
    Kernel::Impl& k = Kernel::current().impl();
    if (faults::shouldFail(FaultPoint::PoolAllocation) || NumberOfBytes > kLargestBlock)
        return nullptr;
    void* p = nullptr;
    const size_t alignment = NumberOfBytes >= kPageSize ? kPageSize : 16;
    if (posix_memalign(&p, alignment, NumberOfBytes + kGuardBytes) != 0)
        return nullptr;
    auto* bytes = static_cast<unsigned char*>(p);
    std::memset(bytes, kNewFill, NumberOfBytes);
    std::memset(bytes + NumberOfBytes, kGuardFill, kGuardBytes);
    std::lock_guard lock(k.poolMutex);
    k.pool[reinterpret_cast<uintptr_t>(p)] = {Tag, PoolType, NumberOfBytes};
    return p;
}

// As ExAllocatePoolWithTag, with the tag "None".
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kUntagged);
}

// IRQL as for the allocation's pool type. P must be a live block (NULL is not accepted).
VOID ExFreePool(PVOID P) {
    freeBlock(P, nullptr, "ExFreePool");
}

// As ExFreePool; Tag must be the tag the block was allocated with.
VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    freeBlock(P, &Tag, "ExFreePoolWithTag");
}
