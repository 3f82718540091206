// A sample as the time daemon takes it, and the outputs that deliver samples to it.
#pragma once

#include "leap_seconds.h"

#include <cstdint>
#include <string>

namespace vornsync {

struct Sample {
    int64_t systemNanos = 0;     // system time (since 1970) at which the board's time was taken
    int64_t offsetNanos = 0;     // board (true) time minus system time
    int64_t errorBoundNanos = 0; // the offset is right to within this
    Leap leap = Leap::None;
};

enum class Delivery { Sent, NoListener, PermissionDenied, ForeignSegment, Failed };

struct DeliveryResult {
    Delivery outcome = Delivery::Sent;
    std::string advice; // what the user can do about a failure
};

class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual std::string describe() const = 0;
    virtual DeliveryResult deliver(const Sample& sample) = 0;
};

} // namespace vornsync
