// Register-level model of the timing board: registers, FIFO, command-byte protocol, clock,
// event time tags, heartbeat and match interrupts, synchronization and GPS position, with a
// control interface for tests and operators. What is modelled and what was chosen where the
// hardware leaves room is written down in sim/README.md.
#pragma once

#include "ntemu/bus.h"
#include "ntemu/clock.h"
#include "sim/board_time.h"
#include "sim/reference_clock.h"
#include "sim/registers.h"

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace vornsim {

// What a board is built as; it does not change while the board runs.
struct BoardConfig {
    uint16_t model = 0x9070;                                // 0x7000, 0x7100, 0x9070 or 0x9072
    std::array<uint8_t, 4> firmware = {'2', '.', '0', '3'}; // answer bytes of the firmware query
    uint16_t fpgaVersion = 0x0107;                          // FPGA version register
};

// The position a GPS board reports, in the digits its answers carry.
struct GpsScenario {
    uint32_t altitudeDecimetres = 0; // seven digits: 0 to 999,999.9 m
    uint16_t latitudeDegrees = 0;    // three digits; 180 and above mean south (value - 180)
    uint32_t latitudeMinutes = 0;    // minutes of arc x 10,000, six digits
    uint16_t longitudeDegrees = 0;   // three digits; 180 and above mean west (value - 180)
    uint32_t longitudeMinutes = 0;
    uint8_t satellites = 0; // 0 to 15

    // From signed degrees (north and east positive) and metres; out-of-range values clamp.
    static GpsScenario fromDegrees(double latitude, double longitude, double altitudeMetres,
                                   int satellites);
};

enum class SyncMode { Synchronize, Freewheel };
enum class HeartMode { Pulse, Square };
enum class HeartStart { NextCycle, Immediately };
enum class MatchType { Start, Stop };

struct HeartbeatProgramme {
    uint16_t divider = 0; // 0: stopped; else 10,000 Hz / divider
    HeartMode mode = HeartMode::Pulse;
    HeartStart start = HeartStart::NextCycle;
};

struct MatchProgramme {
    bool armed = false;
    MatchType type = MatchType::Start;
    TimeOfYear time;
};

struct CommandRecord {
    uint8_t byte = 0;
    ntemu::Ticks100ns at = 0; // arrival on the clock
};

struct BoardCounters {
    uint64_t commands = 0;
    uint64_t shortCommandGaps = 0; // commands arriving under 100 us after the one before
    uint64_t badDigits = 0;        // digits above 9 where a load needs a decimal digit
    uint64_t refusedLoads = 0;     // loads whose value is out of range (bad digits included)
    uint64_t unknownCommands = 0;
    uint64_t droppedFrames = 0;  // frames that did not fit into the FIFO
    uint64_t eventsRefused = 0;  // of those, event time tags
    uint64_t fifoUnderflows = 0; // data reads with no byte ready
    uint64_t heartbeats = 0;
    uint64_t matches = 0;
    uint64_t eventsTagged = 0;
    uint64_t queriesAnswered = 0;
    uint64_t firmwareResets = 0;
    uint64_t ignoredWrites = 0; // writes to read-only or unknown offsets, bad strobes
    uint64_t commandLogDropped = 0;
};

// Fault modes a test switches on to exercise the driver's error paths.
struct BoardFaults {
    bool noAnswer = false;      // queries get no answer frame
    bool badEcho = false;       // the second echo byte of every answer is wrong
    unsigned slowFifoReads = 0; // FifoEmpty stays set for this many status reads before each byte
};

class BoardModel {
public:
    static constexpr size_t kCommandLogLimit = 65'536;

    BoardModel(ntemu::Clock& clock, BoardConfig config);
    ~BoardModel();
    BoardModel(const BoardModel&) = delete;
    BoardModel& operator=(const BoardModel&) = delete;

    // Guest side: 16-bit register access at an offset of the window. Never fails; unknown
    // offsets read 0 and ignore writes. Any thread.
    uint16_t readRegister(uint32_t offset);
    void writeRegister(uint32_t offset, uint16_t value);

    // The interrupt line to drive; null disconnects. The current level is driven on the new
    // line at once, and a line given up is left low.
    void setIrqLine(ntemu::bus::IrqLine* line);

    // Power-on: every field to its initial value, time of day from the clock's system time.
    void reset();

    // Control interface.
    void strobeEvent();
    void strobeEvents(unsigned count); // an event storm: `count` events at the same instant
    // `count` events `interval` apart on the board's clock, the first now; trains started
    // while another runs go on side by side.
    void strobeEventTrain(uint32_t count, ntemu::Ticks100ns interval);
    // Time-tags an event when the board time next reaches `when`; false if it never will.
    bool strobeEventAt(const TimeOfYear& when);
    void setReferencePresent(bool present);
    // The reference against this machine's system clock: true − system is `micros` from now
    // on, growing at the reference's rate; and the rate, `ppb` parts per billion fast. Both
    // belong to the reference, not the board: reset() keeps them. Out-of-range values clamp to
    // kMaxReferenceOffsetMicros and kMaxReferencePpb.
    void setReferenceOffset(int64_t micros);
    void setReferenceRate(int64_t ppb);
    void setGpsScenario(const GpsScenario& scenario);
    void setFaults(const BoardFaults& faults);

    // Inspection.
    const BoardConfig& config() const { return m_config; }
    BoardTime time() const;
    SyncMode syncMode() const;
    bool referencePresent() const;
    // true − system now, in 100 ns units.
    int64_t referenceDifference() const;
    bool inSync() const;
    int32_t propagationDelay() const;
    HeartbeatProgramme heartbeat() const;
    bool heartbeatOutput() const;
    MatchProgramme match() const;
    bool matchOutput() const;
    uint16_t enables() const;
    size_t fifoLevel() const;
    bool irqLevel() const;
    GpsScenario gpsScenario() const;
    BoardFaults faults() const;
    std::vector<CommandRecord> commandLog() const;
    std::vector<uint8_t> commandBytes() const;
    void clearCommandLog();
    BoardCounters counters() const;

private:
    struct Entry {
        std::array<uint8_t, pos::Count> digits{};
        std::array<uint8_t, 6> subDigits{};
        uint16_t latched = 0; // bit n: position n written since the entry opened
        bool subBank = false; // positions 0x8 to 0xD go to the sub-second digits
    };
    struct ScheduledEvent {
        TimeOfYear when;
        ntemu::Ticks100ns due = 0;
    };
    // Paced on the clock, not on the board time: a jump of the board time leaves it alone.
    struct EventTrain {
        uint32_t remaining = 0;
        ntemu::Ticks100ns interval = 0;
        ntemu::Ticks100ns due = 0;
    };
    using Frame = std::array<uint8_t, kFrameLength>;

    // Every field of the board; reset() replaces it whole.
    struct State {
        uint16_t enables = 0;
        bool heartPending = false;
        bool matchPending = false;
        std::deque<uint8_t> fifo;
        // Per frame in the FIFO, oldest first: the count of refused event tags when it went in.
        std::deque<uint32_t> frameLostStamps;
        uint32_t lostEvents = 0;    // free-running count of refused event tags
        uint16_t lostHighLatch = 0; // high half of the last LostEventsLow reading
        unsigned headDelay = 0;     // status reads left before the head byte shows
        Entry entry;
        BoardTime freeBase; // free-running time base: board time at freeBaseAt
        ntemu::Ticks100ns freeBaseAt = 0;
        bool timeLatched = false; // set by a MicrosLow read, released by a Days read
        BoardTime latchedTime;
        SyncMode syncMode = SyncMode::Synchronize;
        bool referencePresent = false;
        int32_t propDelay = 0; // microseconds
        HeartbeatProgramme heart;
        ntemu::Ticks100ns heartOrigin = 0;
        ntemu::Ticks100ns heartNext = 0;
        MatchProgramme match;
        ntemu::Ticks100ns matchDue = 0;
        bool matchOutput = false;
        std::vector<ScheduledEvent> scheduled;
        std::vector<EventTrain> trains;
        GpsScenario gps;
        BoardFaults faults;
        std::deque<CommandRecord> log;
        bool haveLastCommand = false;
        ntemu::Ticks100ns lastCommandAt = 0;
        BoardCounters counters;
    };

    using Lock = std::lock_guard<std::mutex>;

    // Registers (board_model.cpp).
    uint16_t readStatus();
    uint16_t readData();
    uint16_t readTimeRegister(uint32_t offset);
    void writeControl(uint16_t value);
    void writeIntAck(uint16_t value);
    void writeSimEvent(uint16_t value);
    uint16_t readLostEventsLow();
    void pushFrame(const Frame& frame, bool isEvent);
    void tagEvents(unsigned count);
    void updateIrq();
    void resetLocked();

    // Command protocol (board_commands.cpp).
    void command(uint8_t byte);
    void logCommand(uint8_t byte);
    void latchDigit(uint8_t byte);
    void closeEntry();
    bool decimal(std::initializer_list<unsigned> positions, uint32_t& value);
    bool subsecondDigits(uint32_t& value);
    void onEntryBegin(uint8_t byte);
    void onSubsecondBank(uint8_t byte);
    void onEntryLoad(uint8_t byte);
    void onMatchLoad(uint8_t byte);
    void onHeartbeatLoad(uint8_t byte);
    void onYearLoad(uint8_t byte);
    void onSynchronize(uint8_t byte);
    void onFreewheel(uint8_t byte);
    void onResetFirmware(uint8_t byte);
    void onQuery(uint8_t byte);
    void loadTime();
    void loadPropagation();
    Frame answer(uint8_t query) const;

    // Time keeping and alarms (board_timing.cpp).
    bool locked() const;
    BoardTime currentTime() const;
    void setTimeBase(const BoardTime& t);
    void setSync(SyncMode mode, bool referencePresent, int32_t propDelay);
    ntemu::Ticks100ns clockTicksFor(ntemu::Ticks100ns boardTicks) const;
    void armAlarm(ntemu::ClockAlarm& alarm, ntemu::Ticks100ns due);
    void rescheduleAlarms();
    void startHeartbeat(const HeartbeatProgramme& programme);
    void armMatch(const MatchProgramme& programme);
    void armEventAlarm();
    void tagDueTrainEvents(ntemu::Ticks100ns now);
    void onHeartAlarm();
    void onMatchAlarm();
    void onEventAlarm();
    static void fireHeart(ntemu::ClockAlarm* alarm);
    static void fireMatch(ntemu::ClockAlarm* alarm);
    static void fireEvents(ntemu::ClockAlarm* alarm);

    ntemu::Clock& m_clock;
    const BoardConfig m_config;
    mutable std::mutex m_mutex;
    State m_s;
    ReferenceClock m_reference;
    ntemu::bus::IrqLine* m_line = nullptr;
    bool m_lineLevel = false;
    bool m_closing = false;
    ntemu::ClockAlarm m_heartAlarm;
    ntemu::ClockAlarm m_matchAlarm;
    ntemu::ClockAlarm m_eventAlarm;
};

} // namespace vornsim
