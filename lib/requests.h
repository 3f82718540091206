// Shared steps of the library's calls: finding the board, sending a request, and turning the
// driver's status into the library's result.
#pragma once

#include "boards.h"
#include "vorn.h"

#include <cstdint>
#include <memory>

namespace vornlib {

inline uint8_t resultOf(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return VORN_OK;
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

// One request whose record is both input and output; a reply shorter than `replyLength`
// counts as a device failure.
template <typename Record>
uint8_t exchange(Board& board, uint32_t code, Record* record, uint32_t replyLength = 0) {
    const vornhost::ChannelResult result = board.channel->deviceIoControl(
        board.deviceHandle, code, record, sizeof(Record), record, sizeof(Record));
    if (result.status != STATUS_SUCCESS)
        return resultOf(result.status);
    return result.information < replyLength ? VORN_ERR_DEVICE : VORN_OK;
}

// A request that carries no record.
inline uint8_t command(Board& board, uint32_t code) {
    return resultOf(
        board.channel->deviceIoControl(board.deviceHandle, code, nullptr, 0, nullptr, 0).status);
}

// Runs `body` with the live board behind `handle`, or returns the handle failure.
template <typename Body> uint8_t withBoard(BoardHandle handle, Body body) {
    std::shared_ptr<Board> board = findBoard(handle);
    return board ? body(*board) : uint8_t{VORN_ERR_HANDLE};
}

} // namespace vornlib
