// The system's list of leap seconds (tzdata's leap-seconds.list): which leap, if any, ends the
// current UTC day, and whether the list has expired.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornsync {

// As the time daemons code it: 0 none, 1 a second inserted, 2 a second deleted at the end of
// the day.
enum class Leap : int { None = 0, Insert = 1, Delete = 2 };
const char* leapName(Leap leap);

constexpr const char* kDefaultLeapSecondList = "/usr/share/zoneinfo/leap-seconds.list";

class LeapSecondList {
public:
    // Reads the list at `path`. A missing or unreadable file gives an empty list (no leap is
    // ever announced) with `problem` saying so; lines that are no entry are skipped.
    static LeapSecondList load(const std::string& path, std::string& problem);
    static LeapSecondList parse(const std::string& text);

    // The leap that ends the UTC day holding `unixSeconds`.
    Leap leapAt(int64_t unixSeconds) const;
    // True when the list states an expiry and `unixSeconds` is past it.
    bool expiredAt(int64_t unixSeconds) const;
    std::optional<int64_t> expiry() const { return m_expiry; }

private:
    struct Change {
        int64_t unixSeconds; // the first second with the new offset
        Leap leap;
    };
    std::vector<Change> m_changes;
    std::optional<int64_t> m_expiry;
};

} // namespace vornsync
