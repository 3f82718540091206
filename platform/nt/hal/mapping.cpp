// Bus address translation and I/O space mappings: HalTranslateBusAddress, MmMapIoSpace,
// MmUnmapIoSpace.
#include "hal_impl.h"

#include "ntemu/faults.h"

#include <new>

namespace ntemu::hal {

void MappingTable::add(Mapping mapping) {
    std::lock_guard lock(m_mutex);
    const void* address = mapping.memory.get();
    m_mappings.emplace(address, std::move(mapping));
}

MappingTable::RemoveResult MappingTable::remove(const void* address, SIZE_T length,
                                                SIZE_T* mappedLength) {
    Mapping removed;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_mappings.find(address);
        if (it == m_mappings.end())
            return RemoveResult::Unknown;
        *mappedLength = it->second.length;
        if (it->second.length != length)
            return RemoveResult::LengthMismatch;
        removed = std::move(it->second);
        m_mappings.erase(it);
    }
    return RemoveResult::Removed;
}

size_t MappingTable::count() const {
    std::lock_guard lock(m_mutex);
    return m_mappings.size();
}

std::vector<Mapping> MappingTable::releaseAllOf(PDRIVER_OBJECT driver) {
    std::lock_guard lock(m_mutex);
    std::vector<Mapping> released;
    for (auto it = m_mappings.begin(); it != m_mappings.end();) {
        if (it->second.owner == driver || it->second.owner == nullptr) {
            released.push_back(std::move(it->second));
            it = m_mappings.erase(it);
        } else {
            ++it;
        }
    }
    return released;
}

namespace {

// What a bus decodes: 64 KB of I/O ports and 4 GB of memory, as on x86.
constexpr ULONGLONG kIoSpaceEnd = 0x10000;
constexpr ULONGLONG kMemorySpaceEnd = 0x100000000ull;

bool busDecodes(bus::Machine& machine, INTERFACE_TYPE type, ULONG busNumber) {
    switch (type) {
    case PCIBus:
        return machine.busExists(busNumber);
    case Internal:
    case Isa:
        return busNumber == 0;
    default:
        return false;
    }
}

} // namespace
} // namespace ntemu::hal

using namespace ntemu;

// Translates a bus address: I/O space (*AddressSpace 1) stays I/O with the same port number,
// memory (0) stays memory with the same address, to be mapped with MmMapIoSpace. FALSE for an
// address outside what the bus decodes. IRQL <= DISPATCH_LEVEL.
BOOLEAN HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                               PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                               PPHYSICAL_ADDRESS TranslatedAddress) {
    static const char* const kRoutine = "HalTranslateBusAddress";
    irql::checkAtMost(kRoutine, DISPATCH_LEVEL);
    if (AddressSpace == nullptr || TranslatedAddress == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine, "null address space or result");
        return FALSE;
    }
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr || !hal::busDecodes(hal->impl().machine, InterfaceType, BusNumber) ||
        BusAddress.QuadPart < 0 || *AddressSpace > 1)
        return FALSE;
    const auto address = static_cast<ULONGLONG>(BusAddress.QuadPart);
    if (address >= (*AddressSpace == 1 ? hal::kIoSpaceEnd : hal::kMemorySpaceEnd))
        return FALSE;
    TranslatedAddress->QuadPart = BusAddress.QuadPart;
    return TRUE;
}

// Maps a memory range of the bus. Device memory is not modelled: the result is zeroed host
// memory standing for the range, tracked until MmUnmapIoSpace. NULL when no mapping can be
// made. IRQL <= DISPATCH_LEVEL.
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                   MEMORY_CACHING_TYPE CacheType) {
    static const char* const kRoutine = "MmMapIoSpace";
    (void)CacheType;
    irql::checkAtMost(kRoutine, DISPATCH_LEVEL);
    if (NumberOfBytes == 0) {
        verifier::report(Check::InvalidParameter, kRoutine, "zero-length mapping");
        return nullptr;
    }
    if (faults::shouldFail(FaultPoint::MmMapIoSpace))
        return nullptr;
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr)
        return nullptr;
    hal::Mapping mapping;
    mapping.memory.reset(new (std::nothrow) uint8_t[NumberOfBytes]());
    if (!mapping.memory)
        return nullptr;
    mapping.physical = static_cast<ULONGLONG>(PhysicalAddress.QuadPart);
    mapping.length = NumberOfBytes;
    mapping.owner = hal->impl().claims.ownerOf(hal::Space::Memory, mapping.physical, NumberOfBytes);
    PVOID address = mapping.memory.get();
    hal->impl().mappings.add(std::move(mapping));
    return address;
}

// Unmaps what MmMapIoSpace returned; NumberOfBytes must be the length mapped (a mismatch is
// reported and leaves the mapping in place). IRQL <= APC_LEVEL.
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    static const char* const kRoutine = "MmUnmapIoSpace";
    irql::checkAtMost(kRoutine, APC_LEVEL);
    Hal* hal = Hal::currentOrNull();
    SIZE_T mapped = 0;
    auto result = hal == nullptr ? hal::MappingTable::RemoveResult::Unknown
                                 : hal->impl().mappings.remove(BaseAddress, NumberOfBytes, &mapped);
    if (result == hal::MappingTable::RemoveResult::Unknown) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "address was not returned by MmMapIoSpace");
    } else if (result == hal::MappingTable::RemoveResult::LengthMismatch) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "length " + std::to_string(NumberOfBytes) + " differs from the " +
                             std::to_string(mapped) + " bytes mapped");
    }
}
