// Reading a command's arguments: options with and without values, positionals, and numbers
// checked against their ranges with a message that names what is wrong.
#pragma once

#include "command_line.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vornctl {

struct OptionSpec {
    std::set<std::string> flags;      // --name
    std::set<std::string> withValues; // --name VALUE or --name=VALUE
};

struct ParsedArgs {
    std::vector<std::string> positionals;
    std::set<std::string> flags;
    std::map<std::string, std::string> values;
};

// Splits `args` by `accepted`; nullopt with `error` set for an unknown option or a missing value.
// "--" ends the options; a negative number is an argument before it as well.
std::optional<ParsedArgs> parseArgs(const std::vector<std::string>& args,
                                    const OptionSpec& accepted, std::string* error);

// What CLI11 refused, in vornctl's words.
std::string refusalText(const vorncmdline::Refusal& refusal);

// A whole decimal integer within min..max. `what` names it in the error.
std::optional<int64_t> parseInteger(const std::string& text, int64_t min, int64_t max,
                                    const std::string& what, std::string* error);

// A finite decimal number within min..max (max excluded when `maxExcluded`).
std::optional<double> parseNumber(const std::string& text, double min, double max, bool maxExcluded,
                                  const std::string& what, std::string* error);

// A time of day "HH:MM:SS" or, with `fraction`, "HH:MM:SS.ffffff" (seconds below 60).
struct ClockTime {
    int hours = 0;
    int minutes = 0;
    double seconds = 0;
};
std::optional<ClockTime> parseClockTime(const std::string& text, bool fraction, std::string* error);

} // namespace vornctl
