// The board in a real run: libvorn's stamped-time and synchronization calls.
#include "board_source.h"
#include "board_time.h"

#include "vorn.h"

namespace vornsync {

namespace {

constexpr int64_t kStampResolutionNanos = 100;

class VornBoard final : public BoardSource {
public:
    explicit VornBoard(BoardHandle handle) : m_handle(handle) {}
    VornBoard(const VornBoard&) = delete;
    VornBoard& operator=(const VornBoard&) = delete;
    ~VornBoard() override { VORN_close(m_handle); }

    uint8_t readStamped(StampedRead& read) override {
        StampedTimeObj stamped{};
        const uint8_t code = VORN_getStampedTime(m_handle, &stamped);
        if (code != VORN_OK)
            return code;
        read = {stamped.year, stamped.dayOfYear, stamped.microsOfDay, stamped.before,
                stamped.after};
        // The library's stamps are cut to 100 ns, so the latch may fall up to 100 ns after the
        // second one.
        read.after = fromNanos(toNanos(read.after) + kStampResolutionNanos);
        return code;
    }

    uint8_t synchronized(bool& inSync) override {
        uint8_t status = 0;
        const uint8_t code = VORN_synchStatus(m_handle, &status);
        inSync = status == 1;
        return code;
    }

    void reportSample(int64_t offsetNanos, int64_t errorBoundNanos) override {
        VORN_reportSyncSample(m_handle, offsetNanos, errorBoundNanos);
    }

private:
    BoardHandle m_handle;
};

} // namespace

std::unique_ptr<BoardSource> openVornBoard(const std::string& deviceName, std::string& error) {
    BoardHandle handle = nullptr;
    const uint8_t code = VORN_open(&handle, deviceName.c_str());
    if (code != VORN_OK) {
        error = "cannot open board " + deviceName + ": " + resultName(code);
        return nullptr;
    }
    return std::make_unique<VornBoard>(handle);
}

} // namespace vornsync
