// What the feed needs of a board: its UTC time bracketed by two system timestamps, and whether
// it is synchronized to its reference. libvorn provides it in a real run, fakes in tests.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace vornsync {

// One read of the board's time with the system time (CLOCK_REALTIME) taken just before the board
// latched it and just after it was read.
struct StampedRead {
    uint16_t year = 0;
    uint16_t dayOfYear = 0; // 1..366, of `year`
    uint64_t microsOfDay = 0;
    timespec before{};
    timespec after{};
};

// Result codes are libvorn's (0 = success).
class BoardSource {
public:
    virtual ~BoardSource() = default;
    virtual uint8_t readStamped(StampedRead& read) = 0;
    virtual uint8_t synchronized(bool& inSync) = 0;
    // Tells the board's driver host of a sample the feed sent, for its health record; a host
    // that keeps none is no fault of the feed's, so nothing is returned.
    virtual void reportSample(int64_t offsetNanos, int64_t errorBoundNanos) {
        (void)offsetNanos;
        (void)errorBoundNanos;
    }
};

// Opens the named board through libvorn; null with `error` set when it cannot be opened.
std::unique_ptr<BoardSource> openVornBoard(const std::string& deviceName, std::string& error);

// libvorn's name for a result code, for messages.
std::string resultName(uint8_t code);

} // namespace vornsync
