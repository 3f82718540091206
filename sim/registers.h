// The timing board's register window, status and control bits, and command bytes, by name.
#pragma once

#include <cstdint>

namespace vornsim {

// Offsets of the 16-bit registers in the board's I/O window.
namespace reg {
constexpr uint32_t Data = 0x00;         // read: next FIFO byte
constexpr uint32_t Control = 0x00;      // write: interrupt enables
constexpr uint32_t Status = 0x02;       // read: status word
constexpr uint32_t Command = 0x02;      // write: one command byte
constexpr uint32_t FpgaVersion = 0x04;  // read: FPGA version (a register the driver leaves free)
constexpr uint32_t Days = 0x08;         // read: day of year, 3 BCD digits
constexpr uint32_t HoursMinutes = 0x0A; // read: hours (high byte), minutes (low byte), BCD
constexpr uint32_t MicrosHigh = 0x0C;   // read: upper 4 BCD digits of the time within the minute
constexpr uint32_t MicrosLow = 0x0E;    // read: lower 4 BCD digits; latches the time registers
constexpr uint32_t IntAck = 0x10;       // write: acknowledge heartbeat / match interrupt
constexpr uint32_t SimEvent = 0x12;     // write: 0xFF time-tags a simulated event
// read: the event time tags the full FIFO has refused, a free-running 32-bit count, as it stood
// when the frame of the FIFO's next byte went in (the count now when the FIFO is empty). The
// reader differences two readings: the tags refused between two frames came between them.
// Reading the low half latches the high half for the read of LostEventsHigh that follows.
constexpr uint32_t LostEventsLow = 0x14;
constexpr uint32_t LostEventsHigh = 0x16;
// The window's length: the power of two that covers every register.
constexpr uint32_t WindowLength = 0x20;
} // namespace reg

namespace status {
constexpr uint16_t FifoEmpty = 0x01;
constexpr uint16_t InSync = 0x04;
constexpr uint16_t MatchIntr = 0x08;
constexpr uint16_t HeartIntr = 0x10;
} // namespace status

namespace control {
constexpr uint16_t ExtIntrEnable = 0x80;
constexpr uint16_t MatchIntrEnable = 0x40;
constexpr uint16_t HeartIntrEnable = 0x20;
constexpr uint16_t AllEnables = ExtIntrEnable | MatchIntrEnable | HeartIntrEnable;
} // namespace control

namespace ack {
constexpr uint16_t Heartbeat = 0x10;
constexpr uint16_t Match = 0x08;
} // namespace ack

constexpr uint16_t kSimEventStrobe = 0xFF;

// Command bytes written to the command register.
namespace cmd {
constexpr uint8_t EntryBegin = 0xF0;
constexpr uint8_t EntryLoad = 0xE0;
constexpr uint8_t EntryLoadAlt = 0x4C;
constexpr uint8_t SubsecondBank = 0xE1;
constexpr uint8_t MatchStart = 0xE2;
constexpr uint8_t MatchStop = 0xE3;
constexpr uint8_t HeartPulseNextCycle = 0xE5;
constexpr uint8_t HeartPulseImmediate = 0xE6;
constexpr uint8_t HeartSquareNextCycle = 0xE7;
constexpr uint8_t HeartSquareImmediate = 0xE8;
constexpr uint8_t GetFirmware = 0xE9;
constexpr uint8_t LoadYear = 0xEA;
constexpr uint8_t Synchronize = 0x4D;
constexpr uint8_t Freewheel = 0x4E;
constexpr uint8_t ResetFirmware = 0x4F;
constexpr uint8_t GetSatInfo = 0x5C;
constexpr uint8_t GetDate = 0x5D;
constexpr uint8_t GetLongitude = 0x5E;
constexpr uint8_t GetLatitude = 0x5F;
} // namespace cmd

// Digit positions: the high nibble of a digit-entry byte.
namespace pos {
constexpr unsigned PropThousands = 0x3, PropHundreds = 0x2, PropTens = 0x1, PropUnits = 0x0;
constexpr unsigned DayHundreds = 0x5, DayTens = 0x6, DayUnits = 0x7;
constexpr unsigned HoursTens = 0x8, HoursUnits = 0x9;
constexpr unsigned MinutesTens = 0xA, MinutesUnits = 0xB;
constexpr unsigned SecondsTens = 0xC, SecondsUnits = 0xD;
constexpr unsigned YearThousands = 0x6;  // the year uses 0x6 to 0x9
constexpr unsigned HeartFirst = 0xA;     // the heartbeat divider uses 0xA to 0xD
constexpr unsigned SubsecondFirst = 0x8; // the sub-second bank uses 0x8 to 0xD
constexpr unsigned Count = 0xE;          // positions 0x0 to 0xD
} // namespace pos

constexpr uint32_t kFrameLength = 10;
constexpr uint32_t kFifoCapacity = 1024;

// Board model codes (the card's PCI subsystem id).
enum class BoardModelCode : uint16_t {
    Model7000 = 0x7000,
    Model7100 = 0x7100,
    Gps9070 = 0x9070,
    Gps9072 = 0x9072,
};

constexpr bool isKnownModel(uint16_t code) {
    return code == 0x7000 || code == 0x7100 || code == 0x9070 || code == 0x9072;
}
constexpr bool isGpsModel(uint16_t code) {
    return code == 0x9070 || code == 0x9072;
}

} // namespace vornsim
