// The vornhost command line: socket path, admitted group, the simulated machine and the
// metrics address.
#pragma once

#include "metrics_server.h"
#include "sim/machine_description.h"

#include <optional>
#include <string>
#include <vector>

namespace vornhost {

struct DaemonOptions {
    bool help = false;
    std::string socketPath;
    std::string group = "vorn";
    vornsim::MachineDescription machine;
    std::optional<MetricsAddress> metrics; // serve /metrics there
};

struct OptionsResult {
    bool ok = false;
    DaemonOptions options;
    std::string error; // what is wrong, for the user, when !ok
};

// Parses argv[1..]. `readFile` reads the --machine file (false when it cannot).
OptionsResult parseDaemonOptions(const std::vector<std::string>& args,
                                 bool (*readFile)(const std::string& path, std::string* text));

// One --board value, "model=0x9070,bus=0,slot=3[,irq=11][,bridge=..][,reference=1]", as a
// line of the machine description's text form (irq 11 when not given).
std::string boardLine(const std::string& value);

extern const char* const kDaemonUsage;

} // namespace vornhost
