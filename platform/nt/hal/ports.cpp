// Port I/O: READ_PORT_* and WRITE_PORT_* routed to the device that decodes the port. This is
// the driver's hot path, so it takes no lock and allocates nothing.
#include "hal_impl.h"

#include <atomic>

namespace ntemu::hal {
namespace {

std::atomic<bus::Machine*> g_portMachine{nullptr};

inline bus::PortDevice* deviceAt(uint32_t port) {
    bus::Machine* machine = g_portMachine.load(std::memory_order_acquire);
    return machine == nullptr ? nullptr : machine->portDevice(port);
}

// On x86 the port number travels in the pointer argument.
template <typename T> inline uint32_t portOf(T* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

} // namespace

void publishPortMachine(bus::Machine* machine) {
    g_portMachine.store(machine, std::memory_order_release);
}

} // namespace ntemu::hal

using ntemu::hal::deviceAt;
using ntemu::hal::portOf;

// Reads and writes of a port that no device decodes float: reads return all ones, writes are
// dropped. Any IRQL.
UCHAR READ_PORT_UCHAR(PUCHAR Port) {
    auto* device = deviceAt(portOf(Port));
    return device == nullptr ? UCHAR{0xFF} : device->readPort8(portOf(Port));
}

USHORT READ_PORT_USHORT(PUSHORT Port) {
    auto* device = deviceAt(portOf(Port));
    return device == nullptr ? USHORT{0xFFFF} : device->readPort16(portOf(Port));
}

ULONG READ_PORT_ULONG(PULONG Port) {
    auto* device = deviceAt(portOf(Port));
    return device == nullptr ? ULONG{0xFFFFFFFF} : device->readPort32(portOf(Port));
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    if (auto* device = deviceAt(portOf(Port)))
        device->writePort8(portOf(Port), Value);
}

VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
    if (auto* device = deviceAt(portOf(Port)))
        device->writePort16(portOf(Port), Value);
}

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
    if (auto* device = deviceAt(portOf(Port)))
        device->writePort32(portOf(Port), Value);
}
