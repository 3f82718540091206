// One simulated PCI card: the bridge's configuration space with its BARs, port decoding by the
// BARs and the Command register, and (for a timing board) the board model behind the bridge.
#pragma once

#include "ntemu/bus.h"
#include "sim/board_model.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vornsim {

// Identity of a card as its configuration header shows it.
struct CardIds {
    uint16_t vendorId = 0x10B5;
    uint16_t deviceId = 0x9050;
    uint16_t subsystemVendorId = 0x1347;
    uint16_t subsystemId = 0x9070;
    uint8_t headerType = 0;
    uint8_t revision = 1;
    uint32_t classCode = 0x068000; // bridge, other
};

// Addresses the firmware gave the card before the system starts.
struct BarAssignment {
    uint32_t localMemory = 0; // BAR0: bridge registers in memory space
    uint32_t localIo = 0;     // BAR1: the same registers in I/O space
    uint32_t window = 0;      // BAR2: the board's register window (the second I/O range)
};

namespace pci {
constexpr uint32_t VendorId = 0x00, DeviceId = 0x02, CommandReg = 0x04, StatusReg = 0x06;
constexpr uint32_t Revision = 0x08, ClassCode = 0x09, CacheLine = 0x0C, Latency = 0x0D;
constexpr uint32_t HeaderType = 0x0E, Bar0 = 0x10, Bar1 = 0x14, Bar2 = 0x18;
constexpr uint32_t SubsystemVendorId = 0x2C, SubsystemId = 0x2E;
constexpr uint32_t InterruptLine = 0x3C, InterruptPin = 0x3D;
constexpr uint16_t CommandIoEnable = 0x0001, CommandMemoryEnable = 0x0002;
constexpr uint32_t ConfigSize = 256;
constexpr uint32_t LocalRegistersLength = 0x80;
} // namespace pci

class PciCard final : public ntemu::bus::PciFunction, public ntemu::bus::PortDevice {
public:
    // `board` may be null: a card with nothing behind its bridge reads 0 from its window.
    PciCard(const CardIds& ids, uint8_t irq, const BarAssignment& bars,
            std::unique_ptr<BoardModel> board);

    // Configuration space, PCI rules: read-only fields ignore writes, BARs keep their size
    // bits (writing all ones reads back the size). Out-of-range bytes read 0xFF.
    void readConfig(uint32_t offset, void* buffer, uint32_t length) override;
    void writeConfig(uint32_t offset, const void* buffer, uint32_t length) override;

    // Whether `port` falls in one of the I/O BARs with I/O decoding enabled.
    bool decodes(uint32_t port) const;
    uint16_t readPort16(uint32_t port) override;
    void writePort16(uint32_t port, uint16_t value) override;

    BoardModel* board() { return m_board.get(); }
    uint32_t windowBase() const; // the port base of the register window as BAR2 now says
    uint8_t irq() const { return m_irq; }
    const CardIds& ids() const { return m_ids; }

private:
    enum class Region { None, LocalIo, Window };

    void setConfig(uint32_t offset, uint32_t value, uint32_t length, uint32_t writableMask);
    uint32_t config32(uint32_t offset) const;
    Region decode(uint32_t port, uint32_t& offset) const;

    const CardIds m_ids;
    const uint8_t m_irq;
    std::unique_ptr<BoardModel> m_board;
    mutable std::mutex m_mutex; // guards the configuration space and the bridge registers
    std::array<uint8_t, pci::ConfigSize> m_config{};
    std::array<uint8_t, pci::ConfigSize> m_writable{};
    std::array<uint8_t, pci::LocalRegistersLength> m_local{};
};

} // namespace vornsim
