// Bus address translation, I/O space mappings and port routing.
#include "hal_fixture.h"

using namespace halfake;
using ntemu::Check;
namespace verifier = ntemu::verifier;
namespace faults = ntemu::faults;

namespace {

PHYSICAL_ADDRESS physical(LONGLONG address) {
    PHYSICAL_ADDRESS p;
    p.QuadPart = address;
    return p;
}

class MappingTest : public HalFixture {};

} // namespace

TEST_F(MappingTest, TranslationKeepsTheAddressSpace) {
    ULONG space = 1;
    PHYSICAL_ADDRESS out = physical(0);
    ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 0, physical(kTimingIo2), &space, &out));
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(out.QuadPart, kTimingIo2);

    space = 0;
    ASSERT_TRUE(HalTranslateBusAddress(PCIBus, 1, physical(kTimingMemory), &space, &out));
    EXPECT_EQ(space, 0u);
    EXPECT_EQ(out.QuadPart, kTimingMemory);

    space = 1;
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, physical(0x10000), &space, &out));
    space = 0;
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, physical(0x100000000LL), &space, &out));
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, physical(-16), &space, &out));
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 2, physical(kTimingMemory), &space, &out));
    EXPECT_FALSE(HalTranslateBusAddress(MicroChannel, 0, physical(kTimingMemory), &space, &out));
    space = 7;
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, physical(kTimingIo2), &space, &out));

    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 0, physical(kTimingIo2), nullptr, &out));
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    atIrql(ntemu::irqlForIrq(3), [&] {
        space = 1;
        HalTranslateBusAddress(PCIBus, 0, physical(kTimingIo2), &space, &out);
    });
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);
}

TEST_F(MappingTest, MappingGivesZeroedTrackedMemory) {
    auto* window = static_cast<uint8_t*>(MmMapIoSpace(physical(kTimingMemory), 0x80, MmNonCached));
    ASSERT_NE(window, nullptr);
    for (size_t i = 0; i < 0x80; ++i)
        ASSERT_EQ(window[i], 0) << i;
    window[0x7F] = 0x55;
    EXPECT_EQ(hal->mappingCount(), 1u);

    MmUnmapIoSpace(window, 0x40);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    EXPECT_EQ(hal->mappingCount(), 1u);
    MmUnmapIoSpace(window, 0x80);
    EXPECT_EQ(hal->mappingCount(), 0u);

    MmUnmapIoSpace(window, 0x80); // twice
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
    EXPECT_EQ(MmMapIoSpace(physical(kTimingMemory), 0, MmNonCached), nullptr);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
}

TEST_F(MappingTest, MappingFaultAndIrqlRules) {
    faults::failNth(ntemu::FaultPoint::MmMapIoSpace, 2);
    PVOID first = MmMapIoSpace(physical(kTimingMemory), 0x80, MmNonCached);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(MmMapIoSpace(physical(kTimingMemory), 0x80, MmNonCached), nullptr);
    EXPECT_EQ(hal->mappingCount(), 1u);

    PVOID second = nullptr;
    atIrql(DISPATCH_LEVEL, [&] {
        second = MmMapIoSpace(physical(kTimingMemory), 0x10, MmNonCached);
        MmUnmapIoSpace(first, 0x80);
    });
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::IrqlTooHigh);
    EXPECT_EQ(reports[0].routine, "MmUnmapIoSpace");
    ASSERT_NE(second, nullptr);
    MmUnmapIoSpace(second, 0x10);
    EXPECT_EQ(hal->mappingCount(), 0u);
}

TEST_F(MappingTest, PortsRouteToTheDecodingDeviceAndFloatElsewhere) {
    auto port16 = reinterpret_cast<PUSHORT>(uintptr_t{kTimingIo2 + 2});
    auto port8 = reinterpret_cast<PUCHAR>(uintptr_t{kTimingIo2 + 4});
    auto port32 = reinterpret_cast<PULONG>(uintptr_t{kTimingIo2 + 8});
    EXPECT_EQ(READ_PORT_USHORT(port16), (kTimingIo2 + 2) ^ 0x5A5A);
    WRITE_PORT_USHORT(port16, 0x1234);
    EXPECT_EQ(READ_PORT_UCHAR(port8), static_cast<UCHAR>(kTimingIo2 + 5));
    WRITE_PORT_UCHAR(port8, 0x77);
    EXPECT_EQ(READ_PORT_ULONG(port32),
              ((kTimingIo2 + 8) ^ 0x5A5A) | (((kTimingIo2 + 10) ^ 0x5A5A) << 16));
    WRITE_PORT_ULONG(port32, 0xAABBCCDD);

    using A = FakePorts::Access;
    std::vector<A> expected = {{16, kTimingIo2 + 2, 0},       {-16, kTimingIo2 + 2, 0x1234},
                               {8, kTimingIo2 + 4, 0},        {-8, kTimingIo2 + 4, 0x77},
                               {16, kTimingIo2 + 8, 0},       {16, kTimingIo2 + 10, 0},
                               {-16, kTimingIo2 + 8, 0xCCDD}, {-16, kTimingIo2 + 10, 0xAABB}};
    EXPECT_EQ(ports.log(), expected);

    auto nowhere = uintptr_t{0x1234};
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(nowhere)), 0xFF);
    EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(nowhere)), 0xFFFF);
    EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(nowhere)), 0xFFFFFFFFu);
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(nowhere), 1);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(kTimingIo2 + 0x20), 1); // one past the range
    EXPECT_EQ(ports.log().size(), expected.size());

    // With no HAL, every port floats.
    hal.reset();
    EXPECT_EQ(READ_PORT_USHORT(port16), 0xFFFF);
    EXPECT_EQ(ports.log().size(), expected.size());
}
