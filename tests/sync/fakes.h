// Fakes for vornsync's interfaces: a scripted board, a recording output, a virtual pacer and a
// system clock that only records the step asked of it.
#pragma once

#include "board_time.h"
#include "one_shot.h"
#include "pacer.h"
#include "sample_sink.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace synctest {

using namespace vornsync;

// 2024-03-01 12:00:00 UTC.
constexpr int64_t kSystemStart = 1'709'294'400 * kNanosPerSecond;

// Sets the board's fields of `read` to the UTC time `boardNanos` (since 1970), truncated to the
// microsecond as the board counts.
inline void setBoardTime(StampedRead& read, int64_t boardNanos) {
    constexpr int64_t kNanosPerDay = 86'400 * kNanosPerSecond;
    int64_t dayInYear = boardNanos / kNanosPerDay;
    read.year = 1970;
    for (;;) {
        const bool leapYear = read.year % 4 == 0 && (read.year % 100 != 0 || read.year % 400 == 0);
        const int length = leapYear ? 366 : 365;
        if (dayInYear < length)
            break;
        dayInYear -= length;
        ++read.year;
    }
    read.dayOfYear = static_cast<uint16_t>(dayInYear + 1);
    read.microsOfDay = static_cast<uint64_t>(boardNanos % kNanosPerDay) / 1000;
}

// A read whose board time is `system + offset` at the bracket's midpoint.
inline StampedRead readAt(int64_t beforeNanos, int64_t widthNanos, int64_t offsetNanos) {
    StampedRead read;
    setBoardTime(read, beforeNanos + widthNanos / 2 + offsetNanos);
    read.before = fromNanos(beforeNanos);
    read.after = fromNanos(beforeNanos + widthNanos);
    return read;
}

// Answers each read with the next scripted width (the last one repeats), the board `offset`
// ahead of the system; the system time advances a millisecond a read. Reads start half a
// microsecond into a microsecond, so that with even widths in microseconds and offsets in
// microseconds the board's reading, taken as the middle of its microsecond, is exact.
class FakeBoard final : public BoardSource {
public:
    uint8_t readStamped(StampedRead& read) override {
        if (readCode != 0)
            return readCode;
        if (fixedRead) {
            read = *fixedRead;
            return 0;
        }
        const int64_t width = widths.size() > 1 ? widths.front() : widths.back();
        if (widths.size() > 1)
            widths.pop_front();
        read = readAt(systemNanos, width, offsetNanos);
        systemNanos += 1'000'000;
        return 0;
    }
    uint8_t synchronized(bool& inSync) override {
        inSync = inSyncNow;
        return syncCode;
    }
    void reportSample(int64_t offset, int64_t errorBound) override {
        reported.emplace_back(offset, errorBound);
    }

    std::deque<int64_t> widths{2'000};
    int64_t offsetNanos = 1'500'000;
    int64_t systemNanos = kSystemStart + 500;
    bool inSyncNow = true;
    uint8_t readCode = 0;
    uint8_t syncCode = 0;
    std::optional<StampedRead> fixedRead;              // given as it is, when set
    std::vector<std::pair<int64_t, int64_t>> reported; // offset, error bound
};

class RecordingSink final : public SampleSink {
public:
    std::string describe() const override { return "recorder"; }
    DeliveryResult deliver(const Sample& sample) override {
        if (failure.outcome != Delivery::Sent)
            return failure;
        samples.push_back(sample);
        return {};
    }
    std::vector<Sample> samples;
    DeliveryResult failure;
};

// Virtual monotonic time that each sleep advances to its deadline; stops after `sleepsLeft`.
class VirtualPacer final : public Pacer {
public:
    int64_t monotonicNanos() override { return now; }
    bool sleepUntil(int64_t deadline) override {
        deadlines.push_back(deadline);
        now = std::max(now, deadline);
        return --sleepsLeft > 0;
    }
    int64_t now = 0;
    int sleepsLeft = 1;
    std::vector<int64_t> deadlines;
};

class FakeSystemClock final : public SystemClock {
public:
    bool maySet() override { return privileged; }
    int stepBy(int64_t offsetNanos) override {
        steps.push_back(offsetNanos);
        return stepError;
    }
    bool privileged = true;
    int stepError = 0;
    std::vector<int64_t> steps;
};

} // namespace synctest
