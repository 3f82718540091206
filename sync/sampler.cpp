// Takes one sample from the board: the narrowest of a few bracketed reads.
#include "sampler.h"

#include <algorithm>
#include <vector>

namespace vornsync {

const char* notSentName(NotSent reason) {
    switch (reason) {
    case NotSent::NotSynchronized:
        return "not_synchronized";
    case NotSent::BoardError:
        return "board_error";
    case NotSent::BadBoardTime:
        return "bad_board_time";
    case NotSent::WideBracket:
        return "wide_bracket";
    case NotSent::Undelivered:
        return "undelivered";
    }
    return "unknown";
}

bool WidthFilter::accept(int64_t width) {
    std::vector<int64_t> sorted(m_widths.begin(), m_widths.end());
    m_widths.push_back(width);
    if (m_widths.size() > kHistory)
        m_widths.pop_front();
    if (sorted.size() < kWarmUp)
        return true;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    return width <= kFactor * *middle + kSlackNanos;
}

SampleResult Sampler::bestRead(BoardSource& board) {
    SampleResult result;
    bool anyRead = false;
    for (int i = 0; i < kReadsPerSample; ++i) {
        StampedRead read;
        const uint8_t code = board.readStamped(read);
        if (code != 0) {
            result.boardCode = code;
            continue;
        }
        anyRead = true;
        const std::optional<Bracket> bracket = bracketOf(read);
        if (bracket && (!result.taken || bracket->width() < result.bracket.width())) {
            result.bracket = *bracket;
            result.taken = true;
        }
    }
    if (!result.taken)
        result.reason = anyRead ? NotSent::BadBoardTime : NotSent::BoardError;
    return result;
}

SampleResult Sampler::take(BoardSource& board) {
    SampleResult result = bestRead(board);
    if (result.taken && !m_filter.accept(result.bracket.width())) {
        result.taken = false;
        result.reason = NotSent::WideBracket;
    }
    return result;
}

} // namespace vornsync
