// Board queries: date, altitude, position, satellites and firmware, each one FIFO exchange.
#include "board_bcd.h"
#include "board_ops.h"
#include "board_protocol.h"

namespace {

// Frame byte positions of the answers.
constexpr ULONG kDayOfMonth = 2;
constexpr ULONG kYearUnits = 7;
constexpr ULONG kYearHundreds = 8;
constexpr ULONG kMonth = 9;
constexpr ULONG kSatellites = 7;
constexpr ULONG kDegreesHundreds = 2;
constexpr ULONG kDegrees = 3;
constexpr ULONG kFirstPayload = 2;

// The six minute digits of a latitude or longitude answer.
ULONG positionMinutes(const USHORT frame[FifoFrameBytes]) {
    return vornBcdByte(frame[4]) * 10000 + vornBcdByte(frame[5]) * 100 + vornBcdByte(frame[6]);
}

// Seven altitude digits: b3, b4, b5 whole and the high digit of b6.
LONG altitudeDigits(const USHORT frame[FifoFrameBytes]) {
    const ULONG digits = (static_cast<ULONG>(frame[3] & 0xFF) << 20) |
                         (static_cast<ULONG>(frame[4] & 0xFF) << 12) |
                         (static_cast<ULONG>(frame[5] & 0xFF) << 4) | ((frame[6] >> 4) & 0x0F);
    return static_cast<LONG>(vornBcdDigits(digits, 7));
}

UCHAR queryPosition(ULONG_PTR portBase, UCHAR query, vornpci::LongLat* position) {
    USHORT frame[FifoFrameBytes];
    const UCHAR result = vornQueryExchange(portBase, query, TRUE, frame);
    if (result != VORN_SUCCESS)
        return result;
    position->degrees =
        static_cast<USHORT>((frame[kDegreesHundreds] & 0x0F) * 100 + vornBcdByte(frame[kDegrees]));
    position->arcMinutes = positionMinutes(frame);
    return VORN_SUCCESS;
}

} // namespace

UCHAR vornGetDate(ULONG_PTR portBase, vornpci::DateObj* date) {
    USHORT frame[FifoFrameBytes];
    const UCHAR result = vornQueryExchange(portBase, CMD_GET_DATE, TRUE, frame);
    if (result != VORN_SUCCESS)
        return result;
    date->year = static_cast<USHORT>(vornBcdByte(frame[kYearHundreds]) * 100 +
                                     vornBcdByte(frame[kYearUnits]));
    date->month = static_cast<UCHAR>(vornBcdByte(frame[kMonth]));
    date->day = static_cast<UCHAR>(vornBcdByte(frame[kDayOfMonth]));
    return VORN_SUCCESS;
}

UCHAR vornGetAltitude(ULONG_PTR portBase, vornpci::AltObj* altitude) {
    USHORT frame[FifoFrameBytes];
    const UCHAR result = vornQueryExchange(portBase, CMD_GET_DATE, TRUE, frame);
    if (result != VORN_SUCCESS)
        return result;
    altitude->altitude = altitudeDigits(frame);
    return VORN_SUCCESS;
}

UCHAR vornGetLatitude(ULONG_PTR portBase, vornpci::LongLat* latitude) {
    return queryPosition(portBase, CMD_GET_LATITUDE, latitude);
}

UCHAR vornGetLongitude(ULONG_PTR portBase, vornpci::LongLat* longitude) {
    return queryPosition(portBase, CMD_GET_LONGITUDE, longitude);
}

UCHAR vornGetSatInfo(ULONG_PTR portBase, vornpci::SatObj* satellites) {
    USHORT frame[FifoFrameBytes];
    const UCHAR result = vornQueryExchange(portBase, CMD_GET_SATINFO, TRUE, frame);
    if (result != VORN_SUCCESS)
        return result;
    satellites->satellites = static_cast<UCHAR>(frame[kSatellites] & 0x0F);
    return VORN_SUCCESS;
}

// The firmware query goes straight to the command register, without the command pause.
UCHAR vornGetFirmware(ULONG_PTR portBase, PUCHAR version) {
    USHORT frame[FifoFrameBytes];
    const UCHAR result = vornQueryExchange(portBase, CMD_GET_FIRMWARE, FALSE, frame);
    if (result != VORN_SUCCESS)
        return result;
    for (ULONG i = 0; i < 4; ++i)
        version[i] = static_cast<UCHAR>(frame[kFirstPayload + i]);
    return VORN_SUCCESS;
}
