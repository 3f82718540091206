// The parts of the device channel that every form of host shares: its defaults.
#include "device_channel.h"

namespace vornhost {

DeviceChannel::~DeviceChannel() = default;

NTSTATUS DeviceChannel::readHealth(uint32_t, BoardHealth*) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS DeviceChannel::reportSyncSample(uint32_t, const SyncSample&) {
    return STATUS_NOT_IMPLEMENTED;
}

const char* defaultSocketPath() {
    return "/run/vornhost/vornhost.sock";
}

vornsim::MachineDescription defaultMachine() {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    return machine;
}

} // namespace vornhost
