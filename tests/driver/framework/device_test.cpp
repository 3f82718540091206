// Tests of CDevice, CDriver and the entry points: sharing rules, unnamed devices, the cancel
// helpers and the device lock's order, construction failing at every step, and unload.
#include "sim_fixture.h"

#include <set>
#include <string>

using namespace drvfwtest;
using ntemu::FaultPoint;
namespace faults = ntemu::faults;

namespace {

class DeviceTest : public SystemFixture {
protected:
    void bootQueueDriver() {
        driverConfig() = DriverConfig{1, true};
        boot();
        ASSERT_EQ(load(QueueDriverEntry), STATUS_SUCCESS);
        m_device = g_devices[0];
    }
    // Nothing of the driver may be left in the system: devices, links, claims, interrupts,
    // mappings or pool.
    void expectNothingLeft(const char* when) {
        SCOPED_TRACE(when);
        for (const char16_t* name : {u"FwRes0", u"FwRes1", u"FwRes2"}) {
            EXPECT_EQ(io().findDevice(std::u16string(u"\\Device\\") + name), nullptr);
            EXPECT_FALSE(io().linkExists(std::u16string(u"\\DosDevices\\") + name));
        }
        EXPECT_EQ(hal().claimCount(), 0u);
        EXPECT_EQ(hal().connectedInterruptCount(), 0u);
        EXPECT_EQ(hal().mappingCount(), 0u);
        EXPECT_EQ(frameworkBlocks(), 0u);
        EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);
    }
    CDevice* m_device = nullptr;
};

TEST_F(DeviceTest, OneExclusiveHandleOrAnyNumberOfSharedOnes) {
    bootQueueDriver();
    const std::u16string name = u"\\\\.\\FwQueue0";
    const USHORT shared = FILE_SHARE_READ;
    NTSTATUS status;
    ntemu::Handle exclusive = open(name, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(m_device->ExclusiveOpen, 1);
    open(name, shared, &status);
    EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
    open(name, 0, &status);
    EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(m_device->OpenCount, 1);

    ASSERT_EQ(process().close(exclusive), STATUS_SUCCESS);
    EXPECT_EQ(m_device->ExclusiveOpen, 0);
    EXPECT_EQ(m_device->OpenCount, 0);
    exclusive = open(name, 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(process().close(exclusive), STATUS_SUCCESS);

    ntemu::Handle first = open(name, shared, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ntemu::Handle second = open(name, FILE_SHARE_WRITE, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(m_device->OpenCount, 2);
    open(name, 0, &status);
    EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
    process().close(first);
    process().close(second);
    EXPECT_EQ(m_device->OpenCount, 0);
}

TEST_F(DeviceTest, UnnamedDeviceHasNoNameAndNoLink) {
    bootQueueDriver();
    QueueDevice* unnamed = nullptr;
    ASSERT_EQ(createDevice(driver(), nullptr, &unnamed, true), STATUS_SUCCESS);
    PDEVICE_OBJECT object = unnamed->DeviceObject;
    EXPECT_EQ(object->Flags & DO_DEVICE_HAS_NAME, 0u);
    EXPECT_NE(object->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(object->DeviceExtension, static_cast<PVOID>(unnamed));
    EXPECT_TRUE(unnamed->DeviceName.IsValid);
    EXPECT_EQ(unnamed->DeviceName.UnicodeString.Length, 0);
    EXPECT_NE(unnamed->CreateWin32Name(CString(u"FwUnnamed")), STATUS_SUCCESS);
    EXPECT_FALSE(io().linkExists(u"\\DosDevices\\FwUnnamed"));
    EXPECT_EQ(unnamed->Win32Name.UnicodeString.Length, 0);
    EXPECT_TRUE(unload()); // takes both devices
    EXPECT_EQ(frameworkBlocks(), 0u);
}

TEST_F(DeviceTest, LinkFailureLeavesNoName) {
    bootQueueDriver();
    QueueDevice* device = nullptr;
    ASSERT_EQ(createDevice(driver(), u"FwSecond", &device, true), STATUS_SUCCESS);
    EXPECT_EQ(device->CreateWin32Name(CString(u"FwQueue0")), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(device->Win32Name.UnicodeString.Length, 0);
    faults::failNth(FaultPoint::IoCreateSymbolicLink, 1);
    EXPECT_EQ(device->CreateWin32Name(CString(u"FwSecond")), STATUS_INSUFFICIENT_RESOURCES);
    faults::failNth(FaultPoint::PoolAllocation, 1);
    EXPECT_EQ(device->CreateWin32Name(CString(u"FwSecond")), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(io().linkExists(u"\\DosDevices\\FwSecond"));
    ASSERT_EQ(device->CreateWin32Name(CString(u"FwSecond")), STATUS_SUCCESS);
    EXPECT_TRUE(io().linkExists(u"\\DosDevices\\FwSecond"));
    EXPECT_EQ(textOf(device->Win32Name), u"\\DosDevices\\FwSecond");
    EXPECT_TRUE(unload());
    EXPECT_FALSE(io().linkExists(u"\\DosDevices\\FwSecond"));
    EXPECT_FALSE(io().linkExists(u"\\DosDevices\\FwQueue0"));
}

TEST_F(DeviceTest, CancelHelpersUnderTheDeviceLock) {
    bootQueueDriver();
    EXPECT_TRUE(m_device->CheckIrpCanceled(nullptr));
    // The helpers take the cancel spin lock inside the device lock, the declared order.
    KIRQL irql = KfAcquireSpinLock(&m_device->DeviceLock);
    EXPECT_TRUE(m_device->CheckIrpCanceled(nullptr));
    KfReleaseSpinLock(&m_device->DeviceLock, irql);
    EXPECT_FALSE(ntemu::verifier::has(ntemu::Check::LockOrder));

    // The other order is what a cancel routine taking the device lock would do.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KefAcquireSpinLockAtDpcLevel(&m_device->DeviceLock);
    KefReleaseSpinLockFromDpcLevel(&m_device->DeviceLock);
    IoReleaseCancelSpinLock(cancelIrql);
    EXPECT_EQ(ntemu::verifier::consume(ntemu::Check::LockOrder), 1u);
}

TEST_F(DeviceTest, DriverObjectGetsTheFrameworkEntryPoints) {
    bootQueueDriver();
    EXPECT_EQ(driver()->MajorFunction[IRP_MJ_CREATE], DrvFwCreateFile);
    EXPECT_EQ(driver()->MajorFunction[IRP_MJ_CLOSE], DrvFwCloseHandle);
    EXPECT_EQ(driver()->MajorFunction[IRP_MJ_CLEANUP], DrvFwCleanup);
    EXPECT_EQ(driver()->DriverUnload, DrvFwDriverUnload);
    EXPECT_EQ(m_device->LegacyQueuing, 1);
    EXPECT_EQ(m_device->IrpQueue.LegacyQueuing, 1);
    EXPECT_EQ(m_device->IrpQueue.StartIoRoutine, QueueDevice::StartIo);
    m_device->SetLegacyQueuing(FALSE);
    EXPECT_EQ(m_device->IrpQueue.LegacyQueuing, 0);
}

vornsim::MachineDescription threeBoards() {
    vornsim::MachineDescription d;
    d.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    d.cards.push_back(vornsim::CardDescription::board(0x7000, 0, 9, 10, 0x9030));
    d.cards.push_back(vornsim::CardDescription::board(0x9072, 2, 0, 11));
    return d;
}

TEST_F(DeviceTest, ConstructionUnloadOfThreeDevicesReleasesEverything) {
    boot(simMachine(clock(), threeBoards()));
    ASSERT_EQ(load(ResourceDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(g_devices.size(), 3u);
    auto* first = static_cast<ResourceDevice*>(g_devices[0]);
    auto* third = static_cast<ResourceDevice*>(g_devices[2]);
    EXPECT_EQ(first->Slot, 3);
    EXPECT_EQ(static_cast<ResourceDevice*>(g_devices[1])->Slot, 9);
    EXPECT_EQ(third->Slot, 0);
    EXPECT_EQ(textOf(first->ResourceKey),
              u"\\Registry\\Machine\\System\\Services\\FwTest\\FwRes0\\Parameters");
    EXPECT_EQ(third->PortAddress.BusAddress.QuadPart,
              vornsim::SimMachine::firmwareAssignment(2).window);
    EXPECT_EQ(third->InterruptResource.Irql, ntemu::irqlForIrq(11));
    EXPECT_EQ(third->InterruptVector, ntemu::vectorForIrq(11));
    EXPECT_TRUE(io().linkExists(u"\\DosDevices\\FwRes2"));
    EXPECT_EQ(hal().claimCount(), 3u);
    EXPECT_EQ(hal().connectedInterruptCount(), 3u);
    EXPECT_TRUE(unload());
    expectNothingLeft("after unload");
}

// Each failing kernel service on the way of a construction: the creator's handler must leave
// nothing behind, whether the driver then loads (a later bus) or not.
TEST_F(DeviceTest, ConstructionFailureAtEveryStepLeavesNothingBehind) {
    boot(simMachine(clock(), oneBoard()));
    ASSERT_EQ(load(ResourceDriverEntry), STATUS_SUCCESS);
    uint64_t counts[size_t(FaultPoint::Count)];
    for (size_t p = 0; p < size_t(FaultPoint::Count); ++p)
        counts[p] = faults::calls(FaultPoint(p));
    EXPECT_TRUE(unload());
    expectNothingLeft("clean run");
    ASSERT_GT(counts[size_t(FaultPoint::PoolAllocation)], 5u);

    std::set<NTSTATUS> failures;
    for (size_t p = 0; p < size_t(FaultPoint::Count); ++p) {
        for (uint64_t n = 1; n <= counts[p]; ++n) {
            std::string step = "fault point " + std::to_string(p) + " call " + std::to_string(n);
            SCOPED_TRACE(step);
            faults::clear();
            boot(simMachine(clock(), oneBoard()));
            faults::failNth(FaultPoint(p), n);
            NTSTATUS status = load(ResourceDriverEntry);
            if (NT_SUCCESS(status)) {
                EXPECT_TRUE(unload());
            } else {
                failures.insert(status);
                unload();
            }
            expectNothingLeft(step.c_str());
        }
    }
    // At least the allocation of the driver object and the later steps each failed a load.
    EXPECT_TRUE(failures.count(STATUS_NO_MEMORY));
    EXPECT_TRUE(failures.count(STATUS_INSUFFICIENT_RESOURCES));
}

} // namespace
