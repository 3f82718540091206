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

// Opens the device on the library's channel; where the daemon connection has gone, once more
// after one reconnect attempt (an open on a daemon that went left nothing behind).
NTSTATUS openOnChannel(Board& board, vornpci::OpenReply* reply) {
    std::shared_ptr<vornhost::DeviceChannel> channel = currentChannel();
    if (!channel)
        return STATUS_DEVICE_NOT_CONNECTED;
    uint64_t handle = 0;
    NTSTATUS status = openDevice(*channel, board.deviceName, &handle, reply);
    if (status == STATUS_DEVICE_NOT_CONNECTED && reconnectAfterLoss(channel)) {
        channel = currentChannel();
        status = openDevice(*channel, board.deviceName, &handle, reply);
    }
    board.setRoute({channel, handle, false});
    return status;
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
    board->deviceName = deviceNameOf(deviceName);
    vornpci::OpenReply reply{};
    const NTSTATUS status = openOnChannel(*board, &reply);
    if (status != STATUS_SUCCESS)
        return openResultOf(status);
    board->record.modelCode = reply.modelCode;
    board->record.slotNumber = reply.slotNumber;
    *handle = vornlib::addBoard(std::move(board));
    return VORN_OK;
}

// A handle that the daemon's restart left without a board, or whose connection is gone while
// the library got back to the daemon, has nothing left open there.
uint8_t VORN_close(BoardHandle handle) {
    std::shared_ptr<Board> board = vornlib::removeBoard(handle);
    if (!board)
        return VORN_ERR_HANDLE;
    const Route route = board->route();
    if (route.gone)
        return VORN_OK;
    const NTSTATUS status = route.channel->close(route.deviceHandle);
    if (status == STATUS_DEVICE_NOT_CONNECTED && reconnectAfterLoss(route.channel))
        return VORN_OK;
    return resultOf(status);
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
