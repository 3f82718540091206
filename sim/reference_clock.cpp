// The reference's offset and rate against the system clock, in exact integer arithmetic.
#include "sim/reference_clock.h"

#include "ntemu/clock.h"

#include <charconv>
#include <cmath>

namespace vornsim {

namespace {
constexpr int64_t kBillion = 1'000'000'000;

// The quotient rounded towards minus infinity, for a divisor above 0.
int64_t floorDivide(__int128 dividend, int64_t divisor) {
    __int128 quotient = dividend / divisor;
    if (dividend % divisor < 0)
        --quotient;
    return static_cast<int64_t>(quotient);
}
} // namespace

int64_t ReferenceClock::differenceAt(int64_t system) const {
    const __int128 drift = static_cast<__int128>(system - m_origin) * m_ppb;
    return m_offset + floorDivide(drift, kBillion);
}

void ReferenceClock::setOffset(int64_t system, int64_t offsetMicros) {
    m_offset = offsetMicros * ntemu::kMicrosecond;
    m_origin = system;
}

void ReferenceClock::setRate(int64_t system, int64_t ppb) {
    m_offset = differenceAt(system);
    m_origin = system;
    m_ppb = ppb;
}

bool parsePartsPerMillion(std::string_view text, int64_t* ppb) {
    if (text.empty() || text.front() == '+')
        return false;
    double ppm = 0;
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), ppm, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(ppm))
        return false;
    const double rounded = std::round(ppm * 1000.0);
    if (std::fabs(rounded) > static_cast<double>(kMaxReferencePpb))
        return false;
    *ppb = static_cast<int64_t>(rounded);
    return true;
}

} // namespace vornsim
