// vornctl health: the driver host's health record of the board, as report fields.
#include "cli.h"
#include "commands.h"

#include <ctime>

namespace vornctl {
namespace {

std::string utcText(const timespec& at) {
    std::tm utc{};
    gmtime_r(&at.tv_sec, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", at.tv_nsec / 1'000'000);
    return text;
}

double secondsBetween(const timespec& from, const timespec& to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

void addState(const VornHealth& h, Report& report) {
    report.add("synchronized", h.synchronized != 0);
    report.add(h.synchronized ? "synchronized_since" : "unsynchronized_since",
               utcText(h.syncChangedAt));
    report.add("mode", std::string(h.freewheel ? "freewheel" : "synchronize"));
    report.add("reference_present", h.referencePresent != 0);
    if (h.referenceSeen)
        report.add("reference_last_seen_s",
                   Decimal{secondsBetween(h.referenceSeenAt, h.takenAt), 3});
    else
        report.add("reference_last_seen_s", std::string("never"));
}

// Totals, then each kind that has any request, so that the text stays short.
void addRequests(const VornHealth& h, Report& report) {
    uint64_t served = 0, failed = 0, timedOut = 0;
    for (unsigned kind = 0; kind < VORN_REQUEST_KINDS; ++kind) {
        served += h.requestsServed[kind];
        failed += h.requestsFailed[kind];
        timedOut += h.waitsTimedOut[kind];
    }
    report.add("requests_served", int64_t(served));
    report.add("requests_failed", int64_t(failed));
    report.add("waits_timed_out", int64_t(timedOut));
    for (unsigned kind = 0; kind < VORN_REQUEST_KINDS; ++kind) {
        const char* name = VORN_requestKindName(kind);
        if (!name || (h.requestsServed[kind] == 0 && h.requestsFailed[kind] == 0))
            continue;
        report.add(std::string("served_") + name, int64_t(h.requestsServed[kind]));
        report.add(std::string("failed_") + name, int64_t(h.requestsFailed[kind]));
        if (h.waitsTimedOut[kind] != 0)
            report.add(std::string("timed_out_") + name, int64_t(h.waitsTimedOut[kind]));
    }
}

void addEvents(const VornHealth& h, Report& report) {
    report.add("events_tagged", int64_t(h.eventsTagged));
    report.add("events_delivered", int64_t(h.eventsDelivered));
    if (h.eventDropsKnown) {
        report.add("events_dropped_fifo_overflow", int64_t(h.eventsFifoOverflows));
        report.add("events_dropped_ring", int64_t(h.eventsRingDrops));
    }
    if (h.subscriberCountsKnown) {
        report.add("events_delivered_subscribers", int64_t(h.subscriberDeliveries));
        report.add("events_dropped_subscribers", int64_t(h.subscriberDrops));
    }
}

void addSample(const VornHealth& h, Report& report) {
    if (!h.sampleKnown) {
        report.add("sync_feed", std::string("none"));
        return;
    }
    report.add("sync_offset_s", Decimal{double(h.sampleOffsetNanos) / 1e9, 9});
    report.add("sync_error_bound_s", Decimal{double(h.sampleErrorBoundNanos) / 1e9, 9});
    report.add("sync_sample_age_s", Decimal{secondsBetween(h.sampleAt, h.takenAt), 3});
    report.add("sync_reported_by_pid", int64_t(h.sampleReporterPid));
    report.add("sync_reported_by_uid", int64_t(h.sampleReporterUid));
}

} // namespace

int runHealth(Context& c) {
    VornHealth health{};
    const uint8_t result = VORN_getHealth(c.board, &health);
    if (result != VORN_OK)
        return callFailed(c, "VORN_getHealth", result);
    addState(health, c.report);
    addRequests(health, c.report);
    addEvents(health, c.report);
    addSample(health, c.report);
    return kExitOk;
}

} // namespace vornctl
