// The boards' health in the Prometheus text exposition format (version 0.0.4).
#pragma once

#include "health.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornhost {

// Each board's health with its device number, which becomes the `board` label.
using NumberedHealth = std::vector<std::pair<uint32_t, BoardHealth>>;

std::string metricsText(const NumberedHealth& boards);

// A label value with backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);

// A count of `unitsPerSecond` units (nanoseconds, 100 ns ticks) as decimal seconds.
std::string secondsText(int64_t units, int64_t unitsPerSecond);

} // namespace vornhost
