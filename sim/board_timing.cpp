// The board model's time keeping: the free-running and the reference-locked time base, the
// heartbeat, the match and scheduled events, driven by alarms on the shared clock.
#include "sim/board_model.h"

#include <algorithm>
#include <limits>

namespace vornsim {

namespace {
constexpr ntemu::Ticks100ns kTicksPerDividerStep = 100 * kTicksPerMicro; // 10,000 Hz base
constexpr ntemu::Ticks100ns kPulseWidth = 10 * kTicksPerMicro;
} // namespace

bool BoardModel::locked() const {
    return m_s.syncMode == SyncMode::Synchronize && m_s.referencePresent;
}

// Locked, the board shows the reference (UTC from the clock's system time, off by the
// reference's offset and rate) advanced by the propagation delay correction; otherwise it runs
// on from its own time base.
BoardTime BoardModel::currentTime() const {
    if (locked())
        return boardTimeFromSystem(m_reference.timeAt(m_clock.systemTime()))
            .plus(m_s.propDelay * kTicksPerMicro);
    return m_s.freeBase.plus(m_clock.now() - m_s.freeBaseAt);
}

// Clock ticks until the board's time has moved on by `boardTicks`: locked to a reference that
// runs fast, the board gets there sooner. Rounded up, so an alarm never comes early.
ntemu::Ticks100ns BoardModel::clockTicksFor(ntemu::Ticks100ns boardTicks) const {
    const int64_t ppb = locked() ? m_reference.ppb() : 0;
    if (ppb == 0 || boardTicks <= 0)
        return boardTicks;
    constexpr __int128 kBillion = 1'000'000'000;
    const __int128 scaled = static_cast<__int128>(boardTicks) * kBillion;
    const __int128 rate = kBillion + ppb;
    return static_cast<ntemu::Ticks100ns>((scaled + rate - 1) / rate);
}

void BoardModel::setReferenceOffset(int64_t micros) {
    Lock lock(m_mutex);
    micros = std::clamp(micros, -kMaxReferenceOffsetMicros, kMaxReferenceOffsetMicros);
    m_reference.setOffset(m_clock.systemTime(), micros);
    rescheduleAlarms();
}

void BoardModel::setReferenceRate(int64_t ppb) {
    Lock lock(m_mutex);
    ppb = std::clamp(ppb, -kMaxReferencePpb, kMaxReferencePpb);
    m_reference.setRate(m_clock.systemTime(), ppb);
    rescheduleAlarms();
}

int64_t BoardModel::referenceDifference() const {
    Lock lock(m_mutex);
    return m_reference.differenceAt(m_clock.systemTime());
}

void BoardModel::setTimeBase(const BoardTime& t) {
    m_s.freeBase = t;
    m_s.freeBase.normalize();
    m_s.freeBaseAt = m_clock.now();
}

// Losing the lock leaves the board running on from the time it showed, without a jump.
void BoardModel::setSync(SyncMode mode, bool referencePresent, int32_t propDelay) {
    bool wasLocked = locked();
    BoardTime before = currentTime();
    m_s.syncMode = mode;
    m_s.referencePresent = referencePresent;
    m_s.propDelay = propDelay;
    if (wasLocked && !locked())
        setTimeBase(before);
    rescheduleAlarms();
}

void BoardModel::armAlarm(ntemu::ClockAlarm& alarm, ntemu::Ticks100ns due) {
    if (!m_closing)
        m_clock.arm(alarm, due);
}

// After the board time jumps, the match and scheduled events fall due at other clock times.
void BoardModel::rescheduleAlarms() {
    ntemu::Ticks100ns now = m_clock.now();
    BoardTime t = currentTime();
    if (m_s.match.armed) {
        ntemu::Ticks100ns delta = ticksUntil(t, m_s.match.time);
        m_s.match.armed = delta >= 0;
        m_s.matchDue = now + clockTicksFor(delta);
        if (m_s.match.armed)
            armAlarm(m_matchAlarm, m_s.matchDue);
    }
    std::erase_if(m_s.scheduled, [&](auto& event) {
        ntemu::Ticks100ns delta = ticksUntil(t, event.when);
        event.due = now + clockTicksFor(delta);
        return delta < 0;
    });
    armEventAlarm();
}

void BoardModel::armMatch(const MatchProgramme& programme) {
    m_s.match = programme;
    rescheduleAlarms();
}

void BoardModel::armEventAlarm() {
    if (m_s.scheduled.empty() && m_s.trains.empty())
        return;
    auto byDue = [](const auto& a, const auto& b) { return a.due < b.due; };
    auto due = std::numeric_limits<ntemu::Ticks100ns>::max();
    if (!m_s.scheduled.empty())
        due = std::min_element(m_s.scheduled.begin(), m_s.scheduled.end(), byDue)->due;
    if (!m_s.trains.empty())
        due = std::min(due, std::min_element(m_s.trains.begin(), m_s.trains.end(), byDue)->due);
    armAlarm(m_eventAlarm, due);
}

// Each event of a train that has fallen due is tagged on its own, as the strobes would come.
void BoardModel::tagDueTrainEvents(ntemu::Ticks100ns now) {
    for (EventTrain& train : m_s.trains) {
        for (; train.remaining > 0 && train.due <= now; --train.remaining) {
            tagEvents(1);
            train.due += train.interval;
        }
    }
    std::erase_if(m_s.trains, [](const EventTrain& train) { return train.remaining == 0; });
}

// "Immediately" starts the first cycle at the load; "next cycle" at the next whole second of
// board time. Each completed cycle raises one interrupt.
void BoardModel::startHeartbeat(const HeartbeatProgramme& programme) {
    m_s.heart = programme;
    if (programme.divider == 0)
        return;
    ntemu::Ticks100ns origin = m_clock.now();
    if (programme.start == HeartStart::NextCycle) {
        ntemu::Ticks100ns intoSecond = currentTime().ticksInYear % kTicksPerSecond;
        if (intoSecond != 0)
            origin += clockTicksFor(kTicksPerSecond - intoSecond);
    }
    m_s.heartOrigin = origin;
    m_s.heartNext = origin + programme.divider * kTicksPerDividerStep;
    armAlarm(m_heartAlarm, m_s.heartNext);
}

bool BoardModel::heartbeatOutput() const {
    Lock lock(m_mutex);
    ntemu::Ticks100ns now = m_clock.now();
    if (m_s.heart.divider == 0 || now < m_s.heartOrigin)
        return false;
    ntemu::Ticks100ns period = m_s.heart.divider * kTicksPerDividerStep;
    ntemu::Ticks100ns phase = (now - m_s.heartOrigin) % period;
    if (m_s.heart.mode == HeartMode::Square)
        return phase < period / 2;
    return phase < std::min(kPulseWidth, period / 2);
}

void BoardModel::onHeartAlarm() {
    if (m_closing || m_s.heart.divider == 0)
        return;
    ntemu::Ticks100ns now = m_clock.now();
    ntemu::Ticks100ns period = m_s.heart.divider * kTicksPerDividerStep;
    if (now < m_s.heartNext) {
        armAlarm(m_heartAlarm, m_s.heartNext); // reprogrammed since this fire was due
        return;
    }
    // A fire that comes late (real clock) counts every cycle it passed, in one step.
    ntemu::Ticks100ns cycles = (now - m_s.heartNext) / period + 1;
    m_s.heartPending = true;
    m_s.counters.heartbeats += static_cast<uint64_t>(cycles);
    m_s.heartNext += cycles * period;
    armAlarm(m_heartAlarm, m_s.heartNext);
    updateIrq();
}

void BoardModel::onMatchAlarm() {
    if (m_closing || !m_s.match.armed)
        return;
    if (m_clock.now() < m_s.matchDue) {
        armAlarm(m_matchAlarm, m_s.matchDue);
        return;
    }
    m_s.match.armed = false; // a match fires once
    m_s.matchPending = true;
    m_s.matchOutput = m_s.match.type == MatchType::Start;
    ++m_s.counters.matches;
    updateIrq();
}

void BoardModel::onEventAlarm() {
    if (m_closing)
        return;
    ntemu::Ticks100ns now = m_clock.now();
    auto due = std::stable_partition(m_s.scheduled.begin(), m_s.scheduled.end(),
                                     [now](const auto& e) { return e.due > now; });
    auto count = static_cast<unsigned>(m_s.scheduled.end() - due);
    m_s.scheduled.erase(due, m_s.scheduled.end());
    if (count)
        tagEvents(count);
    tagDueTrainEvents(now);
    armEventAlarm();
}

void BoardModel::fireHeart(ntemu::ClockAlarm* alarm) {
    auto* self = static_cast<BoardModel*>(alarm->context);
    Lock lock(self->m_mutex);
    self->onHeartAlarm();
}

void BoardModel::fireMatch(ntemu::ClockAlarm* alarm) {
    auto* self = static_cast<BoardModel*>(alarm->context);
    Lock lock(self->m_mutex);
    self->onMatchAlarm();
}

void BoardModel::fireEvents(ntemu::ClockAlarm* alarm) {
    auto* self = static_cast<BoardModel*>(alarm->context);
    Lock lock(self->m_mutex);
    self->onEventAlarm();
}

} // namespace vornsim
