// The simulated reference's time against this machine's system clock: it may stand off by an
// offset and run fast or slow by a rate, as a real machine's clock does against true time.
#pragma once

#include <cstdint>
#include <string_view>

namespace vornsim {

// Widest offset and rate a reference takes: a day either way, and 1,000 ppm.
constexpr int64_t kMaxReferenceOffsetMicros = 86'400'000'000;
constexpr int64_t kMaxReferencePpb = 1'000'000;

// true − system = offset at `origin`, growing by ppb parts per billion of the system time
// elapsed since. All in integers, so that any span stays exact.
class ReferenceClock {
public:
    // true − system at system time `system` (100 ns units since 1601), rounded down to 100 ns.
    int64_t differenceAt(int64_t system) const;
    // The reference's time at system time `system`.
    int64_t timeAt(int64_t system) const { return system + differenceAt(system); }

    // From `system` on, true − system starts at `offsetMicros` and grows at the same rate.
    void setOffset(int64_t system, int64_t offsetMicros);
    // From `system` on, the reference runs `ppb` parts per billion fast (negative: slow); the
    // difference reached so far is kept, so the reference's time does not jump.
    void setRate(int64_t system, int64_t ppb);

    int64_t ppb() const { return m_ppb; }

private:
    int64_t m_offset = 0; // 100 ns units, at m_origin
    int64_t m_ppb = 0;
    int64_t m_origin = 0;
};

// Parts per million as text ("50", "-12.5", "0.001") to parts per billion, rounded to the
// nearest; false for anything else, or beyond kMaxReferencePpb.
bool parsePartsPerMillion(std::string_view text, int64_t* ppb);

} // namespace vornsim
