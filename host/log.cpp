// Writing the daemon's log lines to standard error.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vornhost {

void logLine(const char* format, ...) {
    static std::mutex lock;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard guard(lock);
    std::fprintf(stderr, "vornhost: %s\n", text);
    std::fflush(stderr);
}

} // namespace vornhost
