// The machine's clock for the demonstration board, and the day-of-year table it needs.
#include "system_clock.h"

#include <ctime>

namespace vorngui {
namespace {

class MachineClock final : public SystemClock {
public:
    win32::SYSTEMTIME utcNow() override {
        win32::SYSTEMTIME now{};
        win32::systemApi().GetSystemTime(&now);
        return now;
    }
    uint32_t secondsNow() override { return static_cast<uint32_t>(std::time(nullptr)); }
    void sleep(uint32_t milliseconds) override { win32::systemApi().Sleep(milliseconds); }
};

constexpr int kCommonYear[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int kLeapYear[12] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};

} // namespace

SystemClock& machineClock() {
    static MachineClock clock;
    return clock;
}

int daysBeforeMonth(int year, int month) {
    if (month < 1 || month > 12) {
        return 0;
    }
    const bool leap = (year & 3) == 0;
    return (leap ? kLeapYear : kCommonYear)[month - 1];
}

int dayOfYear(const win32::SYSTEMTIME& time) {
    return daysBeforeMonth(time.wYear, time.wMonth) + time.wDay;
}

} // namespace vorngui
