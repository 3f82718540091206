// A driver host on the virtual clock with timing boards, for tests below the library: the
// driver is loaded by the test (load()), requests go through the host's own processes.
#pragma once

#include "driver_host.h"
#include "one_board.h"

#include <memory>

namespace vorntest {

// The host's clock is virtual and starts at the eve of a leap year.
inline vornhost::HostOptions boardHostOptions() {
    vornhost::HostOptions options;
    options.systemTimeAtStart = kNewYearsEveNoon;
    return options;
}

inline std::unique_ptr<vornhost::DriverHost>
boardHost(const vornsim::MachineDescription& machine = oneBoard()) {
    return std::make_unique<vornhost::DriverHost>(machine, boardHostOptions());
}

} // namespace vorntest
