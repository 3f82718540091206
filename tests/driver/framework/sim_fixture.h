// Machines for the resource and construction tests, built on the simulated PCI machine.
#pragma once

#include "sim/machine.h"
#include "sim/machine_description.h"
#include "system_fixture.h"

#include <memory>

namespace drvfwtest {

inline std::unique_ptr<vornsim::SimMachine> simMachine(ntemu::Clock& clock,
                                                       const vornsim::MachineDescription& d) {
    return std::make_unique<vornsim::SimMachine>(clock, d);
}

// One timing board in slot 3 of bus 0 on IRQ 11.
inline vornsim::MachineDescription oneBoard() {
    vornsim::MachineDescription d;
    d.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    return d;
}

} // namespace drvfwtest
