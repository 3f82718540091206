// The board model's command-byte protocol: digit entries, loads, function commands and the
// answer frames of the queries.
#include "sim/board_model.h"

namespace vornsim {

namespace {
constexpr uint16_t kPropPositions = 0x000F; // positions 0x0 to 0x3
constexpr uint16_t kTimePositions = 0x3FE0; // positions 0x5 to 0xD
constexpr ntemu::Ticks100ns kShortGap = 100 * kTicksPerMicro;
constexpr unsigned kLastDigitPosition = 0xD;
} // namespace

void BoardModel::command(uint8_t byte) {
    struct Handler {
        uint8_t byte;
        void (BoardModel::*run)(uint8_t);
    };
    static constexpr Handler kFunctions[] = {
        {cmd::EntryBegin, &BoardModel::onEntryBegin},
        {cmd::EntryLoad, &BoardModel::onEntryLoad},
        {cmd::EntryLoadAlt, &BoardModel::onEntryLoad},
        {cmd::SubsecondBank, &BoardModel::onSubsecondBank},
        {cmd::MatchStart, &BoardModel::onMatchLoad},
        {cmd::MatchStop, &BoardModel::onMatchLoad},
        {cmd::HeartPulseNextCycle, &BoardModel::onHeartbeatLoad},
        {cmd::HeartPulseImmediate, &BoardModel::onHeartbeatLoad},
        {cmd::HeartSquareNextCycle, &BoardModel::onHeartbeatLoad},
        {cmd::HeartSquareImmediate, &BoardModel::onHeartbeatLoad},
        {cmd::LoadYear, &BoardModel::onYearLoad},
        {cmd::Synchronize, &BoardModel::onSynchronize},
        {cmd::Freewheel, &BoardModel::onFreewheel},
        {cmd::ResetFirmware, &BoardModel::onResetFirmware},
        {cmd::GetFirmware, &BoardModel::onQuery},
        {cmd::GetSatInfo, &BoardModel::onQuery},
        {cmd::GetDate, &BoardModel::onQuery},
        {cmd::GetLongitude, &BoardModel::onQuery},
        {cmd::GetLatitude, &BoardModel::onQuery},
    };
    logCommand(byte);
    for (const auto& handler : kFunctions) {
        if (handler.byte == byte) {
            (this->*handler.run)(byte);
            return;
        }
    }
    if ((byte >> 4) <= kLastDigitPosition)
        latchDigit(byte);
    else
        ++m_s.counters.unknownCommands;
}

void BoardModel::logCommand(uint8_t byte) {
    ntemu::Ticks100ns now = m_clock.now();
    auto& c = m_s.counters;
    ++c.commands;
    if (m_s.haveLastCommand && now - m_s.lastCommandAt < kShortGap)
        ++c.shortCommandGaps;
    m_s.haveLastCommand = true;
    m_s.lastCommandAt = now;
    if (m_s.log.size() == kCommandLogLimit) {
        m_s.log.pop_front();
        ++c.commandLogDropped;
    }
    m_s.log.push_back({byte, now});
}

// Digits are latched raw: only the load that uses them knows whether they must be decimal.
void BoardModel::latchDigit(uint8_t byte) {
    unsigned position = byte >> 4;
    uint8_t digit = byte & 0x0F;
    Entry& e = m_s.entry;
    if (e.subBank && position >= pos::SubsecondFirst)
        e.subDigits[position - pos::SubsecondFirst] = digit;
    else
        e.digits[position] = digit;
    e.latched |= static_cast<uint16_t>(1u << position);
}

void BoardModel::closeEntry() {
    m_s.entry.latched = 0;
    m_s.entry.subBank = false;
}

// Reads latched digits, most significant first, as one decimal number; digits above 9 are
// counted and make the result unusable.
bool BoardModel::decimal(std::initializer_list<unsigned> positions, uint32_t& value) {
    bool ok = true;
    value = 0;
    for (unsigned position : positions) {
        uint8_t digit = m_s.entry.digits[position];
        if (digit > 9) {
            ++m_s.counters.badDigits;
            ok = false;
        }
        value = value * 10 + digit;
    }
    return ok;
}

bool BoardModel::subsecondDigits(uint32_t& value) {
    bool ok = true;
    value = 0;
    for (uint8_t digit : m_s.entry.subDigits) {
        if (digit > 9) {
            ++m_s.counters.badDigits;
            ok = false;
        }
        value = value * 10 + digit;
    }
    return ok;
}

void BoardModel::onEntryBegin(uint8_t) {
    m_s.entry = Entry{};
}

void BoardModel::onSubsecondBank(uint8_t) {
    m_s.entry.subBank = true;
}

void BoardModel::onEntryLoad(uint8_t byte) {
    if (byte == cmd::EntryLoad && (m_s.entry.latched & kPropPositions))
        loadPropagation();
    if (m_s.entry.latched & kTimePositions)
        loadTime();
    closeEntry();
}

void BoardModel::loadTime() {
    uint32_t day, hours, minutes, seconds;
    bool ok = decimal({pos::DayHundreds, pos::DayTens, pos::DayUnits}, day);
    ok = decimal({pos::HoursTens, pos::HoursUnits}, hours) && ok;
    ok = decimal({pos::MinutesTens, pos::MinutesUnits}, minutes) && ok;
    ok = decimal({pos::SecondsTens, pos::SecondsUnits}, seconds) && ok;
    BoardTime now = currentTime();
    if (!ok || day < 1 || day > static_cast<uint32_t>(daysInYear(now.year)) || hours > 23 ||
        minutes > 59 || seconds > 59) {
        ++m_s.counters.refusedLoads;
        return;
    }
    // The sub-second part starts at zero when the entry loads.
    setTimeBase({now.year, (day - 1) * kTicksPerDay + hours * kTicksPerHour +
                               minutes * kTicksPerMinute + seconds * kTicksPerSecond});
    rescheduleAlarms();
}

// Four digits in ten's complement: 5000 to 9999 stand for -5000 to -1 microseconds.
void BoardModel::loadPropagation() {
    uint32_t value;
    if (!decimal({pos::PropThousands, pos::PropHundreds, pos::PropTens, pos::PropUnits}, value)) {
        ++m_s.counters.refusedLoads;
        return;
    }
    int32_t delay =
        value >= 5000 ? static_cast<int32_t>(value) - 10'000 : static_cast<int32_t>(value);
    setSync(m_s.syncMode, m_s.referencePresent, delay);
}

void BoardModel::onMatchLoad(uint8_t byte) {
    uint32_t day, hours, minutes, seconds, fraction;
    bool ok = decimal({pos::DayHundreds, pos::DayTens, pos::DayUnits}, day);
    ok = decimal({pos::HoursTens, pos::HoursUnits}, hours) && ok;
    ok = decimal({pos::MinutesTens, pos::MinutesUnits}, minutes) && ok;
    ok = decimal({pos::SecondsTens, pos::SecondsUnits}, seconds) && ok;
    ok = subsecondDigits(fraction) && ok;
    closeEntry();
    TimeOfYear when{static_cast<int>(day), static_cast<int>(hours), static_cast<int>(minutes),
                    seconds * 1'000'000 + fraction};
    if (!ok || !when.valid()) {
        ++m_s.counters.refusedLoads;
        return;
    }
    armMatch({true, byte == cmd::MatchStart ? MatchType::Start : MatchType::Stop, when});
}

void BoardModel::onHeartbeatLoad(uint8_t byte) {
    const auto& d = m_s.entry.digits;
    HeartbeatProgramme programme;
    programme.divider =
        static_cast<uint16_t>((d[pos::HeartFirst] << 12) | (d[pos::HeartFirst + 1] << 8) |
                              (d[pos::HeartFirst + 2] << 4) | d[pos::HeartFirst + 3]);
    bool pulse = byte == cmd::HeartPulseNextCycle || byte == cmd::HeartPulseImmediate;
    bool immediate = byte == cmd::HeartPulseImmediate || byte == cmd::HeartSquareImmediate;
    programme.mode = pulse ? HeartMode::Pulse : HeartMode::Square;
    programme.start = immediate ? HeartStart::Immediately : HeartStart::NextCycle;
    closeEntry();
    startHeartbeat(programme);
}

void BoardModel::onYearLoad(uint8_t) {
    uint32_t year;
    bool ok = decimal({pos::YearThousands, pos::YearThousands + 1, pos::YearThousands + 2,
                       pos::YearThousands + 3},
                      year);
    closeEntry();
    if (!ok || year == 0) {
        ++m_s.counters.refusedLoads;
        return;
    }
    BoardTime t = currentTime();
    t.year = static_cast<int>(year);
    t.normalize(); // day 366 given a common year rolls on to 1 January of the next
    setTimeBase(t);
    rescheduleAlarms();
}

void BoardModel::onSynchronize(uint8_t) {
    setSync(SyncMode::Synchronize, m_s.referencePresent, m_s.propDelay);
}

void BoardModel::onFreewheel(uint8_t) {
    setSync(SyncMode::Freewheel, m_s.referencePresent, m_s.propDelay);
}

// The firmware restarts: its command state, programmes and FIFO go; the time of day, the
// year, the interrupt enables and the surroundings (reference, position) stay.
void BoardModel::onResetFirmware(uint8_t) {
    ++m_s.counters.firmwareResets;
    m_s.fifo.clear();
    m_s.frameLostStamps.clear();
    m_s.headDelay = 0;
    m_s.entry = Entry{};
    m_s.timeLatched = false;
    m_s.heart = HeartbeatProgramme{};
    m_s.heartPending = false;
    m_s.match = MatchProgramme{};
    m_s.matchPending = false;
    m_s.matchOutput = false;
    setSync(SyncMode::Synchronize, m_s.referencePresent, 0);
}

void BoardModel::onQuery(uint8_t byte) {
    if (m_s.faults.noAnswer)
        return;
    Frame frame = answer(byte);
    if (m_s.faults.badEcho)
        frame[1] = static_cast<uint8_t>(~byte);
    pushFrame(frame, false);
    ++m_s.counters.queriesAnswered;
}

// Answer frames: b0 and b1 echo the query. A board without GPS gives a zero payload for
// position and satellites, and zero altitude digits in the date answer.
BoardModel::Frame BoardModel::answer(uint8_t query) const {
    Frame f{};
    f[0] = f[1] = query;
    const bool gps = isGpsModel(m_config.model);
    const GpsScenario& g = m_s.gps;
    if (query == cmd::GetFirmware) {
        for (size_t i = 0; i < m_config.firmware.size(); ++i)
            f[2 + i] = m_config.firmware[i];
    } else if (query == cmd::GetDate) {
        BoardTime t = currentTime();
        uint32_t alt = gps ? g.altitudeDecimetres % 10'000'000 : 0;
        f[2] = bcd2(static_cast<unsigned>(t.dayOfMonth()));
        f[3] = bcd2(alt / 100'000);
        f[4] = bcd2(alt / 1'000 % 100);
        f[5] = bcd2(alt / 10 % 100);
        f[6] = static_cast<uint8_t>((alt % 10) << 4);
        f[7] = bcd2(static_cast<unsigned>(t.year % 100));
        f[8] = bcd2(static_cast<unsigned>(t.year / 100 % 100));
        f[9] = bcd2(static_cast<unsigned>(t.month()));
    } else if (gps && (query == cmd::GetLatitude || query == cmd::GetLongitude)) {
        bool lat = query == cmd::GetLatitude;
        unsigned degrees = (lat ? g.latitudeDegrees : g.longitudeDegrees) % 1000;
        uint32_t minutes = (lat ? g.latitudeMinutes : g.longitudeMinutes) % 1'000'000;
        f[2] = static_cast<uint8_t>(degrees / 100);
        f[3] = bcd2(degrees % 100);
        f[4] = bcd2(minutes / 10'000);
        f[5] = bcd2(minutes / 100 % 100);
        f[6] = bcd2(minutes % 100);
    } else if (gps && query == cmd::GetSatInfo) {
        f[7] = g.satellites & 0x0F;
    }
    return f;
}

} // namespace vornsim
