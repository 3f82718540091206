// Machines for the resource and construction tests, built on the simulated PCI machine.
#pragma once

#include "one_board.h"
#include "sim/machine.h"
#include "sim/machine_description.h"
#include "system_fixture.h"

#include <memory>

namespace drvfwtest {

inline std::unique_ptr<vornsim::SimMachine> simMachine(ntemu::Clock& clock,
                                                       const vornsim::MachineDescription& d) {
    return std::make_unique<vornsim::SimMachine>(clock, d);
}

using vorntest::oneBoard;

} // namespace drvfwtest
