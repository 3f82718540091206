// The allocator's entry points, forwarded to the C library's own and counted. Linked first into
// a benchmark it counts that process; preloaded (LD_PRELOAD) into the daemon it counts there and
// publishes the count in the file VORN_ALLOC_COUNT_FILE names.
#include "alloc_count.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// Counts go here until the shared page is mapped, then to the page (carrying over the start).
std::atomic<uint64_t> g_localCount{0};
std::atomic<uint64_t>* g_count = &g_localCount;

inline void countOne() {
    g_count->fetch_add(1, std::memory_order_relaxed);
}

// Maps the file named by VORN_ALLOC_COUNT_FILE as the counter. Neither getenv nor the system
// calls below allocate, so this may run before anything else in the process.
__attribute__((constructor)) void publishCount() {
    const char* path = std::getenv("VORN_ALLOC_COUNT_FILE");
    if (path == nullptr)
        return;
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    void* page = MAP_FAILED;
    if (::ftruncate(fd, 4096) == 0)
        page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (page == MAP_FAILED)
        return;
    auto* shared = static_cast<std::atomic<uint64_t>*>(page);
    shared->store(g_localCount.load());
    g_count = shared;
}

} // namespace

extern "C" {

uint64_t vornAllocCount() {
    return g_count->load(std::memory_order_relaxed);
}

void* malloc(size_t size) {
    countOne();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    countOne();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    if (block == nullptr || size != 0)
        countOne();
    return __libc_realloc(block, size);
}

void free(void* block) {
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return 22; // EINVAL
    countOne();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr && size != 0)
        return 12; // ENOMEM
    *out = block;
    return 0;
}

} // extern "C"

bool SharedAllocCounter::map(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (page == MAP_FAILED)
        return false;
    m_count = static_cast<const volatile uint64_t*>(page);
    return true;
}

SharedAllocCounter::~SharedAllocCounter() {
    if (m_count != nullptr)
        ::munmap(const_cast<uint64_t*>(m_count), 4096);
}

uint64_t SharedAllocCounter::read() const {
    return m_count != nullptr ? *m_count : 0;
}
