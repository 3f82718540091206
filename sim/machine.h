// The simulated PCI machine: the buses and the cards of a machine description, with the
// addresses the firmware gave them, serving the kernel layer's HAL.
#pragma once

#include "ntemu/bus.h"
#include "ntemu/clock.h"
#include "sim/machine_description.h"
#include "sim/pci_card.h"

#include <functional>
#include <memory>
#include <vector>

namespace vornsim {

class SimMachine final : public ntemu::bus::Machine {
public:
    // Addresses given to card n (in description order) before the system starts.
    static BarAssignment firmwareAssignment(size_t n);

    // Throws std::invalid_argument with the reason when description.validate() fails. The
    // boards run on `clock`, which must outlive the machine.
    SimMachine(ntemu::Clock& clock, const MachineDescription& description);
    ~SimMachine() override;
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    bool busExists(uint32_t bus) const override;
    ntemu::bus::PciFunction* pciFunction(uint32_t bus, uint32_t device, uint32_t function) override;
    ntemu::bus::PortDevice* portDevice(uint32_t port) override;

    // Connects each card's interrupt to the line `lineFor` returns for its IRQ (null leaves it
    // unconnected). `lineFor` is called once per board, so each board sharing an IRQ can be
    // given an input of its own. unwireInterrupts leaves the lines low and must come before
    // the lines go away; destroying the machine touches no line.
    void wireInterrupts(const std::function<ntemu::bus::IrqLine*(unsigned irq)>& lineFor);
    void unwireInterrupts();

    size_t cardCount() const { return m_cards.size(); }
    PciCard& card(size_t index) { return *m_cards.at(index).card; }
    // The board of card `index`, or null for a card without one or an index past the last card.
    BoardModel* board(size_t index) {
        return index < m_cards.size() ? card(index).board() : nullptr;
    }
    BoardModel* boardAt(unsigned bus, unsigned slot, unsigned function = 0);

private:
    struct Slot {
        unsigned bus, slot, function;
        std::unique_ptr<PciCard> card;
    };
    std::vector<Slot> m_cards;
    std::vector<bool> m_buses;
};

} // namespace vornsim
