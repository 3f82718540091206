// The library's calls: each finds its board, converts its record and sends one driver request
// (two for a time entry on day 366, whose year is checked first).
#include "conversions.h"
#include "requests.h"
#include "vorn.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <cstring>
#include <optional>
#include <string>

using namespace vornlib;

namespace {

constexpr uint16_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::u16string deviceNameOf(const char* typed) {
    std::u16string name = u"\\\\.\\";
    for (const char* c = typed; *c != '\0'; ++c)
        name += static_cast<char16_t>(static_cast<unsigned char>(*c));
    return name;
}

uint8_t openResultOf(NTSTATUS status) {
    switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_NO_SUCH_DEVICE:
        return VORN_ERR_NO_DEVICE;
    case STATUS_SHARING_VIOLATION:
    case STATUS_ACCESS_DENIED:
        return VORN_ERR_BUSY;
    default:
        return resultOf(status);
    }
}

// Asks the driver for the card's model and slot; the reply becomes the board record.
uint8_t readOpenReply(Board& board) {
    vornpci::OpenReply reply{};
    const uint8_t result = exchange(board, vornpci::IOCTL_VORNPCI_OPEN, &reply, sizeof(reply));
    if (result == VORN_OK) {
        board.record.modelCode = reply.modelCode;
        board.record.slotNumber = reply.slotNumber;
    }
    return result;
}

// Day 366 exists only in a leap year, which the board would refuse without a word.
uint8_t checkLeapDay(Board& board, uint16_t dayOfYear) {
    if (dayOfYear != 366)
        return VORN_OK;
    vornpci::DateObj date{};
    const uint8_t result = exchange(board, vornpci::IOCTL_VORNPCI_GET_DATE, &date, sizeof(date));
    if (result != VORN_OK)
        return result;
    return vornlib::isLeapYear(date.year) ? VORN_OK : VORN_ERR_RANGE;
}

} // namespace

extern "C" {

uint8_t VORN_open(BoardHandle* handle, const char* deviceName) {
    if (handle == nullptr)
        return VORN_ERR_ARGUMENT;
    *handle = nullptr;
    if (deviceName == nullptr)
        return VORN_ERR_ARGUMENT;
    auto board = std::make_shared<Board>();
    board->channel = vornlib::currentChannel();
    if (!board->channel)
        return VORN_ERR_HOST;
    const NTSTATUS status =
        board->channel->open(deviceNameOf(deviceName), kShareReadWrite, &board->deviceHandle);
    if (status != STATUS_SUCCESS)
        return openResultOf(status);
    const uint8_t result = readOpenReply(*board);
    if (result != VORN_OK) {
        board->channel->close(board->deviceHandle);
        return result;
    }
    *handle = vornlib::addBoard(std::move(board));
    return VORN_OK;
}

uint8_t VORN_close(BoardHandle handle) {
    std::shared_ptr<Board> board = vornlib::removeBoard(handle);
    if (!board)
        return VORN_ERR_HANDLE;
    return resultOf(board->channel->close(board->deviceHandle));
}

uint8_t VORN_getTime(BoardHandle handle, TimeObj* time) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (time == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::TimeObj driver{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_GET_TIME, &driver, sizeof(driver));
        if (result == VORN_OK)
            vornlib::fromDriverTime(driver, time);
        return result;
    });
}

uint8_t VORN_setTime(BoardHandle handle, TimeObj* time) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (time == nullptr)
            return VORN_ERR_ARGUMENT;
        std::optional<vornpci::TimeObj> driver = vornlib::toDriverTime(*time);
        if (!driver)
            return VORN_ERR_RANGE;
        const uint8_t leap = checkLeapDay(board, driver->dayOfYear);
        if (leap != VORN_OK)
            return leap;
        return exchange(board, vornpci::IOCTL_VORNPCI_SET_TIME, &*driver);
    });
}

uint8_t VORN_getDate(BoardHandle handle, DateObj* date) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (date == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::DateObj driver{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_GET_DATE, &driver, sizeof(driver));
        if (result == VORN_OK)
            std::memcpy(date, &driver, sizeof(driver));
        return result;
    });
}

uint8_t VORN_getStampedTime(BoardHandle handle, StampedTimeObj* stamped) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (stamped == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::StampedTimeObj driver{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_GET_STAMPED_TIME, &driver, sizeof(driver));
        if (result != VORN_OK)
            return result;
        std::optional<StampedTimeObj> converted = vornlib::fromDriverStampedTime(driver);
        if (!converted)
            return VORN_ERR_DEVICE;
        *stamped = *converted;
        return VORN_OK;
    });
}

uint8_t VORN_setYear(BoardHandle handle, uint16_t* year) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (year == nullptr)
            return VORN_ERR_ARGUMENT;
        if (*year < 1 || *year > 9999)
            return VORN_ERR_RANGE;
        struct {
            uint16_t year;
            uint8_t unused[2];
        } request{*year, {}};
        return exchange(board, vornpci::IOCTL_VORNPCI_SET_YEAR, &request);
    });
}

uint8_t VORN_getAltitude(BoardHandle handle, AltObj* altitude) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (altitude == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::AltObj driver{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_GET_ALTITUDE, &driver, sizeof(driver));
        if (result == VORN_OK)
            altitude->meters = vornlib::metresFromDigits(driver.altitude);
        return result;
    });
}

} // extern "C"

namespace {

uint8_t getPosition(BoardHandle handle, uint32_t code, LongLat* position) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (position == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::LongLat driver{};
        const uint8_t result = exchange(board, code, &driver, sizeof(driver));
        if (result == VORN_OK) {
            position->degrees = driver.degrees;
            position->minutes = vornlib::arcMinutesFromDigits(driver.arcMinutes);
        }
        return result;
    });
}

} // namespace

extern "C" {

uint8_t VORN_getLatitude(BoardHandle handle, LongLat* latitude) {
    return getPosition(handle, vornpci::IOCTL_VORNPCI_GET_LATITUDE, latitude);
}

uint8_t VORN_getLongitude(BoardHandle handle, LongLat* longitude) {
    return getPosition(handle, vornpci::IOCTL_VORNPCI_GET_LONGITUDE, longitude);
}

uint8_t VORN_getSatInfo(BoardHandle handle, SatObj* satellites) {
    return withBoard(handle, [&](Board& board) -> uint8_t {
        if (satellites == nullptr)
            return VORN_ERR_ARGUMENT;
        vornpci::SatObj driver{};
        const uint8_t result =
            exchange(board, vornpci::IOCTL_VORNPCI_GET_SATINFO, &driver, sizeof(driver));
        if (result == VORN_OK)
            satellites->satellites = driver.satellites;
        return result;
    });
}

} // extern "C"
