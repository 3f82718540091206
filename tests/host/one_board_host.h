// A driver host on the virtual clock with one time-code board, the driver not yet loaded.
#pragma once

#include "driver_host.h"

#include <memory>

namespace vornhost {

inline std::unique_ptr<DriverHost> oneBoardHost() {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    return std::make_unique<DriverHost>(machine);
}

} // namespace vornhost
