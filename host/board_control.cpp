// Simulate commands and board inspection: argument checks in one place, then the board model.
#include "board_control.h"

namespace vornhost {
namespace {

vornsim::BoardModel* findBoard(vornsim::SimMachine& machine, uint32_t index) {
    if (index >= machine.cardCount())
        return nullptr;
    return machine.board(index);
}

bool validGps(const SimCommand& c) {
    return c.altitudeDecimetres <= 9'999'999 && c.latitudeDegrees <= 359 &&
           c.longitudeDegrees <= 359 && c.latitudeMinutes <= 599'999 &&
           c.longitudeMinutes <= 599'999 && c.satellites <= 15;
}

vornsim::TimeOfYear eventTime(const SimCommand& c) {
    vornsim::TimeOfYear at;
    at.dayOfYear = c.atDayOfYear;
    at.hours = c.atHours;
    at.minutes = c.atMinutes;
    at.microsInMinute = c.atMicrosInMinute;
    return at;
}

vornsim::GpsScenario scenario(const SimCommand& c) {
    vornsim::GpsScenario gps;
    gps.altitudeDecimetres = c.altitudeDecimetres;
    gps.latitudeDegrees = c.latitudeDegrees;
    gps.latitudeMinutes = c.latitudeMinutes;
    gps.longitudeDegrees = c.longitudeDegrees;
    gps.longitudeMinutes = c.longitudeMinutes;
    gps.satellites = c.satellites;
    return gps;
}

} // namespace

NTSTATUS applySimCommand(vornsim::SimMachine& machine, const SimCommand& c) {
    vornsim::BoardModel* board = findBoard(machine, c.board);
    if (!board)
        return STATUS_NO_SUCH_DEVICE;
    switch (c.action) {
    case SimAction::StrobeEvent:
        board->strobeEvent();
        return STATUS_SUCCESS;
    case SimAction::StrobeEvents:
        if (c.count < 1 || c.count > kMaxStrobeCount)
            return STATUS_INVALID_PARAMETER;
        board->strobeEvents(c.count);
        return STATUS_SUCCESS;
    case SimAction::StrobeEventTrain:
        if (c.count < 1 || c.count > kMaxTrainCount || c.intervalMicros < 1 ||
            c.intervalMicros > kMaxTrainIntervalMicros)
            return STATUS_INVALID_PARAMETER;
        board->strobeEventTrain(c.count, ntemu::Ticks100ns(c.intervalMicros) * 10);
        return STATUS_SUCCESS;
    case SimAction::StrobeEventAt:
        if (!eventTime(c).valid())
            return STATUS_INVALID_PARAMETER;
        return board->strobeEventAt(eventTime(c)) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case SimAction::SetReference:
        board->setReferencePresent(c.referencePresent);
        return STATUS_SUCCESS;
    case SimAction::SetGpsScenario:
        if (!validGps(c))
            return STATUS_INVALID_PARAMETER;
        board->setGpsScenario(scenario(c));
        return STATUS_SUCCESS;
    case SimAction::SetFaults:
        if (c.faultSlowFifoReads > kMaxSlowFifoReads)
            return STATUS_INVALID_PARAMETER;
        board->setFaults({c.faultNoAnswer, c.faultBadEcho, c.faultSlowFifoReads});
        return STATUS_SUCCESS;
    case SimAction::SetReferenceOffset:
        if (c.referenceOffsetMicros < -vornsim::kMaxReferenceOffsetMicros ||
            c.referenceOffsetMicros > vornsim::kMaxReferenceOffsetMicros)
            return STATUS_INVALID_PARAMETER;
        board->setReferenceOffset(c.referenceOffsetMicros);
        return STATUS_SUCCESS;
    case SimAction::SetReferenceRate:
        if (c.referencePpb < -vornsim::kMaxReferencePpb ||
            c.referencePpb > vornsim::kMaxReferencePpb)
            return STATUS_INVALID_PARAMETER;
        board->setReferenceRate(c.referencePpb);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS readBoardState(vornsim::SimMachine& machine, uint32_t index, BoardState* state) {
    vornsim::BoardModel* board = findBoard(machine, index);
    if (!board)
        return STATUS_NO_SUCH_DEVICE;
    if (!state)
        return STATUS_INVALID_PARAMETER;
    BoardState s;
    s.model = board->config().model;
    vornsim::BoardTime time = board->time();
    s.year = time.year;
    s.dayOfYear = time.dayOfYear();
    s.hours = time.hours();
    s.minutes = time.minutes();
    s.microsInMinute = time.microsInMinute();
    s.freewheel = board->syncMode() == vornsim::SyncMode::Freewheel;
    s.referencePresent = board->referencePresent();
    s.inSync = board->inSync();
    s.propagationDelayMicros = board->propagationDelay();
    vornsim::HeartbeatProgramme heart = board->heartbeat();
    s.heartbeatDivider = heart.divider;
    s.heartbeatSquare = heart.mode == vornsim::HeartMode::Square;
    s.heartbeatImmediately = heart.start == vornsim::HeartStart::Immediately;
    vornsim::MatchProgramme match = board->match();
    s.matchArmed = match.armed;
    s.matchStop = match.type == vornsim::MatchType::Stop;
    s.matchDayOfYear = uint16_t(match.time.dayOfYear);
    s.matchHours = uint8_t(match.time.hours);
    s.matchMinutes = uint8_t(match.time.minutes);
    s.matchMicrosInMinute = match.time.microsInMinute;
    s.enables = board->enables();
    s.fifoLevel = uint32_t(board->fifoLevel());
    vornsim::BoardCounters counters = board->counters();
    s.eventsTagged = counters.eventsTagged;
    s.heartbeats = counters.heartbeats;
    s.matches = counters.matches;
    *state = s;
    return STATUS_SUCCESS;
}

} // namespace vornhost
