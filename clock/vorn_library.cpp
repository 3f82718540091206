// The board library vornclock uses in a real run: libvorn's calls.
#include "clock_tool.h"

namespace vornclock {

namespace {

class VornLibrary final : public BoardLibrary {
public:
    uint8_t open(BoardHandle* handle, const char* deviceName) override {
        return VORN_open(handle, deviceName);
    }
    uint8_t getDate(BoardHandle handle, DateObj* date) override {
        return VORN_getDate(handle, date);
    }
    uint8_t getTime(BoardHandle handle, TimeObj* time) override {
        return VORN_getTime(handle, time);
    }
    uint8_t close(BoardHandle handle) override { return VORN_close(handle); }
};

} // namespace

std::unique_ptr<BoardLibrary> makeVornLibrary() {
    return std::make_unique<VornLibrary>();
}

} // namespace vornclock
