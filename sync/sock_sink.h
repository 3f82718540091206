// Delivers samples to chrony's SOCK reference clock: one datagram a sample to a Unix socket that
// chronyd listens on (`refclock SOCK PATH` in chrony.conf).
#pragma once

#include "sample_sink.h"

#include <sys/time.h>

#include <optional>

namespace vornsync {

// The datagram chronyd reads.
struct SockSample {
    timeval systemTime; // when the offset was measured
    double offset;      // true minus system time, seconds
    int pulse;          // 0: the sample carries the time, not just a pulse
    int leap;           // Leap's coding
    int padding;
    int magic;
};
static_assert(sizeof(SockSample) == 40, "chronyd expects 40-byte samples on 64-bit Linux");

constexpr int kSockMagic = 0x534f434b;

SockSample sockSampleOf(const Sample& sample);

class SockSink final : public SampleSink {
public:
    // Empty with `error` set when `path` cannot be a socket address.
    static std::optional<SockSink> create(const std::string& path, std::string& error);
    SockSink(SockSink&& other) noexcept;
    SockSink& operator=(SockSink&&) = delete;
    ~SockSink() override;

    std::string describe() const override { return "SOCK " + m_path; }
    DeliveryResult deliver(const Sample& sample) override;

private:
    SockSink(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    std::string m_path;
    int m_fd = -1;
};

} // namespace vornsync
