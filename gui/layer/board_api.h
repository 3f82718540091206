// The board access library as the control utility calls it, behind an interface that tests
// replace. Each call has the library's arguments and result.
#pragma once

#include "vorn.h"

#include <cstdint>

namespace vorngui {

class BoardApi {
public:
    virtual ~BoardApi() = default;

    virtual uint8_t open(BoardHandle* handle, const char* deviceName) = 0;
    virtual uint8_t close(BoardHandle handle) = 0;

    virtual uint8_t getTime(BoardHandle handle, TimeObj* time) = 0;
    virtual uint8_t setTime(BoardHandle handle, TimeObj* time) = 0;
    virtual uint8_t getDate(BoardHandle handle, DateObj* date) = 0;
    virtual uint8_t setYear(BoardHandle handle, uint16_t* year) = 0;

    virtual uint8_t getAltitude(BoardHandle handle, AltObj* altitude) = 0;
    virtual uint8_t getLatitude(BoardHandle handle, LongLat* latitude) = 0;
    virtual uint8_t getLongitude(BoardHandle handle, LongLat* longitude) = 0;
    virtual uint8_t getSatInfo(BoardHandle handle, SatObj* satellites) = 0;

    virtual uint8_t getFirmware(BoardHandle handle, uint8_t* buffer) = 0;
    virtual uint8_t getFPGA(BoardHandle handle, uint8_t* buffer) = 0;
    virtual uint8_t getDriver(BoardHandle handle, char* buffer) = 0;

    virtual uint8_t setHeartbeat(BoardHandle handle, HeartObj* heartbeat) = 0;
    virtual uint8_t setMatchTime(BoardHandle handle, MatchObj* match) = 0;
    virtual uint8_t waitHeartbeat(BoardHandle handle, uint32_t* timeoutMs) = 0;
    virtual uint8_t waitMatch(BoardHandle handle, uint32_t* timeoutMs) = 0;
    virtual uint8_t waitEvent(BoardHandle handle, EventObj* event) = 0;
    virtual uint8_t flushFIFO(BoardHandle handle) = 0;
    virtual uint8_t simEvent(BoardHandle handle) = 0;

    virtual uint8_t synchControl(BoardHandle handle, uint8_t* control) = 0;
    virtual uint8_t synchStatus(BoardHandle handle, uint8_t* status) = 0;
    virtual uint8_t setPropDelayCorr(BoardHandle handle, int32_t* microseconds) = 0;
};

// The real library, linked at load time.
BoardApi& libraryBoardApi();

} // namespace vorngui
