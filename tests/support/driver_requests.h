// Driver requests by their raw status on any device channel, as the library sends them.
#pragma once

#include "device_channel.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace vorntest {

constexpr uint16_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// "\\.\VORNpciN".
std::u16string boardName(unsigned index);

// A handle on board `index` shared every way; 0 (and a test failure) when it does not open.
uint64_t openBoard(vornhost::DeviceChannel& channel, unsigned index = 0);

// "" when `got` is one of `allowed`, else a line naming the request and its status.
std::string unless(const char* what, NTSTATUS got, std::initializer_list<NTSTATUS> allowed);

// Driver requests by their raw status, as the library sends them.
struct Driver {
    vornhost::DeviceChannel& channel;
    uint64_t handle;

    NTSTATUS getTime() const;
    NTSTATUS getDate() const;
    NTSTATUS getAltitude() const;
    NTSTATUS getSatellites() const;
    NTSTATUS getFirmware() const;
    NTSTATUS simEvent() const;
    NTSTATUS flushFifo() const;
    // The status and the byte the board answered (1 synchronized, 0 freewheeling).
    NTSTATUS synchStatus(uint8_t* status) const;
    NTSTATUS synchControl(uint8_t control) const;
    NTSTATUS waitEvent(uint32_t timeoutMs) const;
    NTSTATUS waitHeartbeat(uint32_t timeoutMs) const;
    NTSTATUS waitMatch(uint32_t timeoutMs) const;
    NTSTATUS setHeartbeat(uint16_t divider) const;
    NTSTATUS peek(uint16_t offset, uint16_t* value, uint32_t inLength = 8) const;
    NTSTATUS poke(uint16_t offset, uint16_t value, uint32_t inLength = 8) const;
};

} // namespace vorntest
