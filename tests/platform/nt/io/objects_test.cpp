// Devices, links and opening by name; driver loading and unloading with their leak checks.
#include "io_fixture.h"

using namespace ntemu;

namespace iotest {
namespace {

class ObjectsTest : public IoFixture {};

TEST_F(ObjectsTest, DeviceIsZeroedAtHeadOfListWithInitialisingCleared) {
    PDEVICE_OBJECT dev = device();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(driver->DeviceObject, dev);
    EXPECT_EQ(dev->StackSize, 1);
    EXPECT_EQ(dev->Flags & (DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME),
              ULONG(DO_DEVICE_HAS_NAME));
    EXPECT_FALSE(dev->DeviceQueue.Busy);
    EXPECT_TRUE(IsListEmpty(&dev->DeviceQueue.DeviceListHead));

    // A device made later goes to the head, keeps DO_DEVICE_INITIALIZING and a zero extension.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\IoTest1");
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &second),
              STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, dev);
    EXPECT_TRUE(second->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(second->Flags & DO_EXCLUSIVE);
    const auto* bytes = static_cast<const unsigned char*>(second->DeviceExtension);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    Handle handle;
    EXPECT_EQ(process->open(u"\\Device\\IoTest1", {}, &handle), STATUS_NO_SUCH_DEVICE);

    RtlInitUnicodeString(&name, u"\\device\\IOTEST1");
    PDEVICE_OBJECT clash = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(clash, nullptr);
    IoDeleteDevice(second);
    EXPECT_EQ(driver->DeviceObject, dev);
    EXPECT_EQ(io->findDevice(u"\\Device\\IoTest1"), nullptr);
}

TEST_F(ObjectsTest, OpensByEveryNameFormAndCase) {
    for (const char16_t* name :
         {u"\\\\.\\IoTest0", u"\\DosDevices\\iotest0", u"\\??\\IOTEST0", u"\\device\\ioTEST0"}) {
        Handle handle = 0;
        EXPECT_EQ(process->open(name, {}, &handle), STATUS_SUCCESS);
        EXPECT_NE(handle, 0u);
    }
    EXPECT_EQ(process->handleCount(), 4u);
    Handle handle = 0;
    EXPECT_EQ(process->open(u"\\\\.\\IoTest9", {}, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, 0u);
}

TEST_F(ObjectsTest, LinkTargetIsResolvedAtOpenTime) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\??\\Later");
    RtlInitUnicodeString(&target, u"\\Device\\Later");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_TRUE(io->linkExists(u"\\DosDevices\\LATER"));
    Handle handle;
    EXPECT_EQ(process->open(u"\\\\.\\Later", {}, &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    PDEVICE_OBJECT later = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &target, FILE_DEVICE_UNKNOWN, 0, FALSE, &later),
              STATUS_SUCCESS);
    later->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(process->open(u"\\\\.\\Later", {}, &handle), STATUS_SUCCESS);

    RtlInitUnicodeString(&link, u"\\DosDevices\\later");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(io->linkExists(u"\\??\\Later"));
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    IoDeleteDevice(later);
}

TEST_F(ObjectsTest, CreateSeesShareAndAccessAndItsFailureGivesNoCleanupOrClose) {
    OpenOptions options;
    options.desiredAccess = GENERIC_READ;
    options.shareAccess = 0;
    Handle handle = openDevice(options);
    {
        std::lock_guard guard(state().mutex);
        EXPECT_EQ(state().lastShareAccess, 0);
        EXPECT_EQ(state().lastDesiredAccess, ACCESS_MASK(GENERIC_READ));
    }
    EXPECT_EQ(thread->deviceIoControl(handle, kReadOnly, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);

    config().createStatus = STATUS_SHARING_VIOLATION;
    handle = 1;
    EXPECT_EQ(process->open(u"\\\\.\\IoTest0", {}, &handle), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(process->handleCount(), 0u);
    EXPECT_EQ(majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP,
                                            IRP_MJ_CLOSE, IRP_MJ_CREATE}));
    EXPECT_EQ(device()->ReferenceCount, 0);
}

TEST_F(ObjectsTest, AccessBitsOfTheCodeAreCheckedBeforeAnyIrp) {
    OpenOptions options;
    options.desiredAccess = GENERIC_WRITE;
    Handle handle = openDevice(options);
    EXPECT_EQ(thread->deviceIoControl(handle, kReadOnly, nullptr, 0, nullptr, 0).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(thread->deviceIoControl(99, kReply, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(process->close(99), STATUS_INVALID_HANDLE);
}

TEST_F(ObjectsTest, ExclusiveDeviceAllowsOneFileObject) {
    config().exclusive = true;
    restart(false);
    Handle first = openDevice();
    Handle second;
    EXPECT_EQ(process->open(u"\\\\.\\IoTest0", {}, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(process->close(first), STATUS_SUCCESS);
    EXPECT_EQ(process->open(u"\\\\.\\IoTest0", {}, &second), STATUS_SUCCESS);
}

TEST_F(ObjectsTest, DeletedDeviceLivesUntilItsLastFileObjectCloses) {
    Handle handle = openDevice();
    PDEVICE_OBJECT dev = device();
    IoDeleteDevice(dev);
    EXPECT_EQ(device(), nullptr);
    EXPECT_EQ(driver->DeviceObject, dev); // still referenced
    Handle again;
    EXPECT_EQ(process->open(u"\\Device\\IoTest0", {}, &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(process->open(u"\\\\.\\IoTest0", {}, &again), STATUS_OBJECT_NAME_NOT_FOUND);

    IoDeleteDevice(dev);
    EXPECT_EQ(verifier::consume(Check::DoubleDelete), 1u);
    EXPECT_EQ(process->close(handle), STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    IoDeleteDevice(dev);
    EXPECT_EQ(verifier::consume(Check::DoubleDelete), 1u);
}

TEST_F(ObjectsTest, DeletingADeviceTakesOutDpcsQueuedInIt) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Doomed");
    PDEVICE_OBJECT doomed = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &doomed),
              STATUS_SUCCESS);
    auto* timer = static_cast<KTIMER*>(doomed->DeviceExtension);
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * kMillisecond;
    KeSetTimer(timer, due, nullptr);
    IoDeleteDevice(doomed);
    EXPECT_EQ(verifier::consume(Check::TimerInFreedMemory), 1u);
    clock.advance(20 * kMillisecond);
}

TEST_F(ObjectsTest, FaultInjectionFailsDeviceAndLinkCreation) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Faulty");
    RtlInitUnicodeString(&link, u"\\DosDevices\\Faulty");
    PDEVICE_OBJECT faulty = nullptr;
    faults::failNth(FaultPoint::IoCreateDevice, 1);
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &faulty),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(faulty, nullptr);
    EXPECT_EQ(io->findDevice(u"\\Device\\Faulty"), nullptr);
    faults::failNth(FaultPoint::IoCreateSymbolicLink, 1);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(io->linkExists(u"\\DosDevices\\Faulty"));
    // Only the nth call fails.
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(ObjectsTest, DriverEntryFailingOnAFaultLeavesNothing) {
    restart(false, false);
    faults::failNth(FaultPoint::IoCreateSymbolicLink, 1);
    DriverLoad load = io->loadDriver(DriverEntry, u"IoTest", u"");
    EXPECT_EQ(load.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(load.driver, nullptr);
    EXPECT_EQ(io->findDevice(u"\\Device\\IoTest0"), nullptr);
}

TEST_F(ObjectsTest, DriverEntryFailureReportsWhatItLeft) {
    config().failEntry = true;
    restart(false, false);
    DriverLoad load = io->loadDriver(DriverEntry, u"IoTest", u"");
    EXPECT_EQ(load.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(load.driver, nullptr);
    auto reports = verifier::take();
    size_t leaks = 0, pool = 0;
    for (const auto& report : reports) {
        EXPECT_EQ(report.routine, "DriverEntry");
        leaks += report.check == Check::ResourceLeak;
        pool += report.check == Check::PoolLeak && report.detail.find("Leak") != std::string::npos;
    }
    EXPECT_EQ(leaks, 2u); // the device and the link
    EXPECT_EQ(pool, 1u);
    EXPECT_EQ(io->findDevice(u"\\Device\\IoTest0"), nullptr);
    EXPECT_FALSE(io->linkExists(u"\\DosDevices\\IoTest0"));
}

TEST_F(ObjectsTest, UnloadReportsALeakedPoolTag) {
    config().leakPoolAtUnload = true;
    restart(false);
    ASSERT_TRUE(io->unloadDriver(driver));
    driver = nullptr;
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::PoolLeak);
    EXPECT_EQ(reports[0].routine, "DriverUnload");
    EXPECT_NE(reports[0].detail.find("Leak"), std::string::npos);
    EXPECT_EQ(io->findDevice(u"\\Device\\IoTest0"), nullptr);
}

TEST_F(ObjectsTest, UnloadWaitsForOpenHandlesWithinItsBound) {
    Handle handle = openDevice();
    EXPECT_FALSE(io->unloadDriver(driver, 10));
    auto closer = std::async(std::launch::async, [&] { return process->close(handle); });
    EXPECT_TRUE(io->unloadDriver(driver));
    driver = nullptr;
    EXPECT_EQ(closer.get(), STATUS_SUCCESS);
    EXPECT_EQ(io->findDevice(u"\\Device\\IoTest0"), nullptr);
}

TEST_F(ObjectsTest, UnloadLeavingADeviceIsReported) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Orphan");
    PDEVICE_OBJECT orphan = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &orphan),
              STATUS_SUCCESS);
    // The test driver deletes every device on its list; take this one off by hand so that
    // unload misses it.
    driver->DeviceObject = orphan->NextDevice;
    ASSERT_TRUE(io->unloadDriver(driver));
    driver = nullptr;
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::ResourceLeak);
    EXPECT_NE(reports[0].detail.find("ORPHAN"), std::string::npos);
    EXPECT_EQ(io->findDevice(u"\\Device\\Orphan"), nullptr);
}

TEST_F(ObjectsTest, BadArgumentsAndRaisedIrqlAreReported) {
    UNICODE_STRING name, broken{3, 4, nullptr};
    RtlInitUnicodeString(&name, u"\\Device\\Bad");
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoCreateSymbolicLink(&broken, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 2u);
    PDEVICE_OBJECT relative = nullptr;
    RtlInitUnicodeString(&name, u"Bad");
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &relative),
              STATUS_OBJECT_NAME_INVALID);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoDeleteSymbolicLink(&name);
    KeLowerIrql(old);
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::IrqlTooHigh);
    EXPECT_EQ(reports[0].routine, "IoDeleteSymbolicLink");
}

TEST_F(ObjectsTest, DefaultDispatchRejectsWhatTheDriverDoesNotHandle) {
    PDRIVER_DISPATCH before = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = driver->MajorFunction[IRP_MJ_READ];
    Handle handle = openDevice();
    ULONG out = 0;
    IoResult result = reply(handle, STATUS_SUCCESS, 4, &out, sizeof out);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.information, 0u);
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = before;
}

} // namespace
} // namespace iotest
