// Resource assignment, claims and their release, and the unload checks of HAL resources.
#include "hal_fixture.h"

using namespace halfake;
using ntemu::Check;
namespace verifier = ntemu::verifier;
namespace faults = ntemu::faults;

namespace {

// The descriptors run on past the declared one-element array, as the list's Count says; going
// through a plain pointer keeps the optimiser from reading the [1] as a bound.
const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor(PCM_RESOURCE_LIST list, ULONG i) {
    const auto* first = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
        reinterpret_cast<const char*>(list) + offsetof(CM_RESOURCE_LIST, List) +
        offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
        offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
    return first[i];
}

size_t blockBytes(ntemu::Kernel& kernel, const void* address) {
    for (const auto& block : kernel.poolBlocks())
        if (block.address == address)
            return block.bytes;
    return 0;
}

// A one-descriptor list for IoReportResourceUsage.
struct OneResource {
    OneResource(UCHAR type, ULONGLONG start, ULONG length, UCHAR share) {
        std::memset(&list, 0, sizeof list);
        list.Count = 1;
        list.List[0].InterfaceType = Isa;
        list.List[0].PartialResourceList.Version = 1;
        list.List[0].PartialResourceList.Revision = 1;
        list.List[0].PartialResourceList.Count = 1;
        auto& d = list.List[0].PartialResourceList.PartialDescriptors[0];
        d.Type = type;
        d.ShareDisposition = share;
        if (type == CmResourceTypeInterrupt) {
            d.u.Interrupt.Level = d.u.Interrupt.Vector = static_cast<ULONG>(start);
        } else {
            d.Flags = type == CmResourceTypePort ? CM_RESOURCE_PORT_IO : 0;
            d.u.Generic.Start.QuadPart = static_cast<LONGLONG>(start);
            d.u.Generic.Length = length;
        }
    }
    CM_RESOURCE_LIST list;
};

class ResourcesTest : public HalFixture {};

} // namespace

TEST_F(ResourcesTest, AssignedListHasBarsInOrderThenTheInterrupt) {
    timing.put16(0x04, 0);
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(assignTiming(&driver, &device, &list), STATUS_SUCCESS);
    ASSERT_NE(list, nullptr);

    EXPECT_EQ(list->Count, 1u);
    EXPECT_EQ(list->List[0].InterfaceType, PCIBus);
    EXPECT_EQ(list->List[0].BusNumber, 0u);
    EXPECT_EQ(list->List[0].PartialResourceList.Version, 1);
    EXPECT_EQ(list->List[0].PartialResourceList.Revision, 1);
    ASSERT_EQ(list->List[0].PartialResourceList.Count, 4u);

    const auto& memory = descriptor(list, 0);
    EXPECT_EQ(memory.Type, CmResourceTypeMemory);
    EXPECT_EQ(memory.ShareDisposition, CmResourceShareDeviceExclusive);
    EXPECT_EQ(memory.Flags, CM_RESOURCE_MEMORY_READ_WRITE);
    EXPECT_EQ(memory.u.Memory.Start.QuadPart, kTimingMemory);
    EXPECT_EQ(memory.u.Memory.Length, 0x80u);

    const uint32_t ioStarts[] = {kTimingIo1, kTimingIo2};
    const ULONG ioLengths[] = {0x80, 0x20};
    for (ULONG i = 0; i < 2; ++i) {
        const auto& port = descriptor(list, 1 + i);
        EXPECT_EQ(port.Type, CmResourceTypePort) << i;
        EXPECT_EQ(port.ShareDisposition, CmResourceShareDeviceExclusive) << i;
        EXPECT_EQ(port.Flags, CM_RESOURCE_PORT_IO) << i;
        EXPECT_EQ(port.u.Port.Start.QuadPart, ioStarts[i]) << i;
        EXPECT_EQ(port.u.Port.Length, ioLengths[i]) << i;
    }

    const auto& irq = descriptor(list, 3);
    EXPECT_EQ(irq.Type, CmResourceTypeInterrupt);
    EXPECT_EQ(irq.ShareDisposition, CmResourceShareShared);
    EXPECT_EQ(irq.Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
    EXPECT_EQ(irq.u.Interrupt.Level, kTimingIrq);
    EXPECT_EQ(irq.u.Interrupt.Vector, kTimingIrq);
    EXPECT_EQ(irq.u.Interrupt.Affinity, 0x3u); // both processors

    // The list is the caller's paged pool, under the HAL's tag.
    auto blocks = kernel->poolBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tag, ntemu::kHalResourceListTag);
    EXPECT_EQ(blocks[0].type, PagedPool);
    EXPECT_EQ(blocks[0].bytes,
              sizeof(CM_RESOURCE_LIST) + 3 * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));

    // Sizing left the BARs as they were, and decoding is on.
    EXPECT_EQ(timing.get32(0x10), kTimingMemory);
    EXPECT_EQ(timing.get32(0x14), kTimingIo1 | 1);
    EXPECT_EQ(timing.get32(0x18), kTimingIo2 | 1);
    EXPECT_EQ(timing.get16(0x04) & 0x3, 0x3);
    EXPECT_EQ(hal->claimCount(), 1u);
    ExFreePool(list);
}

TEST_F(ResourcesTest, OneDescriptorListIs36BytesAndPinlessCardsHaveNoInterrupt) {
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, PCIBus, 0,
                                     kBridgeSlot, &list),
              STATUS_SUCCESS);
    ASSERT_EQ(list->List[0].PartialResourceList.Count, 1u);
    EXPECT_EQ(descriptor(list, 0).Type, CmResourceTypeMemory);
    EXPECT_EQ(descriptor(list, 0).u.Memory.Length, 0x1000u);
    EXPECT_EQ(blockBytes(*kernel, list), 36u);
    EXPECT_EQ(bridge.get16(0x04) & 0x3, 0x2); // memory decoding only
    ExFreePool(list);

    // A pin with line 0xFF (not routed) gives no interrupt either.
    PCM_RESOURCE_LIST quirkList = nullptr;
    ASSERT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &otherDevice, PCIBus, 0,
                                     kQuirkSlot, &quirkList),
              STATUS_SUCCESS);
    ASSERT_EQ(quirkList->List[0].PartialResourceList.Count, 1u);
    EXPECT_EQ(descriptor(quirkList, 0).Type, CmResourceTypePort);
    ExFreePool(quirkList);

    timing.setInterrupt(1, 0);
    PCM_RESOURCE_LIST lineZero = nullptr;
    ASSERT_EQ(assignTiming(&otherDriver, &device, &lineZero), STATUS_SUCCESS);
    EXPECT_EQ(lineZero->List[0].PartialResourceList.Count, 3u);
    ExFreePool(lineZero);
}

TEST_F(ResourcesTest, SixtyFourBitBarTakesTwoSlots) {
    multi2.setBar(0, 0xFE000000 | 0x4, 0x100000); // 64-bit memory BAR; BAR 1 is its top half
    multi2.setBar(2, 0xD100 | 1, 0x8);
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, PCIBus, 0,
                                     slotNumber(kMultiSlot, 2), &list),
              STATUS_SUCCESS);
    ASSERT_EQ(list->List[0].PartialResourceList.Count, 2u);
    EXPECT_EQ(descriptor(list, 0).Type, CmResourceTypeMemory);
    EXPECT_EQ(descriptor(list, 0).u.Memory.Start.QuadPart, 0xFE000000);
    EXPECT_EQ(descriptor(list, 0).u.Memory.Length, 0x100000u);
    EXPECT_EQ(descriptor(list, 1).Type, CmResourceTypePort);
    EXPECT_EQ(descriptor(list, 1).u.Port.Start.QuadPart, 0xD100);
    EXPECT_EQ(descriptor(list, 1).u.Port.Length, 0x8u);
    ExFreePool(list);
}

TEST_F(ResourcesTest, AssigningAnEmptySlotFindsNoDevice) {
    PCM_RESOURCE_LIST list = reinterpret_cast<PCM_RESOURCE_LIST>(&driver);
    EXPECT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, PCIBus, 0,
                                     kEmptySlot, &list),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, PCIBus, 2,
                                     kTimingSlot, &list),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, PCIBus, 0,
                                     slotNumber(kQuirkSlot, 3), &list),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hal->claimCount(), 0u);
    EXPECT_TRUE(kernel->poolBlocks().empty());
}

TEST_F(ResourcesTest, SecondOwnerConflictsUntilTheFirstReleases) {
    PCM_RESOURCE_LIST first = nullptr, second = nullptr;
    ASSERT_EQ(assignTiming(&driver, &device, &first), STATUS_SUCCESS);
    EXPECT_EQ(assignTiming(&driver, &otherDevice, &second), STATUS_CONFLICTING_ADDRESSES);
    EXPECT_EQ(assignTiming(&otherDriver, &device, &second), STATUS_CONFLICTING_ADDRESSES);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(kernel->poolBlockCount(ntemu::kHalResourceListTag), 1u);

    // The owner assigning again replaces its own claim.
    PCM_RESOURCE_LIST again = nullptr;
    ASSERT_EQ(assignTiming(&driver, &device, &again), STATUS_SUCCESS);
    EXPECT_EQ(hal->claimCount(), 1u);

    // Release goes by registry path (any case), driver and device.
    UNICODE_STRING otherCase;
    RtlInitUnicodeString(&otherCase, u"\\REGISTRY\\machine\\System\\Svc\\Dev0\\Parameters");
    EXPECT_EQ(IoAssignResources(&registryPath, nullptr, &driver, &otherDevice, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(hal->claimCount(), 1u);
    PCM_RESOURCE_LIST out = first;
    EXPECT_EQ(IoAssignResources(&otherCase, nullptr, &driver, &device, nullptr, &out),
              STATUS_SUCCESS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(hal->claimCount(), 0u);

    ASSERT_EQ(assignTiming(&otherDriver, &otherDevice, &second), STATUS_SUCCESS);
    ExFreePool(first);
    ExFreePool(again);
    ExFreePool(second);
}

TEST_F(ResourcesTest, AssignmentFaultsLeaveNothingBehind) {
    timing.put16(0x04, 0);
    PCM_RESOURCE_LIST list = nullptr;
    faults::failNth(ntemu::FaultPoint::HalAssignSlotResources, 1);
    EXPECT_EQ(assignTiming(&driver, &device, &list), STATUS_CONFLICTING_ADDRESSES);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(hal->claimCount(), 0u);

    faults::failNth(ntemu::FaultPoint::PoolAllocation, 1);
    EXPECT_EQ(assignTiming(&driver, &device, &list), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(hal->claimCount(), 0u);
    EXPECT_EQ(timing.get16(0x04), 0);

    ASSERT_EQ(assignTiming(&driver, &device, &list), STATUS_SUCCESS);
    EXPECT_EQ(faults::calls(ntemu::FaultPoint::HalAssignSlotResources), 3u);
    ExFreePool(list);
}

TEST_F(ResourcesTest, AssignmentRulesOfUse) {
    PCM_RESOURCE_LIST list = nullptr;
    EXPECT_EQ(HalAssignSlotResources(&registryPath, nullptr, &driver, &device, Isa, 0, 3, &list),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(verifier::consume(Check::NotImplemented), 1u);
    EXPECT_EQ(assignTiming(&driver, &device, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);

    atIrql(APC_LEVEL, [&] {
        EXPECT_EQ(assignTiming(&driver, &device, &list), STATUS_SUCCESS);
        EXPECT_EQ(IoAssignResources(&registryPath, nullptr, &driver, &device, nullptr, nullptr),
                  STATUS_SUCCESS);
    });
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].check, Check::IrqlNotExact);
    EXPECT_EQ(reports[0].routine, "HalAssignSlotResources");
    EXPECT_EQ(reports[1].check, Check::IrqlNotExact);
    EXPECT_EQ(reports[1].routine, "IoAssignResources");
    ExFreePool(list);

    // Assignment from a requirements list is not emulated, and says so.
    auto* requirements = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(&device);
    EXPECT_EQ(IoAssignResources(&registryPath, nullptr, &driver, &device, requirements, &list),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(verifier::consume(Check::NotImplemented), 1u);
}

TEST_F(ResourcesTest, UnassignedBarIsNotEmulated) {
    timing.setBar(1, 0x1, 0x80); // I/O BAR implemented but given no address
    PCM_RESOURCE_LIST list = nullptr;
    EXPECT_EQ(assignTiming(&driver, &device, &list), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(verifier::consume(Check::NotImplemented), 1u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(hal->claimCount(), 0u);
}

TEST_F(ResourcesTest, ReportedUsageConflictsOverridesAndReleases) {
    OneResource ports(CmResourceTypePort, 0x300, 0x20, CmResourceShareDeviceExclusive);
    OneResource overlapping(CmResourceTypePort, 0x310, 0x08, CmResourceShareDeviceExclusive);
    BOOLEAN conflict = TRUE;
    ASSERT_EQ(IoReportResourceUsage(nullptr, &driver, nullptr, 0, &device, &ports.list,
                                    sizeof ports.list, FALSE, &conflict),
              STATUS_SUCCESS);
    EXPECT_FALSE(conflict);

    EXPECT_EQ(IoReportResourceUsage(nullptr, &otherDriver, &overlapping.list,
                                    sizeof overlapping.list, nullptr, nullptr, 0, FALSE, &conflict),
              STATUS_CONFLICTING_ADDRESSES);
    EXPECT_TRUE(conflict);
    EXPECT_EQ(hal->claimCount(), 1u);

    EXPECT_EQ(IoReportResourceUsage(nullptr, &otherDriver, &overlapping.list,
                                    sizeof overlapping.list, nullptr, nullptr, 0, TRUE, &conflict),
              STATUS_SUCCESS);
    EXPECT_TRUE(conflict);
    EXPECT_EQ(hal->claimCount(), 2u);

    // The empty 36-byte list gives the device's claim back.
    CM_RESOURCE_LIST empty;
    std::memset(&empty, 0, sizeof empty);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &driver, nullptr, 0, &device, &empty, sizeof empty,
                                    TRUE, &conflict),
              STATUS_SUCCESS);
    EXPECT_FALSE(conflict);
    EXPECT_EQ(hal->claimCount(), 1u);

    // Reported claims conflict with assigned ones too: port 0xE000 is the timing card's.
    PCM_RESOURCE_LIST list = nullptr;
    OneResource cardPorts(CmResourceTypePort, kTimingIo1, 4, CmResourceShareDriverExclusive);
    ASSERT_EQ(assignTiming(&driver, &device, &list), STATUS_SUCCESS);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &driver, &cardPorts.list, sizeof cardPorts.list,
                                    nullptr, nullptr, 0, FALSE, &conflict),
              STATUS_CONFLICTING_ADDRESSES);
    ExFreePool(list);
}

TEST_F(ResourcesTest, ReportedInterruptsConflictUnlessBothShare) {
    OneResource shared(CmResourceTypeInterrupt, 5, 1, CmResourceShareShared);
    OneResource exclusive(CmResourceTypeInterrupt, 5, 1, CmResourceShareDeviceExclusive);
    BOOLEAN conflict = FALSE;
    ASSERT_EQ(IoReportResourceUsage(nullptr, &driver, &shared.list, sizeof shared.list, nullptr,
                                    nullptr, 0, FALSE, &conflict),
              STATUS_SUCCESS);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &otherDriver, &shared.list, sizeof shared.list,
                                    nullptr, nullptr, 0, FALSE, &conflict),
              STATUS_SUCCESS);
    EXPECT_FALSE(conflict);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &otherDriver, nullptr, 0, &device, &exclusive.list,
                                    sizeof exclusive.list, FALSE, &conflict),
              STATUS_CONFLICTING_ADDRESSES);
    EXPECT_TRUE(conflict);
}

TEST_F(ResourcesTest, ReportedUsageRejectsBadArguments) {
    OneResource ports(CmResourceTypePort, 0x300, 0x20, CmResourceShareDeviceExclusive);
    BOOLEAN conflict = FALSE;
    EXPECT_EQ(IoReportResourceUsage(nullptr, &driver, &ports.list, sizeof ports.list - 4, nullptr,
                                    nullptr, 0, FALSE, &conflict),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &driver, nullptr, 0, nullptr, &ports.list,
                                    sizeof ports.list, FALSE, &conflict),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoReportResourceUsage(nullptr, &driver, &ports.list, sizeof ports.list, nullptr,
                                    nullptr, 0, FALSE, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 3u);
    EXPECT_EQ(hal->claimCount(), 0u);

    atIrql(DISPATCH_LEVEL, [&] {
        IoReportResourceUsage(nullptr, &driver, &ports.list, sizeof ports.list, nullptr, nullptr, 0,
                              FALSE, &conflict);
    });
    EXPECT_EQ(verifier::consume(Check::IrqlNotExact), 1u);
}
