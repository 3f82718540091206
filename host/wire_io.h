// The two walkers of a wire field list: a writer that appends each field little-endian and a
// reader that fills each field in turn, refusing any read past the end or beyond a limit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vornhost::wire {

// Writes fields at the end of a byte vector: its own, or one the caller keeps for reuse.
// A field of one width takes any integer, bool or enum and keeps its low bytes.
class Writer {
public:
    Writer() : m_bytes(&m_own) {}
    explicit Writer(std::vector<uint8_t>& out) : m_bytes(&out) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    template <class T> Writer& u8(const T& v) { return put(uint64_t(v), 1); }
    template <class T> Writer& u16(const T& v) { return put(uint64_t(v), 2); }
    template <class T> Writer& u32(const T& v) { return put(uint64_t(v), 4); }
    template <class T> Writer& u64(const T& v) { return put(uint64_t(v), 8); }
    // The counted parts: their count is a field of its own, written before.
    Writer& units(const std::u16string& text, uint32_t /*count*/, uint32_t /*limit*/) {
        for (char16_t c : text)
            put(c, 2);
        return *this;
    }
    Writer& bytes(std::span<const uint8_t> b, uint32_t /*count*/, uint32_t /*limit*/) {
        m_bytes->insert(m_bytes->end(), b.begin(), b.end());
        return *this;
    }
    // Each record of a counted list, written by `visit`.
    template <class Records, class Visit>
    Writer& records(const Records& items, uint32_t /*count*/, uint32_t /*limit*/, Visit visit) {
        for (const auto& item : items)
            visit(item);
        return *this;
    }

    std::vector<uint8_t> take() { return std::move(*m_bytes); }
    size_t size() const { return m_bytes->size(); }
    // Overwrites four bytes written before, at `offset`.
    void patch32(size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            (*m_bytes)[offset + i] = uint8_t(v >> (8 * i));
    }

private:
    Writer& put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            m_bytes->push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> m_own;
    std::vector<uint8_t>* m_bytes;
};

// Reads fields in order; a read past the end, or a count above its limit, marks the reader
// failed, and a failed reader fills no more fields.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> p) : m_p(p) {}

    template <class T> Reader& u8(T& v) { return get(v, 1); }
    template <class T> Reader& u16(T& v) { return get(v, 2); }
    template <class T> Reader& u32(T& v) { return get(v, 4); }
    template <class T> Reader& u64(T& v) { return get(v, 8); }
    Reader& units(std::u16string& text, uint32_t count, uint32_t limit) {
        if (!admit(count, limit, 2))
            return *this;
        for (uint32_t i = 0; i < count; ++i)
            text.push_back(char16_t(take(2)));
        return *this;
    }
    // `b` points into the input.
    Reader& bytes(std::span<const uint8_t>& b, uint32_t count, uint32_t limit) {
        if (admit(count, limit, 1)) {
            b = m_p.subspan(m_pos, count);
            m_pos += count;
        }
        return *this;
    }

    // A counted list of `count` records, each filled by `visit`.
    template <class T, class Visit>
    Reader& records(std::vector<T>& items, uint32_t count, uint32_t limit, Visit visit) {
        if (!admit(count, limit, 1))
            return *this;
        items.resize(count);
        for (T& item : items)
            visit(item);
        return *this;
    }

    bool ok() const { return m_ok; }
    bool finished() const { return m_ok && m_pos == m_p.size(); }

private:
    template <class T> Reader& get(T& v, int width) {
        if (admit(1, 1, width))
            v = T(take(width));
        return *this;
    }
    bool admit(uint32_t count, uint32_t limit, int width) {
        if (m_ok && (count > limit || (m_p.size() - m_pos) / size_t(width) < count))
            m_ok = false;
        return m_ok;
    }
    uint64_t take(int width) {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= uint64_t(m_p[m_pos + i]) << (8 * i);
        m_pos += width;
        return v;
    }
    std::span<const uint8_t> m_p;
    size_t m_pos = 0;
    bool m_ok = true;
};

} // namespace vornhost::wire
