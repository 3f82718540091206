// Writes the health record as metric families: one HELP and TYPE header each, then a sample per
// board (and per kind or cause where the family has one).
#include "metrics_text.h"

#include <algorithm>
#include <functional>

namespace vornhost {
namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kNanosPerSecond = 1'000'000'000;

class Exposition {
public:
    explicit Exposition(const NumberedHealth& boards) : m_boards(boards) {}

    // One family; `write` adds the board's samples, given the board's label text.
    void family(const char* name, const char* type, const char* help,
                const std::function<void(const BoardHealth&, const std::string&)>& write) {
        m_text += std::string("# HELP ") + name + " " + help + "\n";
        m_text += std::string("# TYPE ") + name + " " + type + "\n";
        for (const auto& [number, health] : m_boards)
            write(health, "board=\"" + escapeLabelValue(std::to_string(number)) + "\"");
    }
    void sample(const char* name, const std::string& labels, const std::string& value) {
        m_text += std::string(name) + "{" + labels + "} " + value + "\n";
    }
    void sample(const char* name, const std::string& labels, uint64_t value) {
        sample(name, labels, std::to_string(value));
    }
    std::string take() { return std::move(m_text); }

private:
    const NumberedHealth& m_boards;
    std::string m_text;
};

std::string unixSeconds(int64_t systemTime) {
    return secondsText(systemTime - kUnixEpochTicks, kTicksPerSecond);
}

std::string kindLabel(const std::string& board, size_t kind) {
    return board + ",kind=\"" + escapeLabelValue(requestKindName(kind)) + "\"";
}

void writeState(Exposition& e) {
    e.family("vorn_board_synchronized", "gauge",
             "1 when the board is synchronized to its reference, else 0.",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_board_synchronized", b, uint64_t(h.synchronized));
             });
    e.family("vorn_board_sync_changed_timestamp_seconds", "gauge",
             "When the board's synchronization last changed, as the host saw it (Unix time).",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_board_sync_changed_timestamp_seconds", b,
                          unixSeconds(h.syncChangedAt));
             });
    e.family("vorn_board_reference_present", "gauge",
             "1 when the board receives its reference signal, else 0.",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_board_reference_present", b, uint64_t(h.referencePresent));
             });
    e.family("vorn_board_reference_last_seen_age_seconds", "gauge",
             "Time since the host last saw the reference present; absent if it never did.",
             [&](const BoardHealth& h, const std::string& b) {
                 if (h.referenceSeen)
                     e.sample("vorn_board_reference_last_seen_age_seconds", b,
                              secondsText(std::max<int64_t>(0, h.takenAt - h.referenceSeenAt),
                                          kTicksPerSecond));
             });
    e.family("vorn_board_freewheel", "gauge",
             "The board's mode: 1 for freewheel, 0 for synchronize.",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_board_freewheel", b, uint64_t(h.freewheel));
             });
}

void writeRequests(Exposition& e) {
    const auto perKind = [&](const char* name, const std::array<uint64_t, kRequestKinds>& counts,
                             const std::string& b, bool waitsOnly) {
        for (size_t kind = 0; kind < kRequestKinds; ++kind) {
            const char* kindName = requestKindName(kind);
            if (!kindName || (waitsOnly && std::string_view(kindName).substr(0, 5) != "wait_"))
                continue;
            e.sample(name, kindLabel(b, kind), counts[kind]);
        }
    };
    e.family("vorn_requests_served_total", "counter",
             "Requests to the board that the driver completed with success, by kind.",
             [&](const BoardHealth& h, const std::string& b) {
                 perKind("vorn_requests_served_total", h.served, b, false);
             });
    e.family("vorn_requests_failed_total", "counter",
             "Requests to the board that the driver failed, by kind (timed-out waits included).",
             [&](const BoardHealth& h, const std::string& b) {
                 perKind("vorn_requests_failed_total", h.failed, b, false);
             });
    e.family("vorn_waits_timed_out_total", "counter",
             "Waits on the board whose time-out passed before the interrupt came, by kind.",
             [&](const BoardHealth& h, const std::string& b) {
                 perKind("vorn_waits_timed_out_total", h.timedOut, b, true);
             });
}

void writeEvents(Exposition& e) {
    e.family("vorn_events_tagged_total", "counter",
             "External events the board time-tagged, those lost on the way included.",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_events_tagged_total", b, h.eventsTagged);
             });
    e.family("vorn_events_delivered_total", "counter",
             "Tagged events handed to programs by the event waits.",
             [&](const BoardHealth& h, const std::string& b) {
                 e.sample("vorn_events_delivered_total", b, h.eventsDelivered);
             });
    e.family("vorn_events_dropped_total", "counter",
             "Tagged events the driver lost, by cause: the board's full FIFO, or pushed out of "
             "the event-wait ring unread.",
             [&](const BoardHealth& h, const std::string& b) {
                 if (!h.eventDropsKnown)
                     return;
                 e.sample("vorn_events_dropped_total", b + ",cause=\"fifo_overflow\"",
                          h.eventsFifoOverflows);
                 e.sample("vorn_events_dropped_total", b + ",cause=\"ring\"", h.eventsRingDrops);
             });
    const auto subscribers = [&](const char* name, const char* help, auto value) {
        e.family(name, "counter", help, [&](const BoardHealth& h, const std::string& b) {
            if (h.subscriberCountsKnown)
                e.sample(name, b, value(h));
        });
    };
    subscribers("vorn_subscriber_events_delivered_total",
                "Events handed to event subscribers, once for each subscriber.",
                [](const BoardHealth& h) { return h.subscriberDeliveries; });
    subscribers("vorn_subscriber_events_dropped_total",
                "Events tagged while a subscription was open that it never received, once for "
                "each subscriber; with the delivered ones they make up what was tagged meanwhile.",
                [](const BoardHealth& h) { return h.subscriberDrops; });
}

void writeSample(Exposition& e) {
    const auto known = [&](const char* name, const char* help, auto value) {
        e.family(name, "gauge", help, [&](const BoardHealth& h, const std::string& b) {
            if (h.sampleKnown)
                e.sample(name, b, value(h));
        });
    };
    known("vorn_sync_sample_offset_seconds",
          "Board time minus system time in the synchronization feed's last sample.",
          [](const BoardHealth& h) { return secondsText(h.sample.offsetNanos, kNanosPerSecond); });
    known("vorn_sync_sample_error_bound_seconds", "The error bound of the feed's last sample.",
          [](const BoardHealth& h) {
              return secondsText(h.sample.errorBoundNanos, kNanosPerSecond);
          });
    known("vorn_sync_sample_timestamp_seconds", "When the feed reported its last sample.",
          [](const BoardHealth& h) { return unixSeconds(h.sampleAt); });
    known("vorn_sync_sample_reporter_pid", "The process that reported the feed's last sample.",
          [](const BoardHealth& h) { return std::to_string(h.sampleReporter.pid); });
    known("vorn_sync_sample_reporter_uid", "The user of that process.",
          [](const BoardHealth& h) { return std::to_string(h.sampleReporter.uid); });
}

} // namespace

std::string metricsText(const NumberedHealth& boards) {
    Exposition e(boards);
    writeState(e);
    writeRequests(e);
    writeEvents(e);
    writeSample(e);
    return e.take();
}

std::string escapeLabelValue(std::string_view value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string secondsText(int64_t units, int64_t unitsPerSecond) {
    const bool negative = units < 0;
    // Magnitude as unsigned, so that the most negative value does not overflow.
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(units) : uint64_t(units);
    const uint64_t whole = magnitude / uint64_t(unitsPerSecond);
    const uint64_t fraction = magnitude % uint64_t(unitsPerSecond);
    // As many fraction digits as a second has places of units (a power of ten).
    const size_t digits = std::to_string(unitsPerSecond).size() - 1;
    std::string fractionText = std::to_string(fraction);
    if (fractionText.size() < digits)
        fractionText.insert(0, digits - fractionText.size(), '0');
    return (negative ? "-" : "") + std::to_string(whole) + "." + fractionText;
}

} // namespace vornhost
