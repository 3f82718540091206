// The library's operator controls of a simulated board: each finds the host's board behind the
// handle and sends it one simulate command.
#include "vorn_sim.h"

#include "boards.h"
#include "requests.h"
#include "sim/reference_clock.h"

#include <cmath>
#include <optional>

using namespace vornlib;

namespace {

// The host numbers boards by its machine description, which callers of the library never see,
// so the board is found by the model its open reply gave. A card without a board, or an index
// past the machine, answers STATUS_NO_SUCH_DEVICE; a machine holds at most 32 cards.
constexpr uint32_t kMaxCards = 32;

std::optional<uint32_t> simulatedBoardOf(Board& board, uint8_t* failure) {
    std::optional<uint32_t> found;
    for (uint32_t index = 0; index < kMaxCards; ++index) {
        vornhost::BoardState state;
        const NTSTATUS status = inspectOnRoute(board, index, &state);
        if (status == STATUS_DEVICE_NOT_CONNECTED || status == kBoardGone) {
            *failure = resultOf(status);
            return std::nullopt;
        }
        if (status != STATUS_SUCCESS || state.model != board.record.modelCode)
            continue;
        if (found) {
            *failure = VORN_ERR_NO_DEVICE;
            return std::nullopt;
        }
        found = index;
    }
    if (!found)
        *failure = VORN_ERR_NO_DEVICE;
    return found;
}

uint8_t simulate(BoardHandle handle, vornhost::SimCommand command) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        uint8_t failure = VORN_OK;
        std::optional<uint32_t> index = simulatedBoardOf(board, &failure);
        if (!index)
            return failure;
        command.board = *index;
        const NTSTATUS status = board.route().channel->simulate(command);
        if (status == STATUS_INVALID_PARAMETER)
            return VORN_ERR_RANGE;
        if (status == STATUS_NO_SUCH_DEVICE)
            return VORN_ERR_NO_DEVICE;
        return resultOf(status);
    });
}

} // namespace

extern "C" {

uint8_t VORN_simStrobe(BoardHandle handle, uint32_t count) {
    vornhost::SimCommand command;
    command.action =
        count == 1 ? vornhost::SimAction::StrobeEvent : vornhost::SimAction::StrobeEvents;
    command.count = count;
    return simulate(handle, command);
}

uint8_t VORN_simStrobeEvery(BoardHandle handle, uint32_t count, uint32_t intervalMicros) {
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::StrobeEventTrain;
    command.count = count;
    command.intervalMicros = intervalMicros;
    return simulate(handle, command);
}

uint8_t VORN_simReference(BoardHandle handle, uint8_t present) {
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::SetReference;
    command.referencePresent = present != 0;
    return simulate(handle, command);
}

uint8_t VORN_simGps(BoardHandle handle, const VornGpsScenario* scenario) {
    if (scenario == nullptr)
        return findBoard(handle) ? uint8_t{VORN_ERR_ARGUMENT} : uint8_t{VORN_ERR_HANDLE};
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::SetGpsScenario;
    command.altitudeDecimetres = scenario->altitudeDecimetres;
    command.latitudeDegrees = scenario->latitudeDegrees;
    command.latitudeMinutes = scenario->latitudeMinutes;
    command.longitudeDegrees = scenario->longitudeDegrees;
    command.longitudeMinutes = scenario->longitudeMinutes;
    command.satellites = scenario->satellites;
    return simulate(handle, command);
}

uint8_t VORN_simReferenceOffset(BoardHandle handle, int64_t microseconds) {
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::SetReferenceOffset;
    command.referenceOffsetMicros = microseconds;
    return simulate(handle, command);
}

uint8_t VORN_simReferenceRate(BoardHandle handle, double ppm) {
    const double ppb = std::round(ppm * 1000.0);
    if (!std::isfinite(ppb) || std::fabs(ppb) > double(vornsim::kMaxReferencePpb))
        return findBoard(handle) ? uint8_t{VORN_ERR_RANGE} : uint8_t{VORN_ERR_HANDLE};
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::SetReferenceRate;
    command.referencePpb = static_cast<int64_t>(ppb);
    return simulate(handle, command);
}

} // extern "C"
