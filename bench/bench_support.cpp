// Samples, pinning and sockets for the benchmarks.
#include "bench_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

namespace vornbench {

double Samples::percentileMicros(double p) const {
    if (m_values.empty())
        return 0;
    std::vector<int64_t> sorted = m_values;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return double(sorted[rank - 1]) / 1000.0;
}

double Samples::minMicros() const {
    if (m_values.empty())
        return 0;
    return double(*std::min_element(m_values.begin(), m_values.end())) / 1000.0;
}

void reportComparison(benchmark::State& state, const Samples& ours, const Samples& baseline) {
    const double oursMedian = ours.percentileMicros(50), oursP99 = ours.percentileMicros(99);
    const double baseMedian = baseline.percentileMicros(50);
    const double baseP99 = baseline.percentileMicros(99);
    state.counters["ours_p50_us"] = oursMedian;
    state.counters["ours_p99_us"] = oursP99;
    state.counters["base_p50_us"] = baseMedian;
    state.counters["base_p99_us"] = baseP99;
    state.counters["ratio_p50"] = baseMedian > 0 ? oursMedian / baseMedian : 0;
    state.counters["ratio_p99"] = baseP99 > 0 ? oursP99 / baseP99 : 0;
    state.counters["samples"] = double(ours.size());
}

int64_t bareTimedWaitLateness(int64_t nanos) {
    static std::mutex lock;
    static std::condition_variable never;
    std::unique_lock held(lock);
    const auto start = Clock::now();
    never.wait_for(held, std::chrono::nanoseconds(nanos));
    return nanosSince(start) - nanos;
}

int64_t barePacedSteps(int steps, int64_t pauseNanos) {
    // A sleep wakes tens of microseconds late; the last stretch of each pause is spun.
    constexpr auto kSpin = std::chrono::microseconds(60);
    const auto start = Clock::now();
    for (int i = 0; i < steps; ++i) {
        const auto deadline = Clock::now() + std::chrono::nanoseconds(pauseNanos);
        if (Clock::now() < deadline - kSpin)
            std::this_thread::sleep_until(deadline - kSpin);
        while (Clock::now() < deadline) {
        }
    }
    return nanosSince(start);
}

double timeoutOverFloor(double timeoutMicros, double lateP99Micros, double bareLateP99Micros) {
    return (timeoutMicros + lateP99Micros) / (timeoutMicros + bareLateP99Micros);
}

void tightenTimerSlack() {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

std::string allowedCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return "?";
    std::string cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus += (cpus.empty() ? "" : ",") + std::to_string(cpu);
    }
    return cpus;
}

int runBenchmarks(int argc, char** argv) {
    tightenTimerSlack();
    benchmark::AddCustomContext("cpus", allowedCpus());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

std::string selfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

std::string scratchDirectory() {
    static std::string path = [] {
        char pattern[] = "/tmp/vornbench.XXXXXX";
        std::string made = ::mkdtemp(pattern) ? pattern : "/tmp";
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchDirectory(), ignored);
        });
        return made;
    }();
    return path;
}

int connectWithin(const std::string& path, int boundMs) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    while (Clock::now() < deadline) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool readExact(int fd, void* buffer, size_t length) {
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        ssize_t n = ::read(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool writeExact(int fd, const void* buffer, size_t length) {
    auto* bytes = static_cast<const char*>(buffer);
    while (length > 0) {
        ssize_t n = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

int64_t realtimeNanos() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t tagRealtimeNanos(int dayOfYear, int hours, int minutes, double seconds) {
    time_t now = ::time(nullptr);
    tm utc{};
    ::gmtime_r(&now, &utc);
    tm yearStart{};
    yearStart.tm_year = utc.tm_year;
    yearStart.tm_mday = 1;
    const int64_t startSeconds = int64_t(::timegm(&yearStart));
    const int64_t micros = int64_t(std::llround(seconds * 1e6));
    const int64_t wholeMinutes = (int64_t(dayOfYear - 1) * 24 + hours) * 60 + minutes;
    return (startSeconds + wholeMinutes * 60) * 1'000'000'000 + micros * 1000;
}

} // namespace vornbench
