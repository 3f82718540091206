// Reads a fuzz input front to back as the program it encodes: bytes, little-endian integers,
// ranges and flags, with zeros once the input runs out. tests/fuzz/make_seeds.py writes seeds
// in the same encoding.
#pragma once

#include "ntemu/clock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornfuzz {

class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t remaining() const { return m_size - m_at; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    uint64_t u64() { return uint64_t(u32()) | uint64_t(u32()) << 32; }
    bool flag() { return byte() & 1; }
    // True for about `percent` in a hundred of byte values.
    bool chance(unsigned percent) { return byte() < percent * 256 / 100; }

    // A value in [low, high], read from as few bytes as the span needs.
    template <typename T> T range(T low, T high) {
        uint64_t span = uint64_t(high) - uint64_t(low);
        uint64_t raw = span < 0x100         ? byte()
                       : span < 0x10000     ? u16()
                       : span < 0x100000000 ? u32()
                                            : u64();
        return T(uint64_t(low) + (span == UINT64_MAX ? raw : raw % (span + 1)));
    }

    // `count` bytes, padded with zeros past the end.
    std::vector<uint8_t> bytes(size_t count) {
        std::vector<uint8_t> out(count);
        for (auto& b : out)
            b = byte();
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// Clock advances read from an input: 0 to 1,000 of a unit (microsecond, millisecond, second,
// minute, day: the first `unitKinds` of them). A heartbeat of divider d fires every d * 100 us;
// advances are cut short so that one input lets at most `budget` heartbeats pass, because an
// input is meant to take milliseconds, not minutes.
class AdvanceReader {
public:
    AdvanceReader(unsigned unitKinds, int64_t budget) : m_unitKinds(unitKinds), m_left(budget) {}

    ntemu::Ticks100ns next(InputReader& in, uint16_t divider) {
        static constexpr ntemu::Ticks100ns kUnits[] = {ntemu::kMicrosecond, ntemu::kMillisecond,
                                                       ntemu::kSecond, 60 * ntemu::kSecond,
                                                       86'400 * ntemu::kSecond};
        ntemu::Ticks100ns count = in.range<ntemu::Ticks100ns>(0, 1000);
        ntemu::Ticks100ns interval = count * kUnits[in.byte() % m_unitKinds];
        if (divider == 0)
            return interval;
        ntemu::Ticks100ns period = divider * 1000;
        interval = std::min(interval, std::max<int64_t>(0, m_left) * period);
        m_left -= interval / period + 1;
        return interval;
    }

private:
    const unsigned m_unitKinds;
    int64_t m_left;
};

} // namespace vornfuzz
