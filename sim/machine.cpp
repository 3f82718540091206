// The simulated PCI machine.
#include "sim/machine.h"

#include <stdexcept>

namespace vornsim {

namespace {
constexpr uint32_t kMemoryBase = 0xFEB0'0000;
constexpr uint32_t kMemoryStride = 0x1000;
constexpr uint32_t kIoBase = 0xE000;
constexpr uint32_t kIoStride = 0x100; // bridge registers, then the window at +0x80
} // namespace

BarAssignment SimMachine::firmwareAssignment(size_t n) {
    auto index = static_cast<uint32_t>(n);
    return {kMemoryBase + index * kMemoryStride, kIoBase + index * kIoStride,
            kIoBase + index * kIoStride + pci::LocalRegistersLength};
}

SimMachine::SimMachine(ntemu::Clock& clock, const MachineDescription& description)
    : m_buses(kBusCount, false) {
    if (auto error = description.validate(); !error.empty())
        throw std::invalid_argument("machine description: " + error);
    m_buses[0] = true;
    for (unsigned bus : description.extraBuses)
        m_buses[bus] = true;
    for (const auto& c : description.cards) {
        std::unique_ptr<BoardModel> board;
        if (c.hasBoard) {
            BoardConfig config;
            config.model = c.ids.subsystemId;
            board = std::make_unique<BoardModel>(clock, config);
            board->setReferenceRate(c.referencePpb);
            board->setReferenceOffset(c.referenceOffsetMicros);
            board->setReferencePresent(c.referencePresent);
        }
        auto bars = firmwareAssignment(m_cards.size());
        m_cards.push_back({c.bus, c.slot, c.function,
                           std::make_unique<PciCard>(c.ids, static_cast<uint8_t>(c.irq), bars,
                                                     std::move(board))});
        m_buses[c.bus] = true;
    }
}

SimMachine::~SimMachine() = default;

bool SimMachine::busExists(uint32_t bus) const {
    return bus < kBusCount && m_buses[bus];
}

ntemu::bus::PciFunction* SimMachine::pciFunction(uint32_t bus, uint32_t device, uint32_t function) {
    for (auto& slot : m_cards)
        if (slot.bus == bus && slot.slot == device && slot.function == function)
            return slot.card.get();
    return nullptr;
}

ntemu::bus::PortDevice* SimMachine::portDevice(uint32_t port) {
    for (auto& slot : m_cards)
        if (slot.card->decodes(port))
            return slot.card.get();
    return nullptr;
}

void SimMachine::wireInterrupts(const std::function<ntemu::bus::IrqLine*(unsigned irq)>& lineFor) {
    for (auto& slot : m_cards)
        if (auto* board = slot.card->board())
            board->setIrqLine(lineFor ? lineFor(slot.card->irq()) : nullptr);
}

void SimMachine::unwireInterrupts() {
    wireInterrupts(nullptr);
}

BoardModel* SimMachine::boardAt(unsigned bus, unsigned slot, unsigned function) {
    auto* f = pciFunction(bus, slot, function);
    return f ? static_cast<PciCard*>(f)->board() : nullptr;
}

} // namespace vornsim
