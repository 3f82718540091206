// Raw register requests against a bus that records every port access: a peek or poke touches
// only the addressed board's register window, and an offset at or past the window's end, or a
// request of the wrong length, is refused before any port is touched.
#include "driver_host.h"
#include "vornpci_device.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include "ntemu/system.h"
#include "sim/machine.h"
#include "sim/registers.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using namespace vornpci;

// The simulated machine behind a bus that notes each port read or written.
class RecordingMachine final : public ntemu::bus::Machine, public ntemu::bus::PortDevice {
public:
    explicit RecordingMachine(vornsim::SimMachine& inner) : m_inner(inner) {}

    bool busExists(uint32_t bus) const override { return m_inner.busExists(bus); }
    ntemu::bus::PciFunction* pciFunction(uint32_t bus, uint32_t device,
                                         uint32_t function) override {
        return m_inner.pciFunction(bus, device, function);
    }
    // Every port comes here first, decoded or not, so that no access escapes the record.
    ntemu::bus::PortDevice* portDevice(uint32_t) override { return this; }

    uint16_t readPort16(uint32_t port) override {
        note(port);
        auto* device = m_inner.portDevice(port);
        return device ? device->readPort16(port) : uint16_t(0xFFFF);
    }
    void writePort16(uint32_t port, uint16_t value) override {
        note(port);
        if (auto* device = m_inner.portDevice(port))
            device->writePort16(port, value);
    }

    std::vector<uint32_t> take() {
        std::lock_guard guard(m_lock);
        return std::exchange(m_ports, {});
    }

private:
    void note(uint32_t port) {
        std::lock_guard guard(m_lock);
        m_ports.push_back(port);
    }

    vornsim::SimMachine& m_inner;
    std::mutex m_lock; // guards m_ports
    std::vector<uint32_t> m_ports;
};

// Two boards on one bus, the driver loaded over the recording bus, one open handle to each.
class PortWindowTest : public testing::Test {
protected:
    void SetUp() override {
        auto parsed = vornsim::parseMachineDescription("board model=0x9070 bus=0 slot=3 irq=11\n"
                                                       "board model=0x7100 bus=0 slot=4 irq=10\n");
        ASSERT_TRUE(parsed.ok) << parsed.error;
        m_machine = std::make_unique<vornsim::SimMachine>(m_clock, parsed.description);
        m_bus = std::make_unique<RecordingMachine>(*m_machine);
        ntemu::KernelOptions options;
        options.clock = &m_clock;
        options.specialIrpPool = true;
        m_system = std::make_unique<ntemu::System>(*m_bus, options);
        m_machine->wireInterrupts([this](unsigned irq) { return &m_system->hal().irqLine(irq); });
        ntemu::DriverLoad load = m_system->io().loadDriver(
            DriverEntry, vornhost::DriverHost::kDriverName, vornhost::DriverHost::kRegistryPath);
        ASSERT_EQ(load.status, STATUS_SUCCESS);
        m_driver = load.driver;
        m_process = m_system->io().createProcess("raw access");
        m_thread = &m_process->createThread();
        ASSERT_EQ(m_process->open(vornhost::deviceName(0), {}, &m_handle), STATUS_SUCCESS);
        m_bus->take();
    }

    void TearDown() override {
        if (m_process) {
            m_process->terminate();
            m_process.reset();
        }
        if (m_driver) {
            EXPECT_TRUE(m_system->io().unloadDriver(m_driver));
        }
        if (m_machine)
            m_machine->unwireInterrupts();
        m_system.reset();
        m_bus.reset();
        m_machine.reset();
    }

    NTSTATUS raw(ULONG code, uint16_t offset, uint16_t* value, ULONG inLength = 8) {
        struct {
            MemObj memory;
            uint32_t unused;
        } access{{offset, *value}, 0};
        ntemu::IoResult result =
            m_thread->deviceIoControl(m_handle, code, &access, inLength, &access, sizeof(access));
        *value = access.memory.value;
        return result.status;
    }

    // The ports touched since the last look that lie outside board 0's register window; fails
    // the test when no port was touched at all.
    std::vector<uint32_t> outsideWindow() {
        const uint32_t base = m_machine->card(0).windowBase();
        const std::vector<uint32_t> touched = m_bus->take();
        EXPECT_FALSE(touched.empty()) << "the request reached no port";
        std::vector<uint32_t> outside;
        for (uint32_t port : touched)
            if (port < base || port + 2 > base + vornsim::reg::WindowLength)
                outside.push_back(port);
        return outside;
    }

    ntemu::VirtualClock m_clock{0};
    std::unique_ptr<vornsim::SimMachine> m_machine;
    std::unique_ptr<RecordingMachine> m_bus;
    std::unique_ptr<ntemu::System> m_system;
    PDRIVER_OBJECT m_driver = nullptr;
    std::shared_ptr<ntemu::Process> m_process;
    ntemu::Thread* m_thread = nullptr;
    ntemu::Handle m_handle = 0;
};

TEST_F(PortWindowTest, EveryRegisterOfTheWindowIsReachedAndNothingElse) {
    for (uint16_t offset = 0; offset + 2u <= vornsim::reg::WindowLength; offset += 2) {
        uint16_t value = 0;
        EXPECT_EQ(raw(IOCTL_VORNPCI_PEEK, offset, &value), STATUS_SUCCESS) << offset;
        EXPECT_EQ(outsideWindow(), std::vector<uint32_t>{}) << "peek at " << offset;
    }
    uint16_t version = 0;
    ASSERT_EQ(raw(IOCTL_VORNPCI_PEEK, vornsim::reg::FpgaVersion, &version), STATUS_SUCCESS);
    EXPECT_EQ(version, m_machine->board(0)->config().fpgaVersion);
    const uint64_t ignoredBefore = m_machine->board(0)->counters().ignoredWrites;
    uint16_t value = 0xFFFF;
    EXPECT_EQ(raw(IOCTL_VORNPCI_POKE, vornsim::reg::WindowLength - 2, &value), STATUS_SUCCESS);
    EXPECT_EQ(outsideWindow(), std::vector<uint32_t>{});
    EXPECT_EQ(m_machine->board(0)->counters().ignoredWrites, ignoredBefore + 1);
}

TEST_F(PortWindowTest, OffsetsAtAndPastTheWindowTouchNoPort) {
    const uint32_t nextCard = m_machine->card(1).windowBase() - m_machine->card(0).windowBase();
    const uint16_t offsets[] = {
        uint16_t(vornsim::reg::WindowLength - 1), // its second byte lies past the end
        uint16_t(vornsim::reg::WindowLength),
        uint16_t(vornsim::reg::WindowLength + 2),
        0x7E,
        0x80,
        uint16_t(0x80 + 0x4C), // the next card's bridge interrupt control
        uint16_t(nextCard),    // the next board's registers
        uint16_t(nextCard + vornsim::reg::Command),
        0xFFFE,
        0xFFFF,
    };
    const auto before = m_machine->board(1)->counters();
    for (uint16_t offset : offsets) {
        uint16_t value = 0x4F4F;
        EXPECT_EQ(raw(IOCTL_VORNPCI_PEEK, offset, &value), STATUS_INVALID_PARAMETER) << offset;
        EXPECT_EQ(raw(IOCTL_VORNPCI_POKE, offset, &value), STATUS_INVALID_PARAMETER) << offset;
        EXPECT_EQ(m_bus->take(), std::vector<uint32_t>{}) << "offset " << offset;
    }
    // Requests of the wrong length are refused before their offset is looked at.
    for (ULONG length : {0u, 2u, 4u, 6u}) {
        uint16_t value = 0;
        EXPECT_EQ(raw(IOCTL_VORNPCI_POKE, 0x80, &value, length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(raw(IOCTL_VORNPCI_PEEK, 0x80, &value, length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_bus->take(), std::vector<uint32_t>{}) << "length " << length;
    }
    const auto after = m_machine->board(1)->counters();
    EXPECT_EQ(after.commands, before.commands);
    EXPECT_EQ(after.ignoredWrites, before.ignoredWrites);
}

} // namespace
