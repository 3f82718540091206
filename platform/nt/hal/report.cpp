// IoReportResourceUsage: claims a driver reports for itself or for one of its devices.
#include "hal_impl.h"

#include <cstddef>

namespace ntemu::hal {
namespace {

constexpr size_t kDescriptorSize = sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
constexpr size_t kFullHeaderSize = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                                   offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);

void addRange(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d, std::vector<ClaimedRange>& ranges) {
    bool shared = d.ShareDisposition == CmResourceShareShared;
    switch (d.Type) {
    case CmResourceTypePort:
        ranges.push_back({(d.Flags & CM_RESOURCE_PORT_IO) ? Space::Io : Space::Memory,
                          static_cast<ULONGLONG>(d.u.Port.Start.QuadPart), d.u.Port.Length,
                          shared});
        break;
    case CmResourceTypeMemory:
        ranges.push_back({Space::Memory, static_cast<ULONGLONG>(d.u.Memory.Start.QuadPart),
                          d.u.Memory.Length, shared});
        break;
    case CmResourceTypeInterrupt:
        ranges.push_back({Space::Interrupt, d.u.Interrupt.Level, 1, shared});
        break;
    case CmResourceTypeDma:
        ranges.push_back({Space::Dma, d.u.DeviceSpecificData.Data[0], 1, shared});
        break;
    default:
        break; // device-specific data claims nothing
    }
}

// Reads the ranges of a list of `size` bytes; false when the list runs past its size.
bool parseList(const CM_RESOURCE_LIST* list, ULONG size, std::vector<ClaimedRange>& ranges) {
    const auto* base = reinterpret_cast<const uint8_t*>(list);
    ULONG fullCount = 0;
    if (size < sizeof fullCount)
        return false;
    std::memcpy(&fullCount, base, sizeof fullCount);
    size_t at = offsetof(CM_RESOURCE_LIST, List);
    for (ULONG i = 0; i < fullCount; ++i) {
        if (size < at + kFullHeaderSize)
            return false;
        ULONG partialCount = 0;
        std::memcpy(&partialCount, base + at + kFullHeaderSize - sizeof partialCount,
                    sizeof partialCount);
        at += kFullHeaderSize;
        if ((size - at) / kDescriptorSize < partialCount)
            return false;
        for (ULONG j = 0; j < partialCount; ++j, at += kDescriptorSize) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR d;
            std::memcpy(&d, base + at, kDescriptorSize);
            addRange(d, ranges);
        }
    }
    return true;
}

} // namespace
} // namespace ntemu::hal

using namespace ntemu;

// Records the resources a driver uses, for the driver itself (DriverList) and/or for one device
// (DeviceList); a list without descriptors gives that claim back. A conflict with another
// owner sets *ConflictDetected and fails with STATUS_CONFLICTING_ADDRESSES, unless
// OverrideConflict, when the claim is recorded anyway. PASSIVE_LEVEL.
NTSTATUS IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                               PCM_RESOURCE_LIST DriverList, ULONG DriverListSize,
                               PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
                               ULONG DeviceListSize, BOOLEAN OverrideConflict,
                               PBOOLEAN ConflictDetected) {
    static const char* const kRoutine = "IoReportResourceUsage";
    (void)DriverClassName;
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    if (DriverObject == nullptr || ConflictDetected == nullptr ||
        (DriverList == nullptr && DeviceList == nullptr) ||
        (DeviceList != nullptr && DeviceObject == nullptr)) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "needs a driver object, a conflict flag and a list (a device list needs "
                         "its device object)");
        return STATUS_INVALID_PARAMETER;
    }
    *ConflictDetected = FALSE;
    const auto driver = reinterpret_cast<uintptr_t>(DriverObject);
    std::vector<hal::ClaimEntry> entries;
    if (DriverList != nullptr)
        entries.push_back({{{}, driver, 0, hal::ClaimSource::ReportedForDriver}, {}});
    if (DeviceList != nullptr)
        entries.push_back({{{},
                            driver,
                            reinterpret_cast<uintptr_t>(DeviceObject),
                            hal::ClaimSource::ReportedForDevice},
                           {}});
    bool parsed = true;
    size_t next = 0;
    if (DriverList != nullptr)
        parsed &= hal::parseList(DriverList, DriverListSize, entries[next++].ranges);
    if (DeviceList != nullptr)
        parsed &= hal::parseList(DeviceList, DeviceListSize, entries[next].ranges);
    if (!parsed) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "resource list longer than the size given");
        return STATUS_INVALID_PARAMETER;
    }
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!hal->impl().claims.claim(std::move(entries), OverrideConflict != FALSE))
        return STATUS_SUCCESS;
    *ConflictDetected = TRUE;
    return OverrideConflict ? STATUS_SUCCESS : STATUS_CONFLICTING_ADDRESSES;
}
