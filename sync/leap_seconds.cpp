// Reads tzdata's leap-seconds.list: entries "NTP-seconds TAI-UTC", the expiry on a "#@" line.
#include "leap_seconds.h"

#include <fstream>
#include <sstream>

namespace vornsync {

namespace {

// Seconds from 1900 (the list's epoch) to 1970.
constexpr int64_t kNtpToUnix = 2'208'988'800;
constexpr int64_t kSecondsPerDay = 86'400;

} // namespace

const char* leapName(Leap leap) {
    switch (leap) {
    case Leap::None:
        return "none";
    case Leap::Insert:
        return "insert";
    case Leap::Delete:
        return "delete";
    }
    return "none";
}

LeapSecondList LeapSecondList::parse(const std::string& text) {
    LeapSecondList list;
    std::istringstream lines(text);
    std::string line;
    std::optional<int64_t> previousOffset;
    while (std::getline(lines, line)) {
        std::istringstream fields(line.rfind("#@", 0) == 0 ? line.substr(2) : line);
        int64_t ntpSeconds = 0;
        int64_t taiOffset = 0;
        if (line.rfind("#@", 0) == 0) {
            if (fields >> ntpSeconds)
                list.m_expiry = ntpSeconds - kNtpToUnix;
            continue;
        }
        if (line.empty() || line[0] == '#' || !(fields >> ntpSeconds >> taiOffset))
            continue;
        if (previousOffset && taiOffset != *previousOffset)
            list.m_changes.push_back({ntpSeconds - kNtpToUnix,
                                      taiOffset > *previousOffset ? Leap::Insert : Leap::Delete});
        previousOffset = taiOffset;
    }
    return list;
}

LeapSecondList LeapSecondList::load(const std::string& path, std::string& problem) {
    std::ifstream file(path);
    if (!file) {
        problem = "no leap-second list at " + path + "; no leap second will be announced";
        return {};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse(text.str());
}

Leap LeapSecondList::leapAt(int64_t unixSeconds) const {
    for (const Change& change : m_changes)
        if (unixSeconds >= change.unixSeconds - kSecondsPerDay && unixSeconds < change.unixSeconds)
            return change.leap;
    return Leap::None;
}

bool LeapSecondList::expiredAt(int64_t unixSeconds) const {
    return m_expiry && unixSeconds > *m_expiry;
}

} // namespace vornsync
