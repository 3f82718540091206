// HalGetBusData and HalGetBusDataByOffset on the fake machine.
#include "hal_fixture.h"

using namespace halfake;
using ntemu::Check;
namespace verifier = ntemu::verifier;

namespace {

struct Buffer {
    Buffer() { std::memset(bytes, 0xAB, sizeof bytes); }
    uint16_t u16(size_t at) const {
        uint16_t v;
        std::memcpy(&v, bytes + at, 2);
        return v;
    }
    bool untouchedFrom(size_t at) const {
        for (size_t i = at; i < sizeof bytes; ++i)
            if (bytes[i] != 0xAB)
                return false;
        return true;
    }
    uint8_t bytes[300];
};

class BusDataTest : public HalFixture {};

} // namespace

TEST_F(BusDataTest, BusDataOfPresentDeviceIsCappedAtConfigSpace) {
    Buffer b;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kTimingSlot, b.bytes, 64), 64u);
    EXPECT_EQ(b.u16(0), 0x10B5);
    EXPECT_EQ(b.u16(2), 0x9050);
    EXPECT_TRUE(b.untouchedFrom(64));

    Buffer all;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kTimingSlot, all.bytes, 300), 256u);
    EXPECT_TRUE(all.untouchedFrom(256));

    Buffer sub;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kTimingSlot, sub.bytes, 0x2C, 4), 4u);
    EXPECT_EQ(sub.u16(0), 0x1347);
    EXPECT_EQ(sub.u16(2), 0x9070);

    Buffer tail;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kTimingSlot, tail.bytes, 250, 10), 6u);
    EXPECT_TRUE(tail.untouchedFrom(6));
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kTimingSlot, tail.bytes, 256, 4), 0u);
}

TEST_F(BusDataTest, BusDataOfEmptySlotIsOnlyAnInvalidVendorId) {
    Buffer b;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kEmptySlot, b.bytes, 64), 2u);
    EXPECT_EQ(b.u16(0), PCI_INVALID_VENDORID);
    EXPECT_TRUE(b.untouchedFrom(2));

    Buffer one;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kEmptySlot, one.bytes, 1), 1u);
    EXPECT_TRUE(one.untouchedFrom(1));

    Buffer odd;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kEmptySlot, odd.bytes, 1, 4), 1u);
    EXPECT_EQ(odd.bytes[0], 0xFF);
    EXPECT_TRUE(odd.untouchedFrom(1));

    for (ULONG offset : {2u, 4u, 0x40u}) {
        Buffer none;
        EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kEmptySlot, none.bytes, offset, 4), 0u)
            << offset;
        EXPECT_TRUE(none.untouchedFrom(0));
    }
    // An existing bus with nothing on it behaves the same.
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, kTimingSlot, b.bytes, 64), 2u);
}

TEST_F(BusDataTest, BusDataOfMissingBusOrOtherDataTypeIsNothing) {
    Buffer b;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 2, kTimingSlot, b.bytes, 64), 0u);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 200, 0, b.bytes, 64), 0u);
    EXPECT_EQ(HalGetBusData(Cmos, 0, kTimingSlot, b.bytes, 64), 0u);
    EXPECT_EQ(HalGetBusDataByOffset(EisaConfiguration, 0, kTimingSlot, b.bytes, 0, 64), 0u);
    EXPECT_EQ(HalGetBusDataByOffset(Pos, 0, kTimingSlot, b.bytes, 0, 64), 0u);
    EXPECT_TRUE(b.untouchedFrom(0));
}

TEST_F(BusDataTest, FunctionsAboveZeroExistOnlyOnMultiFunctionDevices) {
    Buffer quirkFn1;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, slotNumber(kQuirkSlot, 1), quirkFn1.bytes, 64),
              2u);
    EXPECT_EQ(quirkFn1.u16(0), PCI_INVALID_VENDORID);

    Buffer quirkFn0;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, slotNumber(kQuirkSlot, 0), quirkFn0.bytes, 64),
              64u);
    EXPECT_EQ(quirkFn0.u16(0), 0x1234);

    Buffer multiFn2;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, slotNumber(kMultiSlot, 2), multiFn2.bytes, 4), 4u);
    EXPECT_EQ(multiFn2.u16(2), 0x0102);

    Buffer multiFn1;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, slotNumber(kMultiSlot, 1), multiFn1.bytes, 4), 2u);
    EXPECT_EQ(multiFn1.u16(0), PCI_INVALID_VENDORID);
}

TEST_F(BusDataTest, ReservedSlotBitsMakeTheSlotEmpty) {
    Buffer b;
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kTimingSlot | 0x100, b.bytes, 64), 2u);
    EXPECT_EQ(b.u16(0), PCI_INVALID_VENDORID);
}

TEST_F(BusDataTest, BusDataIrqlRules) {
    Buffer b;
    atIrql(DISPATCH_LEVEL,
           [&] { EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kTimingSlot, b.bytes, 4), 4u); });
    EXPECT_EQ(verifier::pendingCount(), 0u);

    atIrql(ntemu::irqlForIrq(kTimingIrq), [&] {
        EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kTimingSlot, b.bytes, 0, 4), 4u);
    });
    auto reports = verifier::take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].check, Check::IrqlTooHigh);
    EXPECT_EQ(reports[0].routine, "HalGetBusDataByOffset");

    // Other bus data types need PASSIVE_LEVEL.
    atIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(HalGetBusData(Cmos, 0, 0, b.bytes, 4), 0u); });
    EXPECT_EQ(verifier::consume(Check::IrqlTooHigh), 1u);

    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, kTimingSlot, nullptr, 4), 0u);
    EXPECT_EQ(verifier::consume(Check::InvalidParameter), 1u);
}
