// Tests of CResource on the simulated machine: card search, configuration reads, resource
// assignment under the device's key, the two resource records, and address mapping.
#include "resource.h"
#include "sim_fixture.h"

#include <cstring>

using namespace drvfwtest;
using ntemu::FaultPoint;
namespace faults = ntemu::faults;

namespace {

constexpr USHORT kPlx = 0x10B5;

class ResourceTest : public SystemFixture {
protected:
    // A start-I/O device owns the claims here, so that the card is still free to assign.
    void bootWith(const vornsim::MachineDescription& description) {
        driverConfig() = DriverConfig{1, true};
        boot(simMachine(clock(), description));
        ASSERT_EQ(load(QueueDriverEntry), STATUS_SUCCESS);
        m_owner = g_devices[0];
    }
    CDevice* m_owner = nullptr;
};

vornsim::MachineDescription searchMachine() {
    vornsim::MachineDescription d;
    d.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    vornsim::CardIds foreign;
    foreign.subsystemVendorId = 0x1111;
    foreign.subsystemId = 0x2222;
    d.cards.push_back(vornsim::CardDescription::other(foreign, 0, 5, 10));
    vornsim::CardIds bridge;
    bridge.deviceId = 0x9030;
    bridge.headerType = 0x81; // type 1, multi-function
    bridge.subsystemVendorId = 0;
    bridge.subsystemId = 0;
    d.cards.push_back(vornsim::CardDescription::other(bridge, 0, 7, 9));
    d.cards.push_back(vornsim::CardDescription::board(0x7000, 0, 31, 5));
    d.extraBuses.push_back(2);
    return d;
}

TEST_F(ResourceTest, FindCardSearchesOneBusFromTheFirstSlot) {
    bootWith(searchMachine());
    CResource bus0(PCIBus, 0, nullptr);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 0, 0, 0), 3);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 4, 0, 0), 5); // any subsystem ids
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 6, 0, 0), 31);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 4, 0x1347, 0x7000), 31); // ids must be equal
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 4, 0x1347, 0x9070), -32);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 0, 0x1347, 0x9070), 3);
    // A header that is not type 0 matches on vendor and device alone.
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9030, 0, 0, 0x1347, 0x9070), 7);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9054, 0, 5, 0, 0), -32);
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 32, 0, 0), -32); // nothing read at all
    EXPECT_EQ(bus0.FindCard(kPlx, 0x9050, 0, 40, 0, 0), -40);

    CResource emptyBus(PCIBus, 2, nullptr);
    EXPECT_EQ(emptyBus.FindCard(kPlx, 0x9050, 0, 0, 0, 0), -32);
    CResource missingBus(PCIBus, 3, nullptr);
    EXPECT_EQ(missingBus.FindCard(kPlx, 0x9050, 0, 0, 0, 0), -1);
    EXPECT_EQ(missingBus.FindCard(kPlx, 0x9050, 0, 5, 0, 0), -5);
}

TEST_F(ResourceTest, GetBusDataChecksTheBusKind) {
    bootWith(searchMachine());
    PCI_COMMON_CONFIG config;
    ULONG read = 99;
    EXPECT_EQ(CResource::GetBusData(PCIBus, 0, 3, sizeof config, &config, &read, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 256u);
    EXPECT_EQ(config.VendorID, kPlx);
    EXPECT_EQ(config.u.type0.SubSystemID, 0x9070);

    USHORT subsystem = 0;
    EXPECT_EQ(CResource::GetBusData(PCIBus, 0, 3, 2, &subsystem, &read, 0x2E, 0), STATUS_SUCCESS);
    EXPECT_EQ(subsystem, 0x9070);
    EXPECT_EQ(CResource::GetBusData(PCIBus, 3, 3, 4, &subsystem, &read, 0, 0),
              STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(read, 0u);

    read = 99;
    EXPECT_EQ(CResource::GetBusData(Eisa, 0, 3, 4, &config, &read, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read, 0u);
    read = 99;
    EXPECT_EQ(CResource::GetBusData(MicroChannel, 0, 3, 4, &config, &read, 0, 1),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(CResource::GetBusData(Isa, 0, 3, 4, &config, &read, 0, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(ResourceTest, AssignedCardGivesAMemoryRangeAndTwoPortRanges) {
    bootWith(oneBoard());
    CResource* resource = new CResource(PCIBus, 0, m_owner);
    ASSERT_NE(resource, nullptr);
    ASSERT_NE(m_owner->ParametersName, nullptr);
    DRVFW_MAPPED_ADDRESS port{};
    EXPECT_FALSE(resource->GetPortResource(&port, 0)); // nothing assigned yet
    ASSERT_EQ(resource->AssignCardsResources(
                  CString(u"\\Registry\\Machine\\System\\Services\\FwTest"), kPlx, 0x9050, 3, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(textOf(m_owner->ResourceKey),
              u"\\Registry\\Machine\\System\\Services\\FwTest\\FwQueue0\\Parameters");
    EXPECT_EQ(m_owner->ResourceClaim, 1u);
    EXPECT_EQ(hal().claimCount(), 1u);

    vornsim::BarAssignment bars = vornsim::SimMachine::firmwareAssignment(0);
    ASSERT_TRUE(resource->GetPortResource(&port, 0));
    EXPECT_EQ(port.BusAddress.QuadPart, bars.localIo);
    EXPECT_EQ(port.AddressSpace, 1u);
    EXPECT_EQ(port.Flags, ULONG(CM_RESOURCE_PORT_IO));
    ASSERT_TRUE(resource->GetPortResource(&port, 1));
    EXPECT_EQ(port.BusAddress.QuadPart, bars.window);
    EXPECT_FALSE(resource->GetPortResource(&port, 2));

    DRVFW_INTERRUPT_RESOURCE interrupt{};
    ASSERT_TRUE(resource->GetInterruptResource(&interrupt, 0));
    EXPECT_EQ(interrupt.Level, 11u);
    EXPECT_EQ(interrupt.InterruptMode, LevelSensitive);
    EXPECT_FALSE(resource->GetInterruptResource(&interrupt, 1));
    delete resource;

    // The device gives the claim back when it goes.
    EXPECT_TRUE(unload());
    EXPECT_EQ(hal().claimCount(), 0u);
    EXPECT_EQ(frameworkBlocks(), 0u);
}

TEST_F(ResourceTest, InterruptRecordsFollowTheDescriptorFlags) {
    bootWith(oneBoard());
    CResource resource(PCIBus, 0, m_owner);
    auto* list = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(
        PagedPool, sizeof(CM_RESOURCE_LIST) + 2 * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR),
        0x74736554));
    std::memset(list, 0, sizeof(CM_RESOURCE_LIST) + 2 * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    list->Count = 1;
    CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
    partial.Count = 3;
    CM_PARTIAL_RESOURCE_DESCRIPTOR* d = partial.PartialDescriptors;
    d[0].Type = CmResourceTypeInterrupt;
    d[0].Flags = CM_RESOURCE_INTERRUPT_LATCHED;
    d[0].ShareDisposition = CmResourceShareDeviceExclusive;
    d[0].u.Interrupt = {5, 0x35, 0x3};
    d[1].Type = CmResourceTypeMemory;
    d[2].Type = CmResourceTypeInterrupt;
    d[2].Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d[2].ShareDisposition = CmResourceShareShared;
    d[2].u.Interrupt = {9, 9, 1};
    resource.AllocatedResources = list; // the resource frees it

    DRVFW_INTERRUPT_RESOURCE latched{}, level{};
    ASSERT_TRUE(resource.GetInterruptResource(&latched, 0));
    ASSERT_TRUE(resource.GetInterruptResource(&level, 1));
    EXPECT_EQ(latched.InterruptMode, Latched);
    EXPECT_EQ(latched.Vector, 0x35u);
    EXPECT_EQ(latched.Affinity, 0x3u);
    EXPECT_EQ(latched.ShareDisposition, ULONG(CmResourceShareDeviceExclusive));
    EXPECT_EQ(level.InterruptMode, LevelSensitive);
    EXPECT_EQ(level.Level, 9u);
    EXPECT_EQ(level.ShareDisposition, ULONG(CmResourceShareShared));
    DRVFW_MAPPED_ADDRESS port{};
    EXPECT_FALSE(resource.GetPortResource(&port, 0));
}

TEST_F(ResourceTest, ResourceKeyTakesTheSubKeyAndFailuresClaimNothing) {
    bootWith(oneBoard());
    m_owner->SubKeyName = new CString(u"Sub");
    CResource resource(PCIBus, 0, m_owner);
    CString path(u"\\Svc");
    faults::failNth(FaultPoint::HalAssignSlotResources, 1);
    EXPECT_EQ(resource.AssignCardsResources(path, kPlx, 0x9050, 3, 0),
              STATUS_CONFLICTING_ADDRESSES);
    EXPECT_EQ(textOf(m_owner->ResourceKey), u"\\Svc\\Sub\\FwQueue0\\Parameters");
    EXPECT_EQ(m_owner->ResourceClaim, 0u);

    for (uint64_t n = 1; n <= 4; ++n) {
        faults::failNth(FaultPoint::PoolAllocation, n);
        EXPECT_EQ(resource.AssignCardsResources(path, kPlx, 0x9050, 3, 0),
                  STATUS_INSUFFICIENT_RESOURCES)
            << "allocation " << n;
        EXPECT_EQ(m_owner->ResourceClaim, 0u);
    }
    faults::clear();
    EXPECT_EQ(hal().claimCount(), 0u);
    EXPECT_EQ(resource.AssignCardsResources(path, kPlx, 0x9050, 3, 0), STATUS_SUCCESS);
    EXPECT_EQ(textOf(m_owner->ResourceKey), u"\\Svc\\Sub\\FwQueue0\\Parameters");
}

TEST_F(ResourceTest, ParametersNameIsLeftOutWhenItCannotBeMade) {
    bootWith(oneBoard());
    for (uint64_t n : {1u, 2u}) { // the object, then its text
        faults::failNth(FaultPoint::PoolAllocation, n);
        CResource resource(PCIBus, 0, m_owner);
        EXPECT_EQ(m_owner->ParametersName, nullptr) << "allocation " << n;
    }
    CResource resource(PCIBus, 0, m_owner);
    ASSERT_NE(m_owner->ParametersName, nullptr);
    delete m_owner->ParametersName;
    m_owner->ParametersName = nullptr;
    EXPECT_EQ(resource.AssignCardsResources(CString(u"\\Svc"), kPlx, 0x9050, 3, 0), STATUS_SUCCESS);
    EXPECT_EQ(textOf(m_owner->ResourceKey), u"\\Svc\\FwQueue0");
}

TEST_F(ResourceTest, MapIoAddressTranslatesPortsAndMapsMemory) {
    bootWith(oneBoard());
    CResource resource(PCIBus, 0, m_owner);
    CString path(u"\\Svc");
    ASSERT_EQ(resource.AssignCardsResources(path, kPlx, 0x9050, 3, 0), STATUS_SUCCESS);
    DRVFW_MAPPED_ADDRESS window{};
    ASSERT_TRUE(resource.GetPortResource(&window, 1));
    ASSERT_EQ(m_owner->MapIoAddress(PCIBus, 0, window), STATUS_SUCCESS);
    EXPECT_FALSE(window.Mapped);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(window.MappedAddress), window.BusAddress.QuadPart);

    DRVFW_MAPPED_ADDRESS memory{};
    memory.BusAddress.QuadPart = vornsim::SimMachine::firmwareAssignment(0).localMemory;
    memory.Length = 0x80;
    memory.AddressSpace = 0;
    faults::failNth(FaultPoint::MmMapIoSpace, 1);
    EXPECT_EQ(m_owner->MapIoAddress(PCIBus, 0, memory), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(memory.Mapped);
    ASSERT_EQ(m_owner->MapIoAddress(PCIBus, 0, memory), STATUS_SUCCESS);
    EXPECT_TRUE(memory.Mapped);
    EXPECT_NE(memory.MappedAddress, nullptr);
    EXPECT_EQ(hal().mappingCount(), 1u);
    MmUnmapIoSpace(memory.MappedAddress, memory.Length);
    EXPECT_EQ(hal().mappingCount(), 0u);
}

} // namespace
