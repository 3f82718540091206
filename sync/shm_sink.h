// Delivers samples through the shared-memory segment that ntpd's shared-memory driver and
// chrony's `refclock SHM UNIT` read (key 0x4e545030 + unit), written in mode 1.
#pragma once

#include "sample_sink.h"

#include <sys/types.h>

#include <ctime>

namespace vornsync {

// The segment's layout as the readers define it.
struct ShmTime {
    int mode;
    int count;
    time_t clockTimeStampSec; // true time
    int clockTimeStampUSec;
    time_t receiveTimeStampSec; // system time
    int receiveTimeStampUSec;
    int leap;
    int precision;
    int nsamples;
    int valid;
    unsigned clockTimeStampNSec;
    unsigned receiveTimeStampNSec;
    int dummy[8];
};
static_assert(sizeof(ShmTime) == 96, "the readers expect a 96-byte segment on 64-bit Linux");

constexpr key_t kShmKeyBase = 0x4e545030;

// Writes one sample in mode 1: valid 0, count up, the fields, count up, valid 1, each step a
// full barrier, so that a reader never takes a half-written sample as valid.
void writeShmSample(ShmTime& segment, const Sample& sample);

// The precision field: log2 of the error bound in seconds, rounded up.
int precisionOf(int64_t errorBoundNanos);

class ShmSink final : public SampleSink {
public:
    ShmSink(int unit, mode_t permissions) : m_unit(unit), m_permissions(permissions) {}
    ShmSink(const ShmSink&) = delete;
    ShmSink& operator=(const ShmSink&) = delete;
    ~ShmSink() override;

    std::string describe() const override;
    DeliveryResult deliver(const Sample& sample) override;

private:
    // Attaches the segment, making it where there is none; a failure says what to do.
    DeliveryResult attach();

    int m_unit;
    mode_t m_permissions;
    ShmTime* m_segment = nullptr;
};

} // namespace vornsync
