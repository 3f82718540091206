// Driver requests by their raw status, and the names and handles of boards.
#include "driver_requests.h"

#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vorntest {

using namespace vornpci;

std::u16string boardName(unsigned index) {
    std::u16string name = u"\\\\.\\VORNpci";
    for (char digit : std::to_string(index))
        name += char16_t(digit);
    return name;
}

uint64_t openBoard(vornhost::DeviceChannel& channel, unsigned index) {
    uint64_t handle = 0;
    EXPECT_EQ(channel.open(boardName(index), kShareAll, &handle), STATUS_SUCCESS);
    return handle;
}

std::string unless(const char* what, NTSTATUS got, std::initializer_list<NTSTATUS> allowed) {
    for (NTSTATUS status : allowed)
        if (got == status)
            return {};
    char line[96];
    std::snprintf(line, sizeof(line), "%s gave 0x%08X; ", what, unsigned(got));
    return line;
}

namespace {

template <typename Record>
NTSTATUS exchange(const Driver& d, uint32_t code, Record* record,
                  uint32_t inLength = sizeof(Record)) {
    return d.channel.deviceIoControl(d.handle, code, record, inLength, record, sizeof(Record))
        .status;
}

NTSTATUS bare(const Driver& d, uint32_t code) {
    return d.channel.deviceIoControl(d.handle, code, nullptr, 0, nullptr, 0).status;
}

// The peek and poke requests carry MemObj and four unused bytes.
struct RawAccess {
    MemObj memory;
    uint32_t unused;
};

} // namespace

NTSTATUS Driver::getTime() const {
    TimeObj time{};
    return exchange(*this, IOCTL_VORNPCI_GET_TIME, &time);
}
NTSTATUS Driver::getDate() const {
    DateObj date{};
    return exchange(*this, IOCTL_VORNPCI_GET_DATE, &date);
}
NTSTATUS Driver::getAltitude() const {
    AltObj altitude{};
    return exchange(*this, IOCTL_VORNPCI_GET_ALTITUDE, &altitude);
}
NTSTATUS Driver::getSatellites() const {
    SatObj satellites{};
    return exchange(*this, IOCTL_VORNPCI_GET_SATINFO, &satellites);
}
NTSTATUS Driver::getFirmware() const {
    uint8_t firmware[4] = {};
    return exchange(*this, IOCTL_VORNPCI_GET_FIRMWARE, &firmware);
}
NTSTATUS Driver::simEvent() const {
    return bare(*this, IOCTL_VORNPCI_SIM_EVENT);
}
NTSTATUS Driver::flushFifo() const {
    return bare(*this, IOCTL_VORNPCI_FLUSH_FIFO);
}

NTSTATUS Driver::synchStatus(uint8_t* status) const {
    uint32_t word = 0xFF;
    NTSTATUS result = exchange(*this, IOCTL_VORNPCI_SYNCH_STATUS, &word);
    *status = uint8_t(word);
    return result;
}
NTSTATUS Driver::synchControl(uint8_t control) const {
    uint32_t word = control;
    return exchange(*this, IOCTL_VORNPCI_SYNCH_CTRL, &word);
}
NTSTATUS Driver::waitEvent(uint32_t timeoutMs) const {
    EventWaitRecord wait{};
    wait.timeoutMs = timeoutMs;
    return exchange(*this, IOCTL_VORNPCI_WAIT_EVENT, &wait);
}
NTSTATUS Driver::waitHeartbeat(uint32_t timeoutMs) const {
    return exchange(*this, IOCTL_VORNPCI_WAIT_HEART, &timeoutMs);
}
NTSTATUS Driver::waitMatch(uint32_t timeoutMs) const {
    return exchange(*this, IOCTL_VORNPCI_WAIT_MATCH, &timeoutMs);
}
NTSTATUS Driver::setHeartbeat(uint16_t divider) const {
    HeartObj heart{};
    heart.startCode = 1;
    heart.modeCode = 0xE5;
    heart.divider = divider;
    return exchange(*this, IOCTL_VORNPCI_SET_HEARTBEAT, &heart);
}
NTSTATUS Driver::peek(uint16_t offset, uint16_t* value, uint32_t inLength) const {
    RawAccess access{{offset, 0}, 0};
    NTSTATUS status = exchange(*this, IOCTL_VORNPCI_PEEK, &access, inLength);
    *value = access.memory.value;
    return status;
}
NTSTATUS Driver::poke(uint16_t offset, uint16_t value, uint32_t inLength) const {
    RawAccess access{{offset, value}, 0};
    return exchange(*this, IOCTL_VORNPCI_POKE, &access, inLength);
}

} // namespace vorntest
