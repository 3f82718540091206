// Reads a fuzz input front to back as the program it encodes: bytes, little-endian integers,
// ranges and flags, with zeros once the input runs out. tests/fuzz/make_seeds.py writes seeds
// in the same encoding.
#pragma once

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
        uint64_t raw = span < 0x100 ? byte() : span < 0x10000 ? u16() : span < 0x100000000 ? u32() : u64();
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

} // namespace vornfuzz
