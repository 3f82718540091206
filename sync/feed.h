// The feed: a sample from the board at each tick, sent to every output, with the board's state,
// each output's failures and a status line reported as they change.
#pragma once

#include "board_source.h"
#include "leap_seconds.h"
#include "pacer.h"
#include "sample_sink.h"
#include "sampler.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vornsync {

struct FeedOptions {
    std::string deviceName = "VORNpci0";
    int rate = 4;
    bool allowFreewheel = false;
    bool json = false;
};

enum class FeedState { Starting, Synchronized, NotSynchronized, BoardUnreadable };
const char* feedStateName(FeedState state);

struct FeedStatus {
    FeedState state = FeedState::Starting;
    uint64_t sent = 0;
    std::array<uint64_t, kNotSentKinds> notSent{};
    std::string lastNotSent; // why the latest sample that was not sent was not
    std::optional<int64_t> lastOffsetNanos;
    std::optional<int64_t> lastErrorBoundNanos;
};

// A sample's leap field: the leap that ends the UTC day the board's time is in.
Sample sampleOf(const Bracket& bracket, const LeapSecondList& leaps);

// Seconds with nine decimals, for JSON.
std::string secondsText(int64_t nanos);

class Feed {
public:
    Feed(BoardSource& board, std::vector<SampleSink*> sinks, const LeapSecondList& leaps,
         FeedOptions options, std::ostream& log, std::ostream& out);

    // Takes one sample and delivers it where it may be sent.
    void tick();
    // Ticks at the rate until the pacer says stop, with a status line a second under --json.
    void run(Pacer& pacer);

    std::string statusJson() const;
    const FeedStatus& status() const { return m_status; }

private:
    void enterState(FeedState state, const std::string& detail);
    void refuse(NotSent reason, const std::string& why);
    void deliver(const Sample& sample);
    void warnOfExpiredList(int64_t unixSeconds);

    BoardSource& m_board;
    std::vector<SampleSink*> m_sinks;
    std::vector<Delivery> m_lastDelivery;
    const LeapSecondList& m_leaps;
    FeedOptions m_options;
    std::ostream& m_log;
    std::ostream& m_out;
    Sampler m_sampler;
    FeedStatus m_status;
    bool m_warnedOfExpiry = false;
};

} // namespace vornsync
