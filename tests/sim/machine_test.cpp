// The simulated PCI machine: configuration space, BAR sizing, port decoding, the machine
// description and its text form.
#include "board_fixture.h"
#include "sim/machine.h"

#include <cstring>

namespace simtest {
namespace {

using namespace vornsim;

uint32_t cfg32(ntemu::bus::PciFunction& f, uint32_t offset) {
    uint32_t v = 0;
    f.readConfig(offset, &v, 4);
    return v;
}
uint16_t cfg16(ntemu::bus::PciFunction& f, uint32_t offset) {
    uint16_t v = 0;
    f.readConfig(offset, &v, 2);
    return v;
}
uint8_t cfg8(ntemu::bus::PciFunction& f, uint32_t offset) {
    uint8_t v = 0;
    f.readConfig(offset, &v, 1);
    return v;
}
void put32(ntemu::bus::PciFunction& f, uint32_t offset, uint32_t v) {
    f.writeConfig(offset, &v, 4);
}
void put16(ntemu::bus::PciFunction& f, uint32_t offset, uint16_t v) {
    f.writeConfig(offset, &v, 2);
}

class MachineTest : public testing::Test {
protected:
    MachineTest() : clock(utc(2001, 1)) {}

    ntemu::VirtualClock clock;
};

TEST_F(MachineTest, BoardConfigurationSpaceShowsBridgeAndModel) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9072, 0, 3, 11, 0x9030));
    SimMachine m(clock, d);
    auto* f = m.pciFunction(0, 3, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cfg16(*f, pci::VendorId), 0x10B5);
    EXPECT_EQ(cfg16(*f, pci::DeviceId), 0x9030);
    EXPECT_EQ(cfg16(*f, pci::SubsystemVendorId), 0x1347);
    EXPECT_EQ(cfg16(*f, pci::SubsystemId), 0x9072);
    EXPECT_EQ(cfg8(*f, pci::HeaderType), 0);
    EXPECT_EQ(cfg8(*f, pci::InterruptPin), 1);
    EXPECT_EQ(cfg8(*f, pci::InterruptLine), 11);
    EXPECT_EQ(cfg16(*f, pci::CommandReg) & pci::CommandIoEnable, pci::CommandIoEnable);
    BarAssignment bars = SimMachine::firmwareAssignment(0);
    EXPECT_EQ(cfg32(*f, pci::Bar0), bars.localMemory);
    EXPECT_EQ(cfg32(*f, pci::Bar1), bars.localIo | 1);
    EXPECT_EQ(cfg32(*f, pci::Bar2), bars.window | 1);
    EXPECT_EQ(m.board(0)->config().model, 0x9072);
    EXPECT_EQ(m.pciFunction(0, 3, 1), nullptr);
    EXPECT_EQ(m.pciFunction(0, 4, 0), nullptr);
    // Read past the end of the space floats; read-only identity ignores writes.
    uint8_t tail[4] = {};
    f->readConfig(254, tail, 4);
    EXPECT_EQ(tail[2], 0xFF);
    put16(*f, pci::VendorId, 0x1234);
    put16(*f, pci::SubsystemId, 0x7000);
    EXPECT_EQ(cfg16(*f, pci::VendorId), 0x10B5);
    EXPECT_EQ(cfg16(*f, pci::SubsystemId), 0x9072);
}

TEST_F(MachineTest, BarSizingByWritingAllOnes) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9070, 0, 5, 10));
    SimMachine m(clock, d);
    auto& f = m.card(0);
    const uint32_t sizes[][2] = {{pci::Bar0, 0xFFFFFF80},
                                 {pci::Bar1, 0xFFFFFF81},
                                 {pci::Bar2, 0xFFFFFFE1},
                                 {0x1C, 0},
                                 {0x20, 0},
                                 {0x24, 0}};
    for (const auto& [bar, sized] : sizes) {
        uint32_t original = cfg32(f, bar);
        put32(f, bar, 0xFFFFFFFF);
        EXPECT_EQ(cfg32(f, bar), sized) << bar;
        put32(f, bar, original);
        EXPECT_EQ(cfg32(f, bar), original) << bar;
    }
    // The window is 32 bytes: a register window that covers every board register.
    EXPECT_EQ(~(0xFFFFFFE1u & ~3u) + 1, reg::WindowLength);
}

TEST_F(MachineTest, PortDecodingFollowsBarsAndTheIoEnable) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9070, 0, 3, 11));
    d.cards.push_back(CardDescription::board(0x7000, 1, 7, 5));
    SimMachine m(clock, d);
    uint32_t w0 = m.card(0).windowBase(), w1 = m.card(1).windowBase();
    EXPECT_NE(w0, w1);
    ASSERT_EQ(m.portDevice(w0 + reg::Status), &m.card(0));
    ASSERT_EQ(m.portDevice(w1 + reg::Status), &m.card(1));
    EXPECT_EQ(m.portDevice(w0 + reg::WindowLength), nullptr);
    EXPECT_EQ(m.portDevice(0x80), nullptr);
    EXPECT_EQ(m.card(0).readPort16(w0 + reg::Status), status::FifoEmpty);
    m.card(0).writePort16(w0 + reg::Control, 0x80);
    EXPECT_EQ(m.board(0)->enables(), 0x80);
    EXPECT_EQ(m.board(1)->enables(), 0);

    // Move the window: the old ports fall silent, the new ones answer.
    put32(m.card(0), pci::Bar2, 0xC000);
    EXPECT_EQ(m.card(0).windowBase(), 0xC000u);
    EXPECT_EQ(m.portDevice(w0), nullptr);
    EXPECT_EQ(m.portDevice(0xC000 + reg::FpgaVersion), &m.card(0));
    EXPECT_EQ(m.card(0).readPort16(w0 + reg::Status), 0xFFFF);
    EXPECT_EQ(m.card(0).readPort16(0xC000 + reg::FpgaVersion), m.board(0)->config().fpgaVersion);

    // I/O decoding off in the Command register: nothing answers.
    put16(m.card(0), pci::CommandReg, 0);
    EXPECT_EQ(m.portDevice(0xC000), nullptr);
    m.card(0).writePort16(0xC000 + reg::Control, 0);
    EXPECT_EQ(m.board(0)->enables(), 0x80);
    put16(m.card(0), pci::CommandReg, pci::CommandIoEnable);
    EXPECT_EQ(m.portDevice(0xC000), &m.card(0));
}

TEST_F(MachineTest, BridgeRegistersAreStorageInTheFirstIoRange) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9070, 0, 3, 11));
    SimMachine m(clock, d);
    uint32_t local = SimMachine::firmwareAssignment(0).localIo;
    ASSERT_EQ(m.portDevice(local + 0x4C), &m.card(0));
    m.card(0).writePort16(local + 0x4C, 0x0041);
    EXPECT_EQ(m.card(0).readPort16(local + 0x4C), 0x0041);
    EXPECT_EQ(m.card(0).readPort16(local + 0x7F), 0) << "the last byte has no high half";
}

TEST_F(MachineTest, OddCardsAndBuses) {
    MachineDescription d;
    CardIds other;
    other.vendorId = 0x8086;
    other.deviceId = 0x1229;
    other.subsystemVendorId = 0;
    other.headerType = 0x80;
    d.cards.push_back(CardDescription::other(other, 2, 0, 9));
    d.extraBuses.push_back(7);
    SimMachine m(clock, d);
    EXPECT_TRUE(m.busExists(0));
    EXPECT_TRUE(m.busExists(2));
    EXPECT_TRUE(m.busExists(7));
    EXPECT_FALSE(m.busExists(1));
    EXPECT_FALSE(m.busExists(16));
    auto* f = m.pciFunction(2, 0, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cfg16(*f, pci::VendorId), 0x8086);
    EXPECT_EQ(cfg8(*f, pci::HeaderType), 0x80);
    EXPECT_EQ(m.board(0), nullptr);
    uint32_t w = m.card(0).windowBase();
    EXPECT_EQ(m.card(0).readPort16(w + reg::Status), 0) << "nothing behind the bridge";
}

TEST_F(MachineTest, InterruptsAreWiredByIrqNumber) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9070, 0, 3, 11));
    d.cards.push_back(CardDescription::board(0x9070, 0, 4, 5));
    SimMachine m(clock, d);
    FakeIrqLine line11, line5;
    m.wireInterrupts([&](unsigned irq) -> ntemu::bus::IrqLine* {
        return irq == 11 ? &line11 : irq == 5 ? &line5 : nullptr;
    });
    m.board(1)->writeRegister(reg::Control, 0x80);
    m.board(1)->strobeEvent();
    EXPECT_TRUE(line5.level());
    EXPECT_FALSE(line11.level());
    m.unwireInterrupts();
    EXPECT_FALSE(line5.level()) << "a line given up is left low";
    m.board(0)->writeRegister(reg::Control, 0x80);
    m.board(0)->strobeEvent();
    EXPECT_FALSE(line11.level());
}

TEST_F(MachineTest, InvalidDescriptionIsRefused) {
    MachineDescription d;
    d.cards.push_back(CardDescription::board(0x9070, 0, 3, 11));
    d.cards.push_back(CardDescription::board(0x9070, 0, 3, 10));
    EXPECT_THROW(SimMachine(clock, d), std::invalid_argument);
    d.cards.pop_back();
    d.cards.push_back(CardDescription::board(0x1234, 0, 4, 10));
    EXPECT_NE(d.validate().find("unknown model 0x1234"), std::string::npos);
    d.cards.back() = CardDescription::board(0x9070, 0, 4, 0);
    EXPECT_NE(d.validate().find("irq 0"), std::string::npos);
    d.cards.back() = CardDescription::board(0x9070, 0, 4, 3, 0x9054);
    EXPECT_NE(d.validate().find("bridge"), std::string::npos);
    d.cards.clear();
    for (unsigned i = 0; i <= kMaxCards; ++i)
        d.cards.push_back(CardDescription::board(0x9070, i / 32, i % 32, 10));
    EXPECT_NE(d.validate().find("too many cards"), std::string::npos);
}

TEST_F(MachineTest, DescriptionTextParsesBoardsCardsBusesAndComments) {
    auto r = parseMachineDescription(
        "# two boards and an odd card\n"
        "board model=0x9070 bus=0 slot=3 irq=11 bridge=0x9050\n"
        "  board model=28672 bus=1 slot=31 irq=5 bridge=0x9030 function=2 reference=1  \n"
        "\n"
        "card vendor=0x10B5 device=0x9050 subvendor=0x1234 subsystem=0x9070 bus=0 slot=4 irq=11 "
        "header=0x01 # another maker's card\n"
        "bus 9\n");
    ASSERT_TRUE(r.ok) << r.error;
    const auto& cards = r.description.cards;
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].ids.subsystemId, 0x9070);
    EXPECT_EQ(cards[0].slot, 3u);
    EXPECT_EQ(cards[0].irq, 11u);
    EXPECT_TRUE(cards[0].hasBoard);
    EXPECT_EQ(cards[1].ids.subsystemId, 0x7000);
    EXPECT_EQ(cards[1].ids.deviceId, 0x9030);
    EXPECT_EQ(cards[1].bus, 1u);
    EXPECT_EQ(cards[1].function, 2u);
    EXPECT_TRUE(cards[1].referencePresent);
    EXPECT_FALSE(cards[2].hasBoard);
    EXPECT_EQ(cards[2].ids.subsystemVendorId, 0x1234);
    EXPECT_EQ(cards[2].ids.headerType, 0x01);
    EXPECT_EQ(r.description.extraBuses, std::vector<unsigned>{9});
}

TEST_F(MachineTest, DescriptionTextBadLinesNameTheLineAndTheFault) {
    const std::pair<const char*, const char*> cases[] = {
        {"slot model=0x9070", "line 1: unknown item 'slot'"},
        {"board model=0x9070 bus=0 slott=3 irq=11", "line 1: unknown key 'slott'"},
        {"board model=0x9070 bus=0 slot=3", "line 1: missing key 'irq'"},
        {"board model=0x9070 bus=0 slot=3 irq", "line 1: expected key=value, found 'irq'"},
        {"board model=0x9070 bus=0 slot=3 irq=1l", "line 1: '1l' is not a number (key 'irq')"},
        {"board model=0x9070 bus=0 slot=3 irq=0x", "line 1: '0x' is not a number (key 'irq')"},
        {"board model=0x9070 bus=0 slot=32 irq=11", "line 1: slot 32 out of range 0 to 31"},
        {"board model=0x9070 bus=16 slot=3 irq=11", "line 1: bus 16 out of range 0 to 15"},
        {"board model=0x9070 bus=0 slot=3 irq=99999999999", "not a number"},
        {"board model=0x9070 bus=0 slot=3 irq=11 bus=1", "line 1: key 'bus' given twice"},
        {"board model=0x1234 bus=0 slot=3 irq=11", "line 1: unknown model 0x1234"},
        {"board model=0x9070 bus=0 slot=3 irq=0", "line 1: irq 0 out of range 1 to 15"},
        {"board model=0x9070 bus=0 slot=3 irq=11 bridge=0x9056", "line 1: bridge 0x9056"},
        {"\n# x\nboard model=0x9070 bus=0 slot=3 irq=11\ncard vendor=1 device=2 bus=0 slot=3 irq=4",
         "line 4: bus 0 slot 3 function 0 already holds a card"},
        {"card vendor=1 bus=0 slot=3 irq=4", "line 1: missing key 'device'"},
        {"bus", "line 1: missing bus number"},
        {"bus 16", "line 1: bus '16' is not a number from 0 to 15"},
        {"bus 1 2", "line 1: unexpected '2' after the bus number"},
    };
    for (const auto& [text, error] : cases) {
        auto r = parseMachineDescription(text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_NE(r.error.find(error), std::string::npos) << text << " gave: " << r.error;
        EXPECT_TRUE(r.description.cards.empty()) << text;
    }
}

TEST_F(MachineTest, DescriptionTextReferenceOffsetAndRateOnABoardLine) {
    auto r = parseMachineDescription("board model=0x9070 bus=0 slot=3 irq=11 reference=1 "
                                     "reference_offset=-1500 reference_ppm=12.5\n");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.description.cards[0].referenceOffsetMicros, -1'500);
    EXPECT_EQ(r.description.cards[0].referencePpb, 12'500);
    const std::pair<const char*, const char*> bad[] = {
        {"board model=0x9070 bus=0 slot=3 irq=11 reference_offset=1.5", "is not a number"},
        {"board model=0x9070 bus=0 slot=3 irq=11 reference_offset=86400000001", "out of range"},
        {"board model=0x9070 bus=0 slot=3 irq=11 reference_ppm=fast", "parts per million"},
        {"board model=0x9070 bus=0 slot=3 irq=11 reference_ppm=1 reference_ppm=2", "twice"},
    };
    for (const auto& [text, error] : bad) {
        auto result = parseMachineDescription(text);
        EXPECT_FALSE(result.ok) << text;
        EXPECT_NE(result.error.find(error), std::string::npos) << result.error;
    }
}

TEST_F(MachineTest, DescriptionSetsTheBoardsReference) {
    MachineDescription description;
    description.cards.push_back(CardDescription::board(0x9070, 0, 3, 11));
    description.cards[0].referencePresent = true;
    description.cards[0].referenceOffsetMicros = 2'000;
    description.cards[0].referencePpb = 50'000;
    SimMachine machine(clock, description);
    clock.advance(10 * kSec);
    EXPECT_EQ(machine.board(0)->referenceDifference(), 2'000 * kMicro + 500 * kMicro);
    description.cards[0].referencePpb = 1'000'001;
    EXPECT_THROW(SimMachine(clock, description), std::invalid_argument);
}

} // namespace
} // namespace simtest
