// Takes one sample from the board: the narrowest bracket of a few reads, kept only when its
// bracket is not far wider than the recent ones (a read the scheduler interrupted).
#pragma once

#include "board_source.h"
#include "board_time.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace vornsync {

// Why a sample was not sent.
enum class NotSent { NotSynchronized, BoardError, BadBoardTime, WideBracket, Undelivered };
constexpr size_t kNotSentKinds = 5;
const char* notSentName(NotSent reason);

struct SampleResult {
    bool taken = false;
    Bracket bracket;
    NotSent reason = NotSent::BoardError; // when not taken
    uint8_t boardCode = 0;                // for NotSent::BoardError
};

// Remembers the widths of recent samples and judges a new one against their median.
class WidthFilter {
public:
    static constexpr size_t kHistory = 16;
    static constexpr size_t kWarmUp = 4;
    static constexpr int64_t kSlackNanos = 20'000;
    static constexpr int64_t kFactor = 4;

    // True when `width` is usual; every width joins the history, so that a lasting change of the
    // usual width is learnt rather than refused for ever.
    bool accept(int64_t width);

private:
    std::deque<int64_t> m_widths;
};

class Sampler {
public:
    static constexpr int kReadsPerSample = 5;

    SampleResult take(BoardSource& board);
    // The narrowest bracket of a few reads, without the width judgement (for a step).
    SampleResult bestRead(BoardSource& board);

private:
    WidthFilter m_filter;
};

} // namespace vornsync
