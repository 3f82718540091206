// The board model's registers, FIFO, interrupt line, reset and control interface.
#include "sim/board_model.h"

#include <algorithm>
#include <cmath>

namespace vornsim {

namespace {

uint16_t bcd4(unsigned value) {
    return static_cast<uint16_t>((bcd2(value / 100 % 100) << 8) | bcd2(value % 100));
}

uint32_t clampedRound(double value, double maximum) {
    if (!(value > 0))
        return 0;
    return static_cast<uint32_t>(std::lround(std::min(value, maximum)));
}

// Degrees code (180 added for the negative hemisphere) and minutes of arc x 10,000.
void splitAngle(double degrees, double limit, uint16_t& code, uint32_t& minutes) {
    double magnitude = std::min(std::fabs(degrees), limit);
    auto whole = static_cast<uint32_t>(magnitude);
    uint32_t tenThousandths = clampedRound((magnitude - whole) * 60.0 * 10'000.0, 600'000.0);
    if (tenThousandths >= 600'000) {
        ++whole;
        tenThousandths = 0;
    }
    code = static_cast<uint16_t>(whole + (degrees < 0 ? 180 : 0));
    minutes = tenThousandths;
}

} // namespace

GpsScenario GpsScenario::fromDegrees(double latitude, double longitude, double altitudeMetres,
                                     int satellites) {
    GpsScenario s;
    splitAngle(latitude, 90.0, s.latitudeDegrees, s.latitudeMinutes);
    splitAngle(longitude, 180.0, s.longitudeDegrees, s.longitudeMinutes);
    s.altitudeDecimetres = clampedRound(altitudeMetres * 10.0, 9'999'999.0);
    s.satellites = static_cast<uint8_t>(std::clamp(satellites, 0, 15));
    return s;
}

BoardModel::BoardModel(ntemu::Clock& clock, BoardConfig config) : m_clock(clock), m_config(config) {
    m_heartAlarm.fire = &BoardModel::fireHeart;
    m_matchAlarm.fire = &BoardModel::fireMatch;
    m_eventAlarm.fire = &BoardModel::fireEvents;
    m_heartAlarm.context = m_matchAlarm.context = m_eventAlarm.context = this;
    Lock lock(m_mutex);
    resetLocked();
}

BoardModel::~BoardModel() {
    {
        Lock lock(m_mutex);
        m_closing = true; // alarm handlers still under way re-arm nothing from here on
        m_line = nullptr;
    }
    // Outside the lock: disarm waits for a fire under way, which needs the lock.
    m_clock.disarm(m_heartAlarm);
    m_clock.disarm(m_matchAlarm);
    m_clock.disarm(m_eventAlarm);
}

uint16_t BoardModel::readRegister(uint32_t offset) {
    Lock lock(m_mutex);
    switch (offset) {
    case reg::Data:
        return readData();
    case reg::Status:
        return readStatus();
    case reg::FpgaVersion:
        return m_config.fpgaVersion;
    case reg::LostEventsLow:
        return readLostEventsLow();
    case reg::LostEventsHigh:
        return m_s.lostHighLatch;
    case reg::Days:
    case reg::HoursMinutes:
    case reg::MicrosHigh:
    case reg::MicrosLow:
        return readTimeRegister(offset);
    default:
        return 0;
    }
}

void BoardModel::writeRegister(uint32_t offset, uint16_t value) {
    Lock lock(m_mutex);
    switch (offset) {
    case reg::Control:
        writeControl(value);
        break;
    case reg::Command:
        command(static_cast<uint8_t>(value));
        break;
    case reg::IntAck:
        writeIntAck(value);
        break;
    case reg::SimEvent:
        writeSimEvent(value);
        break;
    default:
        ++m_s.counters.ignoredWrites;
        break;
    }
    updateIrq();
}

uint16_t BoardModel::readStatus() {
    uint16_t value = m_s.enables;
    bool byteReady = !m_s.fifo.empty() && m_s.headDelay == 0;
    if (!m_s.fifo.empty() && m_s.headDelay > 0)
        --m_s.headDelay;
    if (!byteReady)
        value |= status::FifoEmpty;
    if (locked())
        value |= status::InSync;
    if (m_s.matchPending)
        value |= status::MatchIntr;
    if (m_s.heartPending)
        value |= status::HeartIntr;
    return value;
}

uint16_t BoardModel::readData() {
    if (m_s.fifo.empty() || m_s.headDelay > 0) {
        ++m_s.counters.fifoUnderflows;
        return 0;
    }
    uint8_t byte = m_s.fifo.front();
    m_s.fifo.pop_front();
    if (m_s.fifo.size() % kFrameLength == 0)
        m_s.frameLostStamps.pop_front();
    m_s.headDelay = m_s.fifo.empty() ? 0 : m_s.faults.slowFifoReads;
    updateIrq();
    return byte;
}

// A MicrosLow read latches the whole time so that the reads of the other three registers
// that follow it give one consistent instant; a Days read releases the latch.
uint16_t BoardModel::readTimeRegister(uint32_t offset) {
    if (offset == reg::MicrosLow || !m_s.timeLatched) {
        m_s.latchedTime = currentTime();
        m_s.timeLatched = offset == reg::MicrosLow;
    }
    const BoardTime& t = m_s.latchedTime;
    switch (offset) {
    case reg::MicrosLow:
        return bcd4(t.microsInMinute() % 10'000);
    case reg::MicrosHigh:
        return bcd4(t.microsInMinute() / 10'000);
    case reg::HoursMinutes:
        return static_cast<uint16_t>((bcd2(t.hours()) << 8) | bcd2(t.minutes()));
    default:
        m_s.timeLatched = false;
        return static_cast<uint16_t>(((t.dayOfYear() / 100) << 8) | bcd2(t.dayOfYear() % 100));
    }
}

void BoardModel::writeControl(uint16_t value) {
    // Only the three enable bits exist; the rest of a written status word is dropped.
    m_s.enables = value & control::AllEnables;
}

void BoardModel::writeIntAck(uint16_t value) {
    if (!(value & (ack::Heartbeat | ack::Match)))
        ++m_s.counters.ignoredWrites;
    if (value & ack::Heartbeat)
        m_s.heartPending = false;
    if (value & ack::Match)
        m_s.matchPending = false;
}

void BoardModel::writeSimEvent(uint16_t value) {
    if ((value & 0xFF) == kSimEventStrobe)
        tagEvents(1);
    else
        ++m_s.counters.ignoredWrites;
}

uint16_t BoardModel::readLostEventsLow() {
    const uint32_t stamp =
        m_s.frameLostStamps.empty() ? m_s.lostEvents : m_s.frameLostStamps.front();
    m_s.lostHighLatch = static_cast<uint16_t>(stamp >> 16);
    return static_cast<uint16_t>(stamp & 0xFFFF);
}

// A frame goes in whole or not at all, so the FIFO never holds a partial frame.
void BoardModel::pushFrame(const Frame& frame, bool isEvent) {
    if (m_s.fifo.size() + frame.size() > kFifoCapacity) {
        ++m_s.counters.droppedFrames;
        if (isEvent) {
            ++m_s.counters.eventsRefused;
            ++m_s.lostEvents;
        }
        return;
    }
    m_s.frameLostStamps.push_back(m_s.lostEvents);
    if (m_s.fifo.empty())
        m_s.headDelay = m_s.faults.slowFifoReads;
    m_s.fifo.insert(m_s.fifo.end(), frame.begin(), frame.end());
}

void BoardModel::tagEvents(unsigned count) {
    BoardTime t = currentTime();
    uint32_t micros = t.microsInMinute();
    int day = t.dayOfYear();
    Frame frame = {0,
                   0,
                   static_cast<uint8_t>(day / 100),
                   bcd2(day % 100),
                   bcd2(t.hours()),
                   bcd2(t.minutes()),
                   bcd2(micros / 1'000'000),
                   bcd2(micros / 10'000 % 100),
                   bcd2(micros / 100 % 100),
                   bcd2(micros % 100)};
    for (unsigned i = 0; i < count; ++i) {
        pushFrame(frame, true);
        ++m_s.counters.eventsTagged;
    }
    updateIrq();
}

// The line is high while any enabled source is pending; the event source is the FIFO holding
// bytes, whatever FifoEmpty shows under the slow-FIFO fault.
void BoardModel::updateIrq() {
    bool level = ((m_s.enables & control::ExtIntrEnable) && !m_s.fifo.empty()) ||
                 ((m_s.enables & control::MatchIntrEnable) && m_s.matchPending) ||
                 ((m_s.enables & control::HeartIntrEnable) && m_s.heartPending);
    if (level == m_lineLevel)
        return;
    m_lineLevel = level;
    if (m_line)
        m_line->setLevel(level);
}

// A line given up is left low, so that a request of this board never sticks on it.
void BoardModel::setIrqLine(ntemu::bus::IrqLine* line) {
    Lock lock(m_mutex);
    if (m_line && m_line != line && m_lineLevel)
        m_line->setLevel(false);
    m_line = m_closing ? nullptr : line;
    if (m_line)
        m_line->setLevel(m_lineLevel);
}

void BoardModel::resetLocked() {
    m_s = State{};
    m_s.freeBase = boardTimeFromSystem(m_clock.systemTime());
    m_s.freeBaseAt = m_clock.now();
    updateIrq();
}

void BoardModel::reset() {
    Lock lock(m_mutex);
    resetLocked();
}

void BoardModel::strobeEvent() {
    strobeEvents(1);
}

void BoardModel::strobeEvents(unsigned count) {
    Lock lock(m_mutex);
    tagEvents(count);
}

void BoardModel::strobeEventTrain(uint32_t count, ntemu::Ticks100ns interval) {
    Lock lock(m_mutex);
    if (count == 0)
        return;
    tagEvents(1);
    if (count == 1)
        return;
    m_s.trains.push_back({count - 1, interval, m_clock.now() + interval});
    armEventAlarm();
}

bool BoardModel::strobeEventAt(const TimeOfYear& when) {
    Lock lock(m_mutex);
    ntemu::Ticks100ns delta = ticksUntil(currentTime(), when);
    if (delta < 0)
        return false;
    m_s.scheduled.push_back({when, m_clock.now() + clockTicksFor(delta)});
    armEventAlarm();
    return true;
}

void BoardModel::setReferencePresent(bool present) {
    Lock lock(m_mutex);
    setSync(m_s.syncMode, present, m_s.propDelay);
}

void BoardModel::setGpsScenario(const GpsScenario& scenario) {
    Lock lock(m_mutex);
    m_s.gps = scenario;
}

void BoardModel::setFaults(const BoardFaults& faults) {
    Lock lock(m_mutex);
    m_s.faults = faults;
    m_s.headDelay = std::min(m_s.headDelay, faults.slowFifoReads);
}

BoardTime BoardModel::time() const {
    Lock lock(m_mutex);
    return currentTime();
}

SyncMode BoardModel::syncMode() const {
    Lock lock(m_mutex);
    return m_s.syncMode;
}

bool BoardModel::referencePresent() const {
    Lock lock(m_mutex);
    return m_s.referencePresent;
}

bool BoardModel::inSync() const {
    Lock lock(m_mutex);
    return locked();
}

int32_t BoardModel::propagationDelay() const {
    Lock lock(m_mutex);
    return m_s.propDelay;
}

HeartbeatProgramme BoardModel::heartbeat() const {
    Lock lock(m_mutex);
    return m_s.heart;
}

MatchProgramme BoardModel::match() const {
    Lock lock(m_mutex);
    return m_s.match;
}

bool BoardModel::matchOutput() const {
    Lock lock(m_mutex);
    return m_s.matchOutput;
}

uint16_t BoardModel::enables() const {
    Lock lock(m_mutex);
    return m_s.enables;
}

size_t BoardModel::fifoLevel() const {
    Lock lock(m_mutex);
    return m_s.fifo.size();
}

bool BoardModel::irqLevel() const {
    Lock lock(m_mutex);
    return m_lineLevel;
}

GpsScenario BoardModel::gpsScenario() const {
    Lock lock(m_mutex);
    return m_s.gps;
}

BoardFaults BoardModel::faults() const {
    Lock lock(m_mutex);
    return m_s.faults;
}

std::vector<CommandRecord> BoardModel::commandLog() const {
    Lock lock(m_mutex);
    return {m_s.log.begin(), m_s.log.end()};
}

std::vector<uint8_t> BoardModel::commandBytes() const {
    Lock lock(m_mutex);
    std::vector<uint8_t> bytes;
    bytes.reserve(m_s.log.size());
    for (const auto& record : m_s.log)
        bytes.push_back(record.byte);
    return bytes;
}

void BoardModel::clearCommandLog() {
    Lock lock(m_mutex);
    m_s.log.clear();
}

BoardCounters BoardModel::counters() const {
    Lock lock(m_mutex);
    return m_s.counters;
}

} // namespace vornsim
