// `vornctl events --follow`: the subscription loop and the format of one event.
#include "event_follow.h"

#include "cli.h"
#include "commands.h"
#include "report.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <limits>
#include <ostream>

namespace vornctl {
namespace {

constexpr uint64_t kMicrosPerSecond = 1'000'000;

// Days from 1970-01-01 to the first of January of `year` (proleptic Gregorian).
int64_t daysBeforeYear(int64_t year) {
    const int64_t y = year - 1;
    const int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    constexpr int64_t kDaysTo1970 = 719'162; // from 0001-01-01
    return days - kDaysTo1970;
}

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void requestStop(int) {
    g_stopRequested = true;
}

// While following, SIGINT and SIGTERM end the loop between two events, so that the
// subscription is ended before the program exits; the previous handlers come back after.
class StopOnSignals {
public:
    StopOnSignals() {
        g_stopRequested = false;
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_previousInt);
        sigaction(SIGTERM, &action, &m_previousTerm);
    }
    ~StopOnSignals() {
        sigaction(SIGINT, &m_previousInt, nullptr);
        sigaction(SIGTERM, &m_previousTerm, nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

std::string isoFromSeconds(int64_t seconds, const char* fractionFormat, uint64_t fraction) {
    const time_t whole = static_cast<time_t>(seconds);
    std::tm parts{};
    if (gmtime_r(&whole, &parts) == nullptr)
        return {};
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
    char text[64];
    std::snprintf(text, sizeof text, fractionFormat, date, fraction);
    return text;
}

} // namespace

std::string isoUtc(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay) {
    if (year == 0 || dayOfYear == 0)
        return {};
    const int64_t seconds =
        (daysBeforeYear(year) + dayOfYear - 1) * 86'400 + int64_t(microsOfDay / kMicrosPerSecond);
    return isoFromSeconds(seconds, "%s.%06" PRIu64 "Z", microsOfDay % kMicrosPerSecond);
}

std::string isoUtc(const timespec& time) {
    return isoFromSeconds(time.tv_sec, "%s.%09" PRIu64 "Z", uint64_t(time.tv_nsec));
}

void writeEvent(const SequencedEventObj& event, bool json, std::ostream& out) {
    const std::string utc = isoUtc(event.year, event.dayOfYear, event.microsOfDay);
    const std::string received = isoUtc(event.received);
    if (json) {
        out << "{\"seq\":" << event.sequence
            << ",\"utc\":" << (utc.empty() ? std::string("null") : jsonString(utc))
            << ",\"day_of_year\":" << event.dayOfYear << ",\"received\":" << jsonString(received)
            << ",\"dropped_before\":" << event.droppedBefore << "}\n";
    } else {
        out << "seq=" << event.sequence << " utc=" << (utc.empty() ? "unknown" : utc)
            << " day_of_year=" << event.dayOfYear << " received=" << received
            << " dropped_before=" << event.droppedBefore << '\n';
    }
    out.flush();
}

FollowOutcome followEvents(BoardHandle board, uint64_t count, bool json, std::ostream& out,
                           const std::atomic<bool>& stop, uint32_t pollMs) {
    FollowOutcome outcome;
    uint32_t subscription = 0;
    outcome.result = VORN_subscribeEvents(board, &subscription);
    if (outcome.result != VORN_OK)
        return outcome;
    while (!stop && (count == 0 || outcome.printed < count)) {
        SequencedEventObj event{};
        event.timeoutMs = pollMs;
        const uint8_t result = VORN_nextEvent(board, subscription, &event);
        if (result == VORN_WAIT_TIMEOUT)
            continue;
        if (result != VORN_OK) {
            outcome.result = result;
            break;
        }
        writeEvent(event, json, out);
        ++outcome.printed;
    }
    const uint8_t ended = VORN_unsubscribeEvents(board, subscription);
    if (outcome.result == VORN_OK)
        outcome.result = ended;
    return outcome;
}

int runEvents(Context& c) {
    if (c.args.flags.count("--follow") == 0)
        return badInput(c, "usage: vornctl events --follow [--count N]");
    uint64_t count = 0;
    if (auto it = c.args.values.find("--count"); it != c.args.values.end()) {
        auto parsed =
            parseInteger(it->second, 1, std::numeric_limits<int64_t>::max(), "--count", &c.error);
        if (!parsed)
            return kExitUsage;
        count = uint64_t(*parsed);
    }
    const bool json = c.json || c.args.flags.count("--json") != 0;
    StopOnSignals signals;
    const FollowOutcome outcome = followEvents(c.board, count, json, *c.out, g_stopRequested);
    c.streamed = true;
    if (outcome.result != VORN_OK)
        return callFailed(c, "following events", outcome.result);
    return kExitOk;
}

} // namespace vornctl
