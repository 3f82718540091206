// The daemon's log: one line per call on standard error, prefixed "vornhost: ".
#pragma once

namespace vornhost {

// printf-style; safe from any thread (each line is written whole).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vornhost
