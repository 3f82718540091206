// vornsync's command line.
#pragma once

#include "leap_seconds.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vornsync {

enum class Mode { Feed, Once, Step, Help };

struct Options {
    Mode mode = Mode::Feed;
    std::string deviceName = "VORNpci0";
    int rate = 4;
    std::optional<std::string> sockPath;
    std::optional<int> shmUnit;
    mode_t shmPermissions = 0600;
    bool allowFreewheel = false;
    bool json = false;
    std::string leapSecondList = kDefaultLeapSecondList;
};

extern const char* const kUsage;

// Empty with `error` set (a message naming the option) when the command line is wrong.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error);

} // namespace vornsync
