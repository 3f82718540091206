// Heap allocation counting for benchmarks: a library that takes the place of the C allocator's
// entry points and counts every block handed out, in this process or, preloaded, in another.
#pragma once

#include <cstdint>

extern "C" {
// Blocks allocated since the process started (malloc, calloc, realloc of a new block,
// posix_memalign, aligned_alloc, memalign; operator new reaches malloc).
uint64_t vornAllocCount();
}

// The counter of a process that runs with this library preloaded and VORN_ALLOC_COUNT_FILE set:
// the file holds its count, which another process maps and reads live.
class SharedAllocCounter {
public:
    // Maps `path` (created by the counted process); false when it cannot.
    bool map(const char* path);
    ~SharedAllocCounter();
    uint64_t read() const;

private:
    const volatile uint64_t* m_count = nullptr;
};
