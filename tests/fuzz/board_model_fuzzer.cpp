// Fuzzes the board model as a guest and an operator would drive it: register reads and writes
// in and beyond the window, command bytes, control-interface strobes and faults, and clock
// advances, checking after every step what the board promises of its FIFO, interrupt line and
// time registers.
#include "fuzz_check.h"
#include "sim/board_model.h"

#include "fuzz_input.h"

#include <algorithm>
#include <cstdint>

namespace {

using vornsim::BoardModel;
namespace reg = vornsim::reg;
namespace status = vornsim::status;
namespace control = vornsim::control;

constexpr int64_t kNewYearsEveNoon = 128435760000000000; // 2007-12-31 12:00 UTC
// Heartbeat periods an input may let pass: a divider of 1 fires 10,000 times a second.
constexpr int64_t kHeartbeatBudget = 2'000;
constexpr uint16_t kModels[] = {0x7000, 0x7100, 0x9070, 0x9072};

// Records what the board drives, so the level it claims is the level the line saw.
class RecordingLine final : public ntemu::bus::IrqLine {
public:
    // Attaching drives the current level; after that the board drives the line only on a change.
    void setLevel(bool asserted) override {
        FUZZ_CHECK(!m_attached || asserted != m_level);
        m_attached = true;
        m_level = asserted;
    }
    bool level() const { return m_level; }

private:
    bool m_attached = false;
    bool m_level = false;
};

bool isBcd(unsigned value, unsigned digits) {
    for (unsigned i = 0; i < digits; ++i, value >>= 4)
        if ((value & 0xF) > 9)
            return false;
    return true;
}

unsigned fromBcd(unsigned value, unsigned digits) {
    unsigned result = 0;
    for (unsigned i = 0, scale = 1; i < digits; ++i, value >>= 4, scale *= 10)
        result += (value & 0xF) * scale;
    return result;
}

class BoardRun {
public:
    explicit BoardRun(vornfuzz::InputReader& in)
        : m_in(in), m_clock(kNewYearsEveNoon),
          m_board(m_clock, vornsim::BoardConfig{kModels[in.byte() % 4]}) {
        m_board.setIrqLine(&m_line);
    }
    ~BoardRun() { m_board.setIrqLine(nullptr); }

    void run() {
        while (m_in.remaining() > 0) {
            step();
            checkAlways();
        }
        FUZZ_CHECK(m_board.commandLog().size() <= BoardModel::kCommandLogLimit);
    }

private:
    void step() {
        switch (m_in.byte() % 16) {
        case 0:
        case 1:
        case 2:
        case 3:
            m_board.writeRegister(reg::Command, m_in.byte());
            break;
        case 4:
            m_board.writeRegister(reg::Command, digit());
            break;
        case 5: {
            uint32_t at = offset();
            m_board.writeRegister(at, m_in.u16());
            break;
        }
        case 6:
            readAndCheck(offset());
            break;
        case 7:
            readStatusAndCheck();
            break;
        case 8:
            readTimeAndCheck();
            break;
        case 9:
            advance();
            break;
        case 10:
            m_board.writeRegister(reg::Control, m_in.u16());
            break;
        case 11:
            drain();
            break;
        default:
            operate();
            break;
        }
    }

    // A digit-entry byte: a position 0x0 to 0xD and a digit, mostly decimal.
    uint8_t digit() {
        unsigned position = m_in.range(0u, 0xDu);
        unsigned value = m_in.flag() ? m_in.range(0u, 9u) : m_in.range(0u, 15u);
        return uint8_t(position << 4 | value);
    }

    uint32_t offset() {
        if (m_in.chance(90))
            return m_in.range<uint32_t>(0, reg::WindowLength - 1) & ~1u;
        return m_in.u32();
    }

    void operate() {
        switch (m_in.byte() % 7) {
        case 0:
            m_board.strobeEvent();
            break;
        case 1:
            m_board.strobeEvents(m_in.range(0u, 1000u));
            break;
        case 2: {
            vornsim::TimeOfYear when;
            when.dayOfYear = m_in.range(-1, 367);
            when.hours = m_in.range(-1, 24);
            when.minutes = m_in.range(-1, 60);
            when.microsInMinute = m_in.range(0u, 60'000'000u);
            bool accepted = m_board.strobeEventAt(when);
            FUZZ_CHECK(!accepted || when.valid());
            break;
        }
        case 3:
            m_board.setReferencePresent(m_in.flag());
            break;
        case 4: {
            vornsim::BoardFaults faults;
            faults.noAnswer = m_in.flag();
            faults.badEcho = m_in.flag();
            faults.slowFifoReads = m_in.range(0u, 20u);
            m_board.setFaults(faults);
            break;
        }
        case 5: {
            double latitude = m_in.range(-100'000, 100'000) / 1000.0;
            double longitude = m_in.range(-200'000, 200'000) / 1000.0;
            double altitude = m_in.range(-10, 2'000'000);
            int satellites = m_in.range(-1, 20);
            m_board.setGpsScenario(
                vornsim::GpsScenario::fromDegrees(latitude, longitude, altitude, satellites));
            break;
        }
        default:
            m_board.reset();
            FUZZ_CHECK(m_board.fifoLevel() == 0 && !m_board.irqLevel() && m_board.enables() == 0);
            break;
        }
    }

    // Moves the clock on, by steps from microseconds to days, within the heartbeat budget.
    void advance() {
        uint16_t divider = m_board.heartbeat().divider;
        ntemu::Ticks100ns interval = m_advances.next(m_in, divider);
        uint64_t before = m_board.counters().heartbeats;
        m_clock.advance(interval);
        uint64_t fired = m_board.counters().heartbeats - before;
        // One heartbeat per whole period at most (plus the one a boundary may bring).
        FUZZ_CHECK(divider == 0 || fired <= uint64_t(interval / (divider * 1000) + 2) ||
                   m_board.heartbeat().divider != divider);
    }

    void drain() {
        size_t level = m_board.fifoLevel();
        for (size_t i = 0; i < level + 2; ++i)
            m_board.readRegister(reg::Data);
        FUZZ_CHECK(m_board.fifoLevel() == 0 || m_board.faults().slowFifoReads > 0);
    }

    void readAndCheck(uint32_t at) {
        if (at == reg::Status)
            return readStatusAndCheck();
        size_t before = m_board.fifoLevel();
        uint64_t underflows = m_board.counters().fifoUnderflows;
        uint16_t value = m_board.readRegister(at);
        if (at == reg::Data) {
            bool popped = m_board.fifoLevel() == before - 1 && before > 0;
            bool underflow = m_board.counters().fifoUnderflows == underflows + 1;
            FUZZ_CHECK(popped != underflow);
            FUZZ_CHECK(value <= 0xFF);
            FUZZ_CHECK(popped || value == 0);
        } else if (at == reg::FpgaVersion) {
            FUZZ_CHECK(value == m_board.config().fpgaVersion);
        }
    }

    // The status word against the board's state, and the line against the status word.
    void readStatusAndCheck() {
        size_t level = m_board.fifoLevel();
        uint16_t enables = m_board.enables();
        bool slow = m_board.faults().slowFifoReads > 0;
        uint16_t word = m_board.readRegister(reg::Status);
        FUZZ_CHECK((word & control::AllEnables) == enables);
        if (level == 0)
            FUZZ_CHECK(word & status::FifoEmpty);
        else if (!slow)
            FUZZ_CHECK(!(word & status::FifoEmpty));
        FUZZ_CHECK(bool(word & status::InSync) == m_board.inSync());
        bool expected = ((enables & control::ExtIntrEnable) && level > 0) ||
                        ((enables & control::MatchIntrEnable) && (word & status::MatchIntr)) ||
                        ((enables & control::HeartIntrEnable) && (word & status::HeartIntr));
        FUZZ_CHECK(m_board.irqLevel() == expected);
    }

    // The driver's order: low (latches), high, hours and minutes, days (releases).
    void readTimeAndCheck() {
        unsigned low = m_board.readRegister(reg::MicrosLow);
        unsigned high = m_board.readRegister(reg::MicrosHigh);
        unsigned hm = m_board.readRegister(reg::HoursMinutes);
        unsigned days = m_board.readRegister(reg::Days);
        FUZZ_CHECK(isBcd(low, 4) && isBcd(high, 4) && isBcd(hm, 4) && isBcd(days, 3));
        FUZZ_CHECK(days <= 0x3FF);
        FUZZ_CHECK(fromBcd(high, 4) < 6000);
        FUZZ_CHECK(fromBcd(hm >> 8, 2) < 24 && fromBcd(hm & 0xFF, 2) < 60);
        unsigned day = fromBcd(days, 3);
        FUZZ_CHECK(day >= 1 && day <= 366);
    }

    void checkAlways() {
        FUZZ_CHECK(m_board.fifoLevel() <= vornsim::kFifoCapacity);
        FUZZ_CHECK(m_line.level() == m_board.irqLevel());
        vornsim::BoardTime t = m_board.time();
        FUZZ_CHECK(t.ticksInYear >= 0 && t.ticksInYear < vornsim::yearLength(t.year));
        FUZZ_CHECK(t.year >= 1);
        FUZZ_CHECK(m_board.gpsScenario().satellites <= 15);
        int32_t delay = m_board.propagationDelay();
        FUZZ_CHECK(delay >= -5000 && delay <= 4999);
    }

    vornfuzz::InputReader& m_in;
    ntemu::VirtualClock m_clock;
    RecordingLine m_line;
    BoardModel m_board;
    vornfuzz::AdvanceReader m_advances{5, kHeartbeatBudget};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vornfuzz::InputReader in(data, size);
    BoardRun run(in);
    run.run();
    return 0;
}
