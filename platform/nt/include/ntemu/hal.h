// The HAL as the host wires it: a machine description to serve, interrupt lines for devices to
// drive, and inspection of claims and connections for tests. The driver side is the Hal*,
// Mm*, IoConnectInterrupt and port routines of ntddk.h.
#pragma once

#include "ntddk.h"
#include "ntemu/bus.h"
#include "ntemu/kernel.h"

#include <memory>

namespace ntemu {

// Vector and IRQL of a bus interrupt line, as the PIC HAL maps them.
constexpr ULONG vectorForIrq(ULONG irq) {
    return 0x30 + irq;
}
constexpr KIRQL irqlForIrq(ULONG irq) {
    return static_cast<KIRQL>(27 - irq);
}

// Pool tag of the CM_RESOURCE_LIST that HalAssignSlotResources returns ("HalR"); the list is
// paged pool owned by the caller, so it shows under this tag in the caller's leak checks.
constexpr ULONG kHalResourceListTag = 0x526C6148;

class Hal {
public:
    Hal(Kernel& kernel, bus::Machine& machine);
    ~Hal();
    Hal(const Hal&) = delete;
    Hal& operator=(const Hal&) = delete;

    static Hal& current();
    static Hal* currentOrNull();

    // The line a device asserts; IRQ numbers 1 to 15 as in configuration byte 0x3C.
    bus::IrqLine& irqLine(unsigned irq);
    // A further input to line `irq`, wired-OR with irqLine(irq) and every other input: each
    // device sharing a line drives its own input, so that one device dropping its request
    // does not hide another's. Owned by the HAL; a new input on every call.
    bus::IrqLine& irqInput(unsigned irq);

    size_t connectedInterruptCount() const;
    size_t mappingCount() const;
    size_t claimCount() const; // resource claims made through the HAL and IoAssign...
    // Lines that were asserted with nobody claiming them and are masked now.
    bool lineMasked(unsigned irq) const;

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace ntemu
