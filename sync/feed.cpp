// The feed: samples from the board to the time daemon's outputs.
#include "feed.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vornsync {

const char* feedStateName(FeedState state) {
    switch (state) {
    case FeedState::Starting:
        return "starting";
    case FeedState::Synchronized:
        return "synchronized";
    case FeedState::NotSynchronized:
        return "not_synchronized";
    case FeedState::BoardUnreadable:
        return "board_unreadable";
    }
    return "unknown";
}

std::string secondsText(int64_t nanos) {
    const uint64_t magnitude = nanos < 0 ? -static_cast<uint64_t>(nanos) : nanos;
    char text[40];
    std::snprintf(text, sizeof text, "%s%llu.%09llu", nanos < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / kNanosPerSecond),
                  static_cast<unsigned long long>(magnitude % kNanosPerSecond));
    return text;
}

Sample sampleOf(const Bracket& bracket, const LeapSecondList& leaps) {
    Sample sample;
    sample.systemNanos = bracket.midpoint();
    sample.offsetNanos = bracket.offset();
    sample.errorBoundNanos = bracket.errorBound();
    sample.leap = leaps.leapAt(bracket.boardNanos / kNanosPerSecond);
    return sample;
}

Feed::Feed(BoardSource& board, std::vector<SampleSink*> sinks, const LeapSecondList& leaps,
           FeedOptions options, std::ostream& log, std::ostream& out)
    : m_board(board), m_sinks(std::move(sinks)), m_lastDelivery(m_sinks.size(), Delivery::Sent),
      m_leaps(leaps), m_options(std::move(options)), m_log(log), m_out(out) {}

void Feed::enterState(FeedState state, const std::string& detail) {
    if (state == m_status.state)
        return;
    m_status.state = state;
    m_log << "vornsync: " << detail << std::endl;
}

void Feed::refuse(NotSent reason, const std::string& why) {
    ++m_status.notSent[static_cast<size_t>(reason)];
    m_status.lastNotSent = why;
}

void Feed::tick() {
    bool inSync = false;
    const uint8_t code = m_board.synchronized(inSync);
    if (code != 0) {
        enterState(FeedState::BoardUnreadable, "cannot read board " + m_options.deviceName + ": " +
                                                   resultName(code) +
                                                   "; no samples until it answers");
        refuse(NotSent::BoardError, "board unreadable: " + resultName(code));
        return;
    }
    if (inSync)
        enterState(FeedState::Synchronized,
                   "board " + m_options.deviceName + " is synchronized to its reference: feeding");
    else
        enterState(FeedState::NotSynchronized,
                   "board " + m_options.deviceName + " is not synchronized to its reference: " +
                       (m_options.allowFreewheel
                            ? "feeding its free-running time (--allow-freewheel)"
                            : "no samples until it is (--allow-freewheel sends them anyway)"));
    if (!inSync && !m_options.allowFreewheel) {
        refuse(NotSent::NotSynchronized, "board not synchronized to its reference");
        return;
    }
    const SampleResult result = m_sampler.take(m_board);
    if (!result.taken) {
        refuse(result.reason, result.reason == NotSent::BoardError
                                  ? "board unreadable: " + resultName(result.boardCode)
                                  : notSentName(result.reason));
        return;
    }
    const Sample sample = sampleOf(result.bracket, m_leaps);
    warnOfExpiredList(result.bracket.boardNanos / kNanosPerSecond);
    deliver(sample);
}

void Feed::deliver(const Sample& sample) {
    bool anySent = m_sinks.empty();
    std::string failure;
    for (size_t i = 0; i < m_sinks.size(); ++i) {
        const DeliveryResult result = m_sinks[i]->deliver(sample);
        if (result.outcome != m_lastDelivery[i])
            m_log << "vornsync: " << m_sinks[i]->describe() << ": "
                  << (result.outcome == Delivery::Sent ? "delivering again" : result.advice)
                  << std::endl;
        m_lastDelivery[i] = result.outcome;
        if (result.outcome == Delivery::Sent)
            anySent = true;
        else if (failure.empty())
            failure = m_sinks[i]->describe() + ": " + result.advice;
    }
    if (!anySent) {
        refuse(NotSent::Undelivered, failure);
        return;
    }
    ++m_status.sent;
    m_status.lastOffsetNanos = sample.offsetNanos;
    m_status.lastErrorBoundNanos = sample.errorBoundNanos;
    m_board.reportSample(sample.offsetNanos, sample.errorBoundNanos);
}

void Feed::warnOfExpiredList(int64_t unixSeconds) {
    if (m_warnedOfExpiry || !m_leaps.expiredAt(unixSeconds))
        return;
    m_warnedOfExpiry = true;
    m_log << "vornsync: warning: the leap-second list has expired; update tzdata so that "
             "coming leap seconds are announced (feeding goes on)"
          << std::endl;
}

namespace {

// Bytes that are not UTF-8 become U+FFFD, so that the status line is always valid JSON.
std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string optionalSeconds(const std::optional<int64_t>& nanos) {
    return nanos ? secondsText(*nanos) : "null";
}

} // namespace

std::string Feed::statusJson() const {
    std::string line = "{\"state\":" + jsonString(feedStateName(m_status.state)) +
                       ",\"sent\":" + std::to_string(m_status.sent) + ",\"not_sent\":{";
    for (size_t i = 0; i < kNotSentKinds; ++i)
        line += (i ? "," : "") + jsonString(notSentName(static_cast<NotSent>(i))) + ":" +
                std::to_string(m_status.notSent[i]);
    line += "},\"last_not_sent\":" + jsonString(m_status.lastNotSent) +
            ",\"last_offset_s\":" + optionalSeconds(m_status.lastOffsetNanos) +
            ",\"last_error_bound_s\":" + optionalSeconds(m_status.lastErrorBoundNanos) + "}";
    return line;
}

void Feed::run(Pacer& pacer) {
    const int64_t period = kNanosPerSecond / m_options.rate;
    int64_t next = pacer.monotonicNanos();
    int64_t nextStatus = next + kNanosPerSecond;
    for (;;) {
        tick();
        const int64_t now = pacer.monotonicNanos();
        if (m_options.json && now >= nextStatus) {
            m_out << statusJson() << std::endl;
            nextStatus = std::max(nextStatus + kNanosPerSecond, now);
        }
        next += period;
        // After a stall the feed goes on at its rate rather than catching up in a burst.
        if (next < now)
            next = now;
        if (!pacer.sleepUntil(next))
            return;
    }
}

} // namespace vornsync
