// Device-control request codes of the timing-board driver, shared by the driver and its callers.
#pragma once

#include <cstdint>

namespace vornpci {

constexpr uint32_t kDeviceType = 0x8081;
constexpr uint32_t kFirstFunction = 0x800;

// Buffered transfer, any access: the code of the k-th request is 0x80812000 + 4 * k.
constexpr uint32_t requestCode(uint32_t k) {
    constexpr uint32_t methodBuffered = 0;
    constexpr uint32_t anyAccess = 0;
    return (kDeviceType << 16) | (anyAccess << 14) | ((kFirstFunction + k) << 2) | methodBuffered;
}

constexpr uint32_t IOCTL_VORNPCI_OPEN = requestCode(0x00);
constexpr uint32_t IOCTL_VORNPCI_GET_ALTITUDE = requestCode(0x01);
constexpr uint32_t IOCTL_VORNPCI_GET_DATE = requestCode(0x02);
constexpr uint32_t IOCTL_VORNPCI_GET_DRIVER = requestCode(0x03);
constexpr uint32_t IOCTL_VORNPCI_GET_FIRMWARE = requestCode(0x04);
// requestCode(0x05) has no handler.
constexpr uint32_t IOCTL_VORNPCI_GET_LATITUDE = requestCode(0x06);
constexpr uint32_t IOCTL_VORNPCI_GET_LONGITUDE = requestCode(0x07);
constexpr uint32_t IOCTL_VORNPCI_GET_SATINFO = requestCode(0x08);
constexpr uint32_t IOCTL_VORNPCI_GET_TIME = requestCode(0x09);
constexpr uint32_t IOCTL_VORNPCI_RESET_FIRMWARE = requestCode(0x0A);
constexpr uint32_t IOCTL_VORNPCI_SET_HEARTBEAT = requestCode(0x0B);
constexpr uint32_t IOCTL_VORNPCI_SET_MATCH_TIME = requestCode(0x0C);
// requestCode(0x0D) has no handler.
constexpr uint32_t IOCTL_VORNPCI_SET_PROP_DELAY = requestCode(0x0E);
constexpr uint32_t IOCTL_VORNPCI_SET_TIME = requestCode(0x0F);
constexpr uint32_t IOCTL_VORNPCI_SET_YEAR = requestCode(0x10);
constexpr uint32_t IOCTL_VORNPCI_SIM_EVENT = requestCode(0x11);
constexpr uint32_t IOCTL_VORNPCI_SYNCH_CTRL = requestCode(0x12);
constexpr uint32_t IOCTL_VORNPCI_SYNCH_STATUS = requestCode(0x13);
constexpr uint32_t IOCTL_VORNPCI_WAIT_EVENT = requestCode(0x14);
constexpr uint32_t IOCTL_VORNPCI_WAIT_HEART = requestCode(0x15);
constexpr uint32_t IOCTL_VORNPCI_WAIT_MATCH = requestCode(0x16);
constexpr uint32_t IOCTL_VORNPCI_PEEK = requestCode(0x17);
constexpr uint32_t IOCTL_VORNPCI_POKE = requestCode(0x18);
constexpr uint32_t IOCTL_VORNPCI_FLUSH_FIFO = requestCode(0x19);
// The board's time of day and year, latched between two readings of the system time
// (StampedTimeObj, 32 bytes in and out).
constexpr uint32_t IOCTL_VORNPCI_GET_STAMPED_TIME = requestCode(0x1A);
// The next time tag after a sequence number the caller already has, without taking it from
// anyone else (SequencedEventRecord, 40 bytes in and out).
constexpr uint32_t IOCTL_VORNPCI_NEXT_EVENT = requestCode(0x1B);
// The driver's event counters (EventCountersRecord, 32 bytes out).
constexpr uint32_t IOCTL_VORNPCI_GET_EVENT_COUNTERS = requestCode(0x1C);

static_assert(IOCTL_VORNPCI_OPEN == 0x80812000u);
static_assert(IOCTL_VORNPCI_GET_FIRMWARE == 0x80812010u);
static_assert(IOCTL_VORNPCI_GET_LATITUDE == 0x80812018u);
static_assert(IOCTL_VORNPCI_GET_TIME == 0x80812024u);
static_assert(IOCTL_VORNPCI_SET_MATCH_TIME == 0x80812030u);
static_assert(IOCTL_VORNPCI_SET_PROP_DELAY == 0x80812038u);
static_assert(IOCTL_VORNPCI_WAIT_EVENT == 0x80812050u);
static_assert(IOCTL_VORNPCI_WAIT_HEART == 0x80812054u);
static_assert(IOCTL_VORNPCI_WAIT_MATCH == 0x80812058u);
static_assert(IOCTL_VORNPCI_FLUSH_FIFO == 0x80812064u);
static_assert(IOCTL_VORNPCI_GET_STAMPED_TIME == 0x80812068u);
static_assert(IOCTL_VORNPCI_NEXT_EVENT == 0x8081206Cu);
static_assert(IOCTL_VORNPCI_GET_EVENT_COUNTERS == 0x80812070u);

} // namespace vornpci
