// Bus resources: the claims registry, HalAssignSlotResources, IoAssignResources and
// IoReportResourceUsage.
#include "hal_impl.h"

#include "ntemu/faults.h"

#include <algorithm>

namespace ntemu::hal {

namespace {

bool overlaps(const ClaimedRange& a, const ClaimedRange& b) {
    return a.space == b.space && a.length != 0 && b.length != 0 && a.start < b.start + b.length &&
           b.start < a.start + a.length;
}

bool conflicts(const ClaimedRange& a, const ClaimedRange& b) {
    return overlaps(a, b) && !(a.shared && b.shared);
}

} // namespace

bool ClaimRegistry::claim(std::vector<ClaimEntry> entries, bool overrideConflict) {
    std::lock_guard lock(m_mutex);
    auto isClaimant = [&](const ClaimKey& owner) {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const ClaimEntry& e) { return e.key == owner; });
    };
    bool conflict = false;
    for (const auto& [owner, held] : m_claims) {
        if (isClaimant(owner))
            continue;
        for (const auto& entry : entries)
            for (const auto& range : entry.ranges)
                conflict |= std::any_of(held.begin(), held.end(),
                                        [&](const ClaimedRange& h) { return conflicts(h, range); });
    }
    if (conflict && !overrideConflict)
        return true;
    for (auto& entry : entries) {
        if (entry.ranges.empty())
            m_claims.erase(entry.key);
        else
            m_claims[entry.key] = std::move(entry.ranges);
    }
    return conflict;
}

bool ClaimRegistry::release(const ClaimKey& key) {
    std::lock_guard lock(m_mutex);
    return m_claims.erase(key) != 0;
}

size_t ClaimRegistry::count() const {
    std::lock_guard lock(m_mutex);
    return m_claims.size();
}

PDRIVER_OBJECT ClaimRegistry::ownerOf(Space space, ULONGLONG start, ULONGLONG length) const {
    std::lock_guard lock(m_mutex);
    ClaimedRange wanted{space, start, length, false};
    uintptr_t owner = 0;
    for (const auto& [key, held] : m_claims) {
        bool covers = std::any_of(held.begin(), held.end(),
                                  [&](const ClaimedRange& h) { return overlaps(h, wanted); });
        if (!covers)
            continue;
        if (owner != 0 && owner != key.driver)
            return nullptr;
        owner = key.driver;
    }
    return reinterpret_cast<PDRIVER_OBJECT>(owner);
}

std::vector<ClaimKey> ClaimRegistry::releaseAllOf(PDRIVER_OBJECT driver) {
    std::lock_guard lock(m_mutex);
    std::vector<ClaimKey> keys;
    for (auto it = m_claims.begin(); it != m_claims.end();) {
        if (it->first.driver == reinterpret_cast<uintptr_t>(driver)) {
            keys.push_back(it->first);
            it = m_claims.erase(it);
        } else {
            ++it;
        }
    }
    return keys;
}

std::u16string claimPath(PCUNICODE_STRING path) {
    std::u16string key;
    if (path == nullptr || path->Buffer == nullptr)
        return key;
    key.assign(path->Buffer, path->Length / sizeof(WCHAR));
    for (auto& c : key)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return key;
}

namespace {

constexpr uint32_t kCommandOffset = 0x04;
constexpr uint32_t kHeaderTypeOffset = 0x0E;
constexpr uint32_t kFirstBarOffset = 0x10;
constexpr uint32_t kInterruptLineOffset = 0x3C;
constexpr uint32_t kInterruptPinOffset = 0x3D;
constexpr uint16_t kCommandIoEnable = 0x0001;
constexpr uint16_t kCommandMemoryEnable = 0x0002;
constexpr uint32_t kBarIoSpace = 0x1;
constexpr uint32_t kBarMemoryTypeMask = 0x6;
constexpr uint32_t kBarMemory64 = 0x4;

// One resource a function decodes, in the order its descriptor goes into the list.
struct Need {
    Space space;
    ULONGLONG start;
    ULONG length;
};

unsigned barCount(uint8_t headerType) {
    switch (headerType & 0x7F) {
    case 0:
        return PCI_TYPE0_ADDRESSES;
    case 1:
        return 2; // PCI-to-PCI bridge
    case 2:
        return 1; // CardBus bridge
    default:
        return 0;
    }
}

// Sizes a BAR the PCI way: write all ones, read back, put the first value back.
uint32_t sizeMaskOf(bus::PciFunction& function, uint32_t offset, uint32_t original) {
    writeConfig32(function, offset, 0xFFFFFFFF);
    uint32_t readBack = readConfig32(function, offset);
    writeConfig32(function, offset, original);
    return readBack;
}

// Reads and sizes the BARs into `needs`; false (with a report) for what is not emulated.
bool readBars(bus::PciFunction& function, uint8_t headerType, std::vector<Need>& needs) {
    const unsigned count = barCount(headerType);
    for (unsigned bar = 0; bar < count; ++bar) {
        uint32_t offset = kFirstBarOffset + 4 * bar;
        uint32_t original = readConfig32(function, offset);
        uint32_t readBack = sizeMaskOf(function, offset, original);
        bool io = (original & kBarIoSpace) != 0;
        ULONGLONG address = original & (io ? 0xFFFFFFFCu : 0xFFFFFFF0u);
        ULONGLONG mask = readBack & (io ? 0xFFFFFFFCu : 0xFFFFFFF0u);
        if (!io && (original & kBarMemoryTypeMask) == kBarMemory64 && bar + 1 < count) {
            ++bar;
            uint32_t high = readConfig32(function, offset + 4);
            address |= ULONGLONG{high} << 32;
            mask |= ULONGLONG{sizeMaskOf(function, offset + 4, high)} << 32;
        }
        if (mask == 0)
            continue; // not implemented
        ULONGLONG size = mask & (~mask + 1);
        if (address == 0 || size > 0xFFFFFFFFull) {
            verifier::report(Check::NotImplemented, "HalAssignSlotResources",
                             "BAR " + std::to_string(bar) +
                                 (address == 0 ? " has no address: assigning addresses"
                                               : " is 4 GB or larger: such ranges") +
                                 " is not emulated");
            return false;
        }
        needs.push_back({io ? Space::Io : Space::Memory, address, static_cast<ULONG>(size)});
    }
    return true;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR descriptorFor(const Need& need, KAFFINITY allProcessors) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    if (need.space == Space::Interrupt) {
        d.Type = CmResourceTypeInterrupt;
        d.ShareDisposition = CmResourceShareShared;
        d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
        d.u.Interrupt.Level = static_cast<ULONG>(need.start);
        d.u.Interrupt.Vector = static_cast<ULONG>(need.start);
        d.u.Interrupt.Affinity = allProcessors;
        return d;
    }
    d.Type = need.space == Space::Io ? CmResourceTypePort : CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = need.space == Space::Io ? CM_RESOURCE_PORT_IO : CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Generic.Start.QuadPart = static_cast<LONGLONG>(need.start);
    d.u.Generic.Length = need.length;
    return d;
}

// The caller's CM_RESOURCE_LIST, from paged pool so that it counts against the caller.
PCM_RESOURCE_LIST buildList(const std::vector<Need>& needs, ULONG busNumber,
                            KAFFINITY allProcessors) {
    const size_t descriptorSize = sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    const size_t size =
        sizeof(CM_RESOURCE_LIST) + descriptorSize * (std::max<size_t>(needs.size(), 1) - 1);
    auto* list =
        static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(PagedPool, size, kHalResourceListTag));
    if (list == nullptr)
        return nullptr;
    std::memset(list, 0, size);
    list->Count = 1;
    CM_FULL_RESOURCE_DESCRIPTOR& full = list->List[0];
    full.InterfaceType = PCIBus;
    full.BusNumber = busNumber;
    full.PartialResourceList.Version = 1;
    full.PartialResourceList.Revision = 1;
    full.PartialResourceList.Count = static_cast<ULONG>(needs.size());
    auto* descriptors = reinterpret_cast<uint8_t*>(full.PartialResourceList.PartialDescriptors);
    for (size_t i = 0; i < needs.size(); ++i) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d = descriptorFor(needs[i], allProcessors);
        std::memcpy(descriptors + i * descriptorSize, &d, descriptorSize);
    }
    return list;
}

// What the function decodes: its BARs in order, then its interrupt when it has one.
bool readNeeds(bus::PciFunction& function, std::vector<Need>& needs) {
    if (!readBars(function, readConfig8(function, kHeaderTypeOffset), needs))
        return false;
    uint8_t pin = readConfig8(function, kInterruptPinOffset);
    uint8_t line = readConfig8(function, kInterruptLineOffset);
    if (pin != 0 && line != 0 && line != 0xFF)
        needs.push_back({Space::Interrupt, line, 1});
    return true;
}

std::vector<ClaimedRange> rangesOf(const std::vector<Need>& needs) {
    std::vector<ClaimedRange> ranges;
    for (const auto& need : needs)
        ranges.push_back({need.space, need.start, need.length, need.space == Space::Interrupt});
    return ranges;
}

// Turns decoding on for the kinds of range the function has; sizing ran with it off.
void enableDecoding(bus::PciFunction& function, uint16_t command, const std::vector<Need>& needs) {
    for (const auto& need : needs) {
        if (need.space == Space::Io)
            command |= kCommandIoEnable;
        else if (need.space == Space::Memory)
            command |= kCommandMemoryEnable;
    }
    writeConfig16(function, kCommandOffset, command);
}

NTSTATUS assignSlot(Hal::Impl& impl, const ClaimKey& key, ULONG busNumber, ULONG slot,
                    PCM_RESOURCE_LIST* allocated) {
    bus::PciFunction* function = locateFunction(impl.machine, busNumber, slot);
    if (function == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    if (faults::shouldFail(FaultPoint::HalAssignSlotResources))
        return STATUS_CONFLICTING_ADDRESSES;
    uint16_t command = readConfig16(*function, kCommandOffset);
    writeConfig16(*function, kCommandOffset, command & ~(kCommandIoEnable | kCommandMemoryEnable));
    std::vector<Need> needs;
    if (!readNeeds(*function, needs)) {
        writeConfig16(*function, kCommandOffset, command);
        return STATUS_NOT_IMPLEMENTED;
    }
    PCM_RESOURCE_LIST list = buildList(needs, busNumber, impl.interrupts.allProcessors());
    if (list == nullptr) {
        writeConfig16(*function, kCommandOffset, command);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (impl.claims.claim({{key, rangesOf(needs)}}, false)) {
        ExFreePool(list);
        writeConfig16(*function, kCommandOffset, command);
        return STATUS_CONFLICTING_ADDRESSES;
    }
    enableDecoding(*function, command, needs);
    *allocated = list;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace ntemu::hal

using namespace ntemu;

// Claims the resources a PCI function decodes for (RegistryPath, DriverObject, DeviceObject),
// enables its decoding and returns the CM_RESOURCE_LIST (paged pool, tag kHalResourceListTag,
// freed by the caller with ExFreePool). STATUS_NO_SUCH_DEVICE for an empty slot,
// STATUS_CONFLICTING_ADDRESSES when another owner holds the ranges. PASSIVE_LEVEL.
NTSTATUS HalAssignSlotResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                INTERFACE_TYPE BusType, ULONG BusNumber, ULONG SlotNumber,
                                PCM_RESOURCE_LIST* AllocatedResources) {
    static const char* const kRoutine = "HalAssignSlotResources";
    (void)DriverClassName;
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    if (RegistryPath == nullptr || DriverObject == nullptr || AllocatedResources == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "registry path, driver object and result pointer are required");
        return STATUS_INVALID_PARAMETER;
    }
    *AllocatedResources = nullptr;
    if (BusType != PCIBus) {
        verifier::report(Check::NotImplemented, kRoutine, "only PCIBus slots are emulated");
        return STATUS_NOT_IMPLEMENTED;
    }
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    hal::ClaimKey key{hal::claimPath(RegistryPath), reinterpret_cast<uintptr_t>(DriverObject),
                      reinterpret_cast<uintptr_t>(DeviceObject), hal::ClaimSource::Assigned};
    return hal::assignSlot(hal->impl(), key, BusNumber, SlotNumber, AllocatedResources);
}

// With a NULL requirements list, gives back what HalAssignSlotResources claimed for
// (RegistryPath, DriverObject, DeviceObject). Assigning from a requirements list is not
// emulated: STATUS_NOT_IMPLEMENTED. PASSIVE_LEVEL.
NTSTATUS IoAssignResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                           PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                           PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                           PCM_RESOURCE_LIST* AllocatedResources) {
    static const char* const kRoutine = "IoAssignResources";
    (void)DriverClassName;
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    if (RequestedResources != nullptr) {
        verifier::report(Check::NotImplemented, kRoutine,
                         "assignment from a requirements list is not emulated");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (RegistryPath == nullptr || DriverObject == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "registry path and driver object are required");
        return STATUS_INVALID_PARAMETER;
    }
    if (AllocatedResources != nullptr)
        *AllocatedResources = nullptr;
    if (Hal* hal = Hal::currentOrNull())
        hal->impl().claims.release(
            {hal::claimPath(RegistryPath), reinterpret_cast<uintptr_t>(DriverObject),
             reinterpret_cast<uintptr_t>(DeviceObject), hal::ClaimSource::Assigned});
    return STATUS_SUCCESS;
}
