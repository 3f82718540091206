// The library's health calls: the host's record of the board behind a handle, and a feed's
// report of its latest sample, both to the host the board is reached through.
#include "requests.h"

#include "driver_host.h"
#include "health.h"

#include <algorithm>

using namespace vornlib;

namespace {

static_assert(VORN_REQUEST_KINDS == vornhost::kRequestKinds);

constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

timespec unixTime(int64_t systemTime) {
    const int64_t ticks = systemTime - kUnixEpochTicks;
    int64_t seconds = ticks / 10'000'000;
    int64_t rest = ticks % 10'000'000;
    if (rest < 0) {
        rest += 10'000'000;
        --seconds;
    }
    return {time_t(seconds), long(rest * 100)};
}

uint8_t healthResult(NTSTATUS status) {
    switch (status) {
    case STATUS_NOT_IMPLEMENTED:
        return VORN_ERR_HOST;
    case STATUS_NO_SUCH_DEVICE:
        return VORN_ERR_NO_DEVICE;
    case STATUS_INVALID_PARAMETER:
        return VORN_ERR_RANGE;
    default:
        return resultOf(status);
    }
}

void fill(const vornhost::BoardHealth& from, VornHealth* to) {
    *to = {};
    to->synchronized = from.synchronized;
    to->referencePresent = from.referencePresent;
    to->referenceSeen = from.referenceSeen;
    to->freewheel = from.freewheel;
    to->eventDropsKnown = from.eventDropsKnown;
    to->subscriberCountsKnown = from.subscriberCountsKnown;
    to->sampleKnown = from.sampleKnown;
    to->syncChangedAt = unixTime(from.syncChangedAt);
    to->referenceSeenAt = from.referenceSeen ? unixTime(from.referenceSeenAt) : timespec{};
    to->takenAt = unixTime(from.takenAt);
    std::copy(from.served.begin(), from.served.end(), to->requestsServed);
    std::copy(from.failed.begin(), from.failed.end(), to->requestsFailed);
    std::copy(from.timedOut.begin(), from.timedOut.end(), to->waitsTimedOut);
    to->eventsTagged = from.eventsTagged;
    to->eventsDelivered = from.eventsDelivered;
    to->eventsFifoOverflows = from.eventsFifoOverflows;
    to->eventsRingDrops = from.eventsRingDrops;
    to->subscriberDeliveries = from.subscriberDeliveries;
    to->subscriberDrops = from.subscriberDrops;
    if (from.sampleKnown) {
        to->sampleOffsetNanos = from.sample.offsetNanos;
        to->sampleErrorBoundNanos = from.sample.errorBoundNanos;
        to->sampleAt = unixTime(from.sampleAt);
        to->sampleReporterPid = from.sampleReporter.pid;
        to->sampleReporterUid = from.sampleReporter.uid;
    }
}

// Runs `call(channel, device number)` on the board's route, once more after a reconnect: both
// calls may be repeated without harm.
template <typename Call> uint8_t onHostOf(BoardHandle handle, Call call) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        uint32_t device = 0;
        if (!vornhost::deviceIndex(board.deviceName, &device))
            return VORN_ERR_NO_DEVICE;
        Route route = board.route();
        if (route.gone)
            return VORN_ERR_NO_DEVICE;
        NTSTATUS status = call(*route.channel, device);
        if (status == STATUS_DEVICE_NOT_CONNECTED && reconnectAfterLoss(route.channel)) {
            route = board.route();
            status = route.gone ? kBoardGone : call(*route.channel, device);
        }
        return healthResult(status);
    });
}

} // namespace

extern "C" {

uint8_t VORN_getHealth(BoardHandle handle, VornHealth* health) {
    if (health == nullptr)
        return findBoard(handle) ? uint8_t{VORN_ERR_ARGUMENT} : uint8_t{VORN_ERR_HANDLE};
    vornhost::BoardHealth record;
    const uint8_t result = onHostOf(handle, [&](vornhost::DeviceChannel& channel, uint32_t n) {
        return channel.readHealth(n, &record);
    });
    if (result == VORN_OK)
        fill(record, health);
    return result;
}

const char* VORN_requestKindName(unsigned kind) {
    return vornhost::requestKindName(kind);
}

uint8_t VORN_reportSyncSample(BoardHandle handle, int64_t offsetNanos, int64_t errorBoundNanos) {
    if (errorBoundNanos < 0)
        return findBoard(handle) ? uint8_t{VORN_ERR_RANGE} : uint8_t{VORN_ERR_HANDLE};
    const vornhost::SyncSample sample{offsetNanos, errorBoundNanos};
    return onHostOf(handle, [&](vornhost::DeviceChannel& channel, uint32_t n) {
        return channel.reportSyncSample(n, sample);
    });
}

} // extern "C"
