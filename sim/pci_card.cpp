// The simulated card's configuration space and port decoding.
#include "sim/pci_card.h"

#include <cstring>

namespace vornsim {

namespace {
constexpr uint32_t kIoSpaceIndicator = 0x1;
constexpr uint32_t kIoAddressMask = 0xFFFFFFFC;
constexpr uint16_t kStatusMediumDevsel = 0x0280;
constexpr uint16_t kWritableCommandBits = 0x0147; // I/O, memory, bus master, parity, SERR
} // namespace

PciCard::PciCard(const CardIds& ids, uint8_t irq, const BarAssignment& bars,
                 std::unique_ptr<BoardModel> board)
    : m_ids(ids), m_irq(irq), m_board(std::move(board)) {
    setConfig(pci::VendorId, ids.vendorId, 2, 0);
    setConfig(pci::DeviceId, ids.deviceId, 2, 0);
    setConfig(pci::CommandReg, pci::CommandIoEnable | pci::CommandMemoryEnable, 2,
              kWritableCommandBits);
    setConfig(pci::StatusReg, kStatusMediumDevsel, 2, 0);
    setConfig(pci::Revision, ids.revision, 1, 0);
    setConfig(pci::ClassCode, ids.classCode, 3, 0);
    setConfig(pci::CacheLine, 0, 1, 0xFF);
    setConfig(pci::Latency, 0, 1, 0xFF);
    setConfig(pci::HeaderType, ids.headerType, 1, 0);
    // A BAR's writable bits are its address bits; the bits below the size read back as 0.
    setConfig(pci::Bar0, bars.localMemory, 4, ~(pci::LocalRegistersLength - 1));
    setConfig(pci::Bar1, bars.localIo | kIoSpaceIndicator, 4,
              ~(pci::LocalRegistersLength - 1) & kIoAddressMask);
    setConfig(pci::Bar2, bars.window | kIoSpaceIndicator, 4,
              ~(reg::WindowLength - 1) & kIoAddressMask);
    setConfig(pci::SubsystemVendorId, ids.subsystemVendorId, 2, 0);
    setConfig(pci::SubsystemId, ids.subsystemId, 2, 0);
    setConfig(pci::InterruptLine, irq, 1, 0xFF);
    setConfig(pci::InterruptPin, 1, 1, 0);
}

void PciCard::setConfig(uint32_t offset, uint32_t value, uint32_t length, uint32_t writableMask) {
    for (uint32_t i = 0; i < length; ++i) {
        m_config[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        m_writable[offset + i] = static_cast<uint8_t>(writableMask >> (8 * i));
    }
}

uint32_t PciCard::config32(uint32_t offset) const {
    uint32_t value;
    std::memcpy(&value, &m_config[offset], sizeof value);
    return value;
}

void PciCard::readConfig(uint32_t offset, void* buffer, uint32_t length) {
    auto* out = static_cast<uint8_t*>(buffer);
    std::lock_guard lock(m_mutex);
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t at = static_cast<uint64_t>(offset) + i;
        out[i] = at < pci::ConfigSize ? m_config[at] : 0xFF;
    }
}

void PciCard::writeConfig(uint32_t offset, const void* buffer, uint32_t length) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    std::lock_guard lock(m_mutex);
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t at = static_cast<uint64_t>(offset) + i;
        if (at >= pci::ConfigSize)
            break;
        uint8_t mask = m_writable[at];
        m_config[at] = static_cast<uint8_t>((m_config[at] & ~mask) | (in[i] & mask));
    }
}

uint32_t PciCard::windowBase() const {
    std::lock_guard lock(m_mutex);
    return config32(pci::Bar2) & kIoAddressMask;
}

// An I/O BAR at address 0 counts as unassigned and decodes nothing.
PciCard::Region PciCard::decode(uint32_t port, uint32_t& offset) const {
    std::lock_guard lock(m_mutex);
    uint16_t command =
        static_cast<uint16_t>(m_config[pci::CommandReg] | (m_config[pci::CommandReg + 1] << 8));
    if (!(command & pci::CommandIoEnable))
        return Region::None;
    uint32_t local = config32(pci::Bar1) & kIoAddressMask;
    uint32_t window = config32(pci::Bar2) & kIoAddressMask;
    if (window != 0 && port >= window && port - window < reg::WindowLength) {
        offset = port - window;
        return Region::Window;
    }
    if (local != 0 && port >= local && port - local < pci::LocalRegistersLength) {
        offset = port - local;
        return Region::LocalIo;
    }
    return Region::None;
}

bool PciCard::decodes(uint32_t port) const {
    uint32_t offset;
    return decode(port, offset) != Region::None;
}

uint16_t PciCard::readPort16(uint32_t port) {
    uint32_t offset = 0;
    switch (decode(port, offset)) {
    case Region::Window:
        return m_board ? m_board->readRegister(offset) : 0;
    case Region::LocalIo: {
        std::lock_guard lock(m_mutex);
        uint16_t low = m_local[offset];
        uint16_t high = offset + 1 < m_local.size() ? m_local[offset + 1] : 0;
        return static_cast<uint16_t>(low | (high << 8));
    }
    case Region::None:
        break;
    }
    return 0xFFFF; // nobody decodes the port: the bus floats
}

void PciCard::writePort16(uint32_t port, uint16_t value) {
    uint32_t offset = 0;
    switch (decode(port, offset)) {
    case Region::Window:
        if (m_board)
            m_board->writeRegister(offset, value);
        break;
    case Region::LocalIo: {
        std::lock_guard lock(m_mutex);
        m_local[offset] = static_cast<uint8_t>(value);
        if (offset + 1 < m_local.size())
            m_local[offset + 1] = static_cast<uint8_t>(value >> 8);
        break;
    }
    case Region::None:
        break;
    }
}

} // namespace vornsim
