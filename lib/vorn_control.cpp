// The library's calls for versions, heartbeat and match programmes, the three waits, the event
// FIFO, synchronization and propagation delay.
#include "conversions.h"
#include "requests.h"
#include "vorn.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <algorithm>
#include <cstring>
#include <optional>

using namespace vornlib;

namespace {

constexpr uint32_t kDriverTextLength = 7;  // the version request's input length, exactly
constexpr size_t kDriverBufferLength = 12; // the caller's buffer
constexpr size_t kVersionBytes = 4;

// The peek request carries MemObj and four unused bytes.
struct PeekRequest {
    vornpci::MemObj memory;
    uint8_t unused[4];
};

// The synchronization requests carry one byte and three unused ones.
struct ByteRequest {
    uint8_t value;
    uint8_t unused[3];
};

uint8_t waitResultOf(NTSTATUS status) {
    if (status == STATUS_SUCCESS)
        return VORN_OK;
    return status == STATUS_DEVICE_NOT_READY ? VORN_WAIT_TIMEOUT : VORN_WAIT_NOT_STARTED;
}

uint8_t waitFor(BoardHandle handle, uint32_t code, const uint32_t* timeoutMs) {
    std::shared_ptr<Board> board = findBoard(handle);
    if (!board || timeoutMs == nullptr)
        return VORN_WAIT_NOT_STARTED;
    uint32_t buffer = *timeoutMs;
    const vornhost::ChannelResult result =
        sendRequest(*board, code, &buffer, sizeof(buffer), &buffer, sizeof(buffer));
    return waitResultOf(result.status);
}

} // namespace

extern "C" {

uint8_t VORN_getFirmware(BoardHandle handle, uint8_t* buffer) {
    if (buffer == nullptr)
        return VORN_ERR_ARGUMENT;
    uint8_t version[kVersionBytes] = {};
    const uint8_t result = withBoard(handle, [&](Board& board) {
        return exchange(board, vornpci::IOCTL_VORNPCI_GET_FIRMWARE, &version, sizeof(version));
    });
    if (result != VORN_OK) {
        buffer[0] = 0;
        return result;
    }
    std::memcpy(buffer, version, kVersionBytes);
    buffer[kVersionBytes] = 0;
    return VORN_OK;
}

uint8_t VORN_getFPGA(BoardHandle handle, uint8_t* buffer) {
    if (buffer == nullptr)
        return VORN_ERR_ARGUMENT;
    PeekRequest peek{};
    peek.memory.offset = kFpgaVersionOffset;
    const uint8_t result = withBoard(handle, [&](Board& board) {
        return exchange(board, vornpci::IOCTL_VORNPCI_PEEK, &peek, sizeof(peek));
    });
    if (result != VORN_OK) {
        buffer[0] = 0;
        return result;
    }
    buffer[0] = static_cast<uint8_t>(peek.memory.value >> 8);
    buffer[1] = static_cast<uint8_t>(peek.memory.value & 0xFF);
    std::fill(buffer + 2, buffer + kVersionBytes + 1, uint8_t{0});
    return VORN_OK;
}

uint8_t VORN_getDriver(BoardHandle handle, char* buffer) {
    if (buffer == nullptr)
        return VORN_ERR_ARGUMENT;
    char text[kDriverBufferLength] = {};
    uint32_t length = 0;
    const uint8_t result = withBoard(handle, [&](Board& board) {
        const vornhost::ChannelResult reply =
            sendRequest(board, vornpci::IOCTL_VORNPCI_GET_DRIVER, text, kDriverTextLength, text,
                        kDriverTextLength);
        length = reply.information;
        return resultOf(reply.status);
    });
    // The text ends at its zero byte, or after what the driver sent if that lacks one.
    const size_t end = result == VORN_OK ? std::min<size_t>(length, kDriverTextLength) : 0;
    text[end] = '\0';
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return result;
}

uint8_t VORN_setHeartbeat(BoardHandle handle, HeartObj* heartbeat) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (heartbeat == nullptr)
            return VORN_ERR_ARGUMENT;
        std::optional<vornpci::HeartObj> driver = toDriverHeart(*heartbeat);
        if (!driver)
            return VORN_ERR_RANGE;
        return exchange(board, vornpci::IOCTL_VORNPCI_SET_HEARTBEAT, &*driver);
    });
}

uint8_t VORN_setMatchTime(BoardHandle handle, MatchObj* match) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (match == nullptr)
            return VORN_ERR_ARGUMENT;
        std::optional<vornpci::MatchObj> driver = toDriverMatch(*match);
        if (!driver)
            return VORN_ERR_RANGE;
        return exchange(board, vornpci::IOCTL_VORNPCI_SET_MATCH_TIME, &*driver);
    });
}

uint8_t VORN_waitHeartbeat(BoardHandle handle, uint32_t* timeoutMs) {
    return waitFor(handle, vornpci::IOCTL_VORNPCI_WAIT_HEART, timeoutMs);
}

uint8_t VORN_waitMatch(BoardHandle handle, uint32_t* timeoutMs) {
    return waitFor(handle, vornpci::IOCTL_VORNPCI_WAIT_MATCH, timeoutMs);
}

uint8_t VORN_waitEvent(BoardHandle handle, EventObj* event) {
    std::shared_ptr<Board> board = findBoard(handle);
    if (!board || event == nullptr)
        return VORN_WAIT_NOT_STARTED;
    vornpci::EventWaitRecord record{};
    record.timeoutMs = event->timeoutMs;
    const vornhost::ChannelResult result =
        sendRequest(*board, vornpci::IOCTL_VORNPCI_WAIT_EVENT, &record, sizeof(record), &record,
                    sizeof(record));
    if (result.status == STATUS_SUCCESS && result.information < sizeof(record))
        return VORN_WAIT_NOT_STARTED;
    if (result.status == STATUS_SUCCESS)
        fromDriverEvent(record, event);
    return waitResultOf(result.status);
}

uint8_t VORN_flushFIFO(BoardHandle handle) {
    return withBoard(
        handle, [](Board& board) { return command(board, vornpci::IOCTL_VORNPCI_FLUSH_FIFO); });
}

uint8_t VORN_simEvent(BoardHandle handle) {
    return withBoard(handle,
                     [](Board& board) { return command(board, vornpci::IOCTL_VORNPCI_SIM_EVENT); });
}

uint8_t VORN_synchControl(BoardHandle handle, uint8_t* control) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (control == nullptr)
            return VORN_ERR_ARGUMENT;
        ByteRequest request{*control, {}};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_SYNCH_CTRL, &request, sizeof(request));
        if (result == VORN_OK)
            *control = request.value;
        return result;
    });
}

uint8_t VORN_synchStatus(BoardHandle handle, uint8_t* status) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (status == nullptr)
            return VORN_ERR_ARGUMENT;
        ByteRequest request{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_SYNCH_STATUS, &request, sizeof(request));
        if (result == VORN_OK)
            *status = request.value;
        return result;
    });
}

uint8_t VORN_setPropDelayCorr(BoardHandle handle, int32_t* microseconds) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (microseconds == nullptr)
            return VORN_ERR_ARGUMENT;
        if (*microseconds < kPropDelayMin || *microseconds > kPropDelayMax)
            return VORN_ERR_RANGE;
        int32_t value = *microseconds;
        return exchange(board, vornpci::IOCTL_VORNPCI_SET_PROP_DELAY, &value);
    });
}

} // extern "C"
