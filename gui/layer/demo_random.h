// The pseudo-random generator behind the demonstration board's GPS readings, behind an
// interface tests replace.
#pragma once

#include <cstdint>

namespace vorngui {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void seed(uint32_t seed) = 0;
    // A value from 0 to 32767.
    virtual int next() = 0;
};

// The runtime library's 15-bit linear congruential generator: state := state * 214013 +
// 2531011 (mod 2^32), value := (state >> 16) & 0x7FFF. Unseeded it starts from 1.
class RuntimeRandom final : public RandomSource {
public:
    void seed(uint32_t seed) override { m_state = seed; }
    int next() override {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7FFF);
    }

private:
    uint32_t m_state = 1;
};

} // namespace vorngui
