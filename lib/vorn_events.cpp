// The library's event subscription calls: a queue of the host's own per subscriber, reached
// through the board's channel.
#include "conversions.h"
#include "requests.h"

using vornlib::Board;

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

timespec timespecFromUnixNanos(int64_t nanos) {
    timespec stamp{};
    stamp.tv_sec = static_cast<time_t>(nanos / kNanosPerSecond);
    stamp.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
    if (stamp.tv_nsec < 0) {
        stamp.tv_nsec += kNanosPerSecond;
        --stamp.tv_sec;
    }
    return stamp;
}

} // namespace

extern "C" {

uint8_t VORN_subscribeEvents(BoardHandle handle, uint32_t* subscription) {
    return vornlib::withBoard(handle, [&](Board& board) -> uint8_t {
        if (subscription == nullptr)
            return VORN_ERR_ARGUMENT;
        const vornlib::Route route = board.route();
        if (route.gone)
            return VORN_ERR_NO_DEVICE;
        uint32_t made = 0;
        const NTSTATUS status = route.channel->subscribeEvents(board.deviceName, &made);
        if (status == STATUS_INSUFFICIENT_RESOURCES)
            return VORN_ERR_BUSY;
        if (status == STATUS_SUCCESS)
            *subscription = made;
        return vornlib::resultOf(status);
    });
}

uint8_t VORN_nextEvent(BoardHandle handle, uint32_t subscription, SequencedEventObj* event) {
    std::shared_ptr<Board> board = vornlib::findBoard(handle);
    if (!board || event == nullptr)
        return VORN_WAIT_NOT_STARTED;
    const vornlib::Route route = board->route();
    if (route.gone)
        return VORN_WAIT_NOT_STARTED;
    vornhost::HostEvent taken;
    const NTSTATUS status = route.channel->nextEvent(subscription, event->timeoutMs, &taken);
    if (status == STATUS_DEVICE_NOT_READY)
        return VORN_WAIT_TIMEOUT;
    if (status != STATUS_SUCCESS)
        return VORN_WAIT_NOT_STARTED;
    event->year = taken.year;
    event->dayOfYear = taken.dayOfYear;
    event->sequence = taken.sequence;
    event->droppedBefore = taken.droppedBefore;
    event->microsOfDay = taken.microsOfDay;
    event->received = timespecFromUnixNanos(taken.receivedUnixNanos);
    return VORN_OK;
}

uint8_t VORN_unsubscribeEvents(BoardHandle handle, uint32_t subscription) {
    return vornlib::withBoard(handle, [&](Board& board) -> uint8_t {
        const vornlib::Route route = board.route();
        if (route.gone)
            return VORN_ERR_NO_DEVICE;
        return vornlib::resultOf(route.channel->unsubscribeEvents(subscription));
    });
}

} // extern "C"
