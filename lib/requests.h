// Shared steps of the library's calls: finding the board, sending a request, and turning the
// driver's status into the library's result.
#pragma once

#include "boards.h"
#include "vorn.h"
#include "vornpci_records.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace vornlib {

// Opened with read and write sharing, so that several programs may hold a board at once.
constexpr uint16_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// What a request on a board that a restarted daemon no longer has returns.
constexpr NTSTATUS kBoardGone = STATUS_DEVICE_DOES_NOT_EXIST;

inline uint8_t resultOf(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return VORN_OK;
    case kBoardGone:
        return VORN_ERR_NO_DEVICE;
    case STATUS_DEVICE_NOT_CONNECTED:
        return VORN_ERR_HOST;
    case STATUS_CANCELLED:
        return VORN_ERR_CANCELLED;
    case STATUS_INVALID_HANDLE:
        return VORN_ERR_HANDLE;
    default:
        return VORN_ERR_DEVICE;
    }
}

// Opens `name` on `channel` and asks the driver for the card's model and slot; on any failure
// the device is closed again and the status returned.
NTSTATUS openDevice(vornhost::DeviceChannel& channel, std::u16string_view name, uint64_t* handle,
                    vornpci::OpenReply* reply);

// After a call found the daemon connection `lost` gone: connects once more to the daemon's
// socket (unless another thread has already) and opens every board on `lost` again there. False
// when the library has no daemon to go back to or the attempt failed.
bool reconnectAfterLoss(const std::shared_ptr<vornhost::DeviceChannel>& lost);

// One device control request on the board's route. When the daemon connection is found gone,
// the library reconnects; a request that never reached the daemon is then sent again.
vornhost::ChannelResult sendRequest(Board& board, uint32_t code, const void* in, uint32_t inLength,
                                    void* out, uint32_t outLength);
// The simulated board's state through the board's route, read again after a reconnect.
NTSTATUS inspectOnRoute(Board& board, uint32_t index, vornhost::BoardState* state);

// One request whose record is both input and output; a reply shorter than `replyLength`
// counts as a device failure.
template <typename Record>
uint8_t exchange(Board& board, uint32_t code, Record* record, uint32_t replyLength = 0) {
    const vornhost::ChannelResult result =
        sendRequest(board, code, record, sizeof(Record), record, sizeof(Record));
    if (result.status != STATUS_SUCCESS)
        return resultOf(result.status);
    return result.information < replyLength ? VORN_ERR_DEVICE : VORN_OK;
}

// A request that carries no record.
inline uint8_t command(Board& board, uint32_t code) {
    return resultOf(sendRequest(board, code, nullptr, 0, nullptr, 0).status);
}

// Runs `body` with the live board behind `handle`, or returns the handle failure.
template <typename Body> uint8_t withBoard(BoardHandle handle, Body body) {
    std::shared_ptr<Board> board = findBoard(handle);
    return board ? body(*board) : uint8_t{VORN_ERR_HANDLE};
}

} // namespace vornlib
