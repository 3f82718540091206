// The control utility's board interface served by the board access library itself.
#include "board_api.h"

namespace vorngui {
namespace {

class LibraryBoardApi final : public BoardApi {
public:
    uint8_t open(BoardHandle* h, const char* name) override { return VORN_open(h, name); }
    uint8_t close(BoardHandle h) override { return VORN_close(h); }

    uint8_t getTime(BoardHandle h, TimeObj* t) override { return VORN_getTime(h, t); }
    uint8_t setTime(BoardHandle h, TimeObj* t) override { return VORN_setTime(h, t); }
    uint8_t getDate(BoardHandle h, DateObj* d) override { return VORN_getDate(h, d); }
    uint8_t setYear(BoardHandle h, uint16_t* y) override { return VORN_setYear(h, y); }

    uint8_t getAltitude(BoardHandle h, AltObj* a) override { return VORN_getAltitude(h, a); }
    uint8_t getLatitude(BoardHandle h, LongLat* l) override { return VORN_getLatitude(h, l); }
    uint8_t getLongitude(BoardHandle h, LongLat* l) override { return VORN_getLongitude(h, l); }
    uint8_t getSatInfo(BoardHandle h, SatObj* s) override { return VORN_getSatInfo(h, s); }

    uint8_t getFirmware(BoardHandle h, uint8_t* b) override { return VORN_getFirmware(h, b); }
    uint8_t getFPGA(BoardHandle h, uint8_t* b) override { return VORN_getFPGA(h, b); }
    uint8_t getDriver(BoardHandle h, char* b) override { return VORN_getDriver(h, b); }

    uint8_t setHeartbeat(BoardHandle h, HeartObj* o) override { return VORN_setHeartbeat(h, o); }
    uint8_t setMatchTime(BoardHandle h, MatchObj* m) override { return VORN_setMatchTime(h, m); }
    uint8_t waitHeartbeat(BoardHandle h, uint32_t* ms) override {
        return VORN_waitHeartbeat(h, ms);
    }
    uint8_t waitMatch(BoardHandle h, uint32_t* ms) override { return VORN_waitMatch(h, ms); }
    uint8_t waitEvent(BoardHandle h, EventObj* e) override { return VORN_waitEvent(h, e); }
    uint8_t flushFIFO(BoardHandle h) override { return VORN_flushFIFO(h); }
    uint8_t simEvent(BoardHandle h) override { return VORN_simEvent(h); }

    uint8_t synchControl(BoardHandle h, uint8_t* c) override { return VORN_synchControl(h, c); }
    uint8_t synchStatus(BoardHandle h, uint8_t* s) override { return VORN_synchStatus(h, s); }
    uint8_t setPropDelayCorr(BoardHandle h, int32_t* us) override {
        return VORN_setPropDelayCorr(h, us);
    }
};

} // namespace

BoardApi& libraryBoardApi() {
    static LibraryBoardApi api;
    return api;
}

} // namespace vorngui
