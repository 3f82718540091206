// Conversions between the library's records (floating-point seconds, metres, minutes of arc,
// hertz) and the driver's (microseconds, digit counts, dividers), with the ranges the board takes.
#pragma once

#include "vorn.h"
#include "vornpci_records.h"

#include <cstdint>
#include <optional>

namespace vornlib {

// The board's heartbeat runs from 10,000 Hz divided by a whole divider of 1 to 65535.
constexpr double kHeartbeatBaseHz = 10'000.0;
// A frequency is taken when 10,000 / frequency is this close (relative) to a whole divider.
constexpr double kDividerTolerance = 1e-6;
// The board keeps its propagation delay in four digits of ten's complement.
constexpr int32_t kPropDelayMin = -5000;
constexpr int32_t kPropDelayMax = 4999;
// The FPGA version register's offset in the board's register window.
constexpr uint16_t kFpgaVersionOffset = 0x04;
// Heartbeat mode code that the callers of models 0x7000 and 0x7100 send.
constexpr uint8_t kLegacyHeartMode = 4;
constexpr uint8_t kHeartPulse = 0xE5;
constexpr uint8_t kHeartSquare = 0xE7;

// Seconds within the minute, rounded to the nearest microsecond; empty when negative, not a
// number, or rounding to 60 s or more.
std::optional<uint32_t> microsFromSeconds(double seconds);
double secondsFromMicros(uint32_t microsInMinute);

// Altitude digits count decimetres; minute digits count ten-thousandths of a minute.
float metresFromDigits(int32_t altitudeDigits);
float arcMinutesFromDigits(uint32_t minuteDigits);

// Divider for a heartbeat frequency in hertz: 0 stops the heartbeat; empty when no divider of 1
// to 65535 gives the frequency within kDividerTolerance.
std::optional<uint16_t> dividerForFrequency(double frequencyHz);

bool clockFieldsValid(unsigned dayOfYear, unsigned hours, unsigned minutes);
bool isLeapYear(unsigned year);

// Library records to driver records; empty when a field is out of the board's range.
std::optional<vornpci::TimeObj> toDriverTime(const TimeObj& time);
std::optional<vornpci::HeartObj> toDriverHeart(const HeartObj& heart);
std::optional<vornpci::MatchObj> toDriverMatch(const MatchObj& match);

// Driver records to library records: only the fields the driver writes.
void fromDriverTime(const vornpci::TimeObj& driver, TimeObj* time);
void fromDriverEvent(const vornpci::EventWaitRecord& driver, EventObj* event);
// Empty when the driver's reply is no time of day of a day of its year.
std::optional<StampedTimeObj> fromDriverStampedTime(const vornpci::StampedTimeObj& driver);
// A system time in 100 ns units since 1601-01-01 as CLOCK_REALTIME counts it.
timespec timespecFromSystemTime(int64_t systemTime);

} // namespace vornlib
