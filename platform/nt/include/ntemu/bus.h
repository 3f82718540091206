// The bus side of the emulated machine: what a simulated device plugs into. The kernel layer's
// HAL reads configuration space and routes port I/O through these interfaces; devices raise
// their interrupt through an IrqLine that the kernel layer owns. The kernel layer never sees
// a concrete device, and devices never see the kernel layer beyond this header and the clock.
#pragma once

#include <cstdint>

namespace ntemu::bus {

// One PCI function's 256-byte configuration space. Writes follow PCI rules (BAR sizing by
// writing all ones and reading back, read-only fields ignored).
class PciFunction {
public:
    virtual ~PciFunction() = default;
    virtual void readConfig(uint32_t offset, void* buffer, uint32_t length) = 0;
    virtual void writeConfig(uint32_t offset, const void* buffer, uint32_t length) = 0;
};

// A device that decodes a range of I/O ports. Narrow and wide accesses default to the 16-bit
// ones, which are what the board registers use.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint16_t readPort16(uint32_t port) = 0;
    virtual void writePort16(uint32_t port, uint16_t value) = 0;
    virtual uint8_t readPort8(uint32_t port) { return static_cast<uint8_t>(readPort16(port)); }
    virtual void writePort8(uint32_t port, uint8_t value) { writePort16(port, value); }
    virtual uint32_t readPort32(uint32_t port) {
        return readPort16(port) | (static_cast<uint32_t>(readPort16(port + 2)) << 16);
    }
    virtual void writePort32(uint32_t port, uint32_t value) {
        writePort16(port, static_cast<uint16_t>(value));
        writePort16(port + 2, static_cast<uint16_t>(value >> 16));
    }
};

// An interrupt request line as a device drives it. Level-sensitive devices hold it asserted
// while a source is pending; setLevel may be called from any thread, with device locks held,
// and never calls back into the device.
class IrqLine {
public:
    virtual ~IrqLine() = default;
    virtual void setLevel(bool asserted) = 0;
};

// The machine the HAL serves: PCI buses 0 to 15, slots 0 to 31, functions 0 to 7.
class Machine {
public:
    virtual ~Machine() = default;
    virtual bool busExists(uint32_t bus) const = 0;
    // Null when no function answers there (an empty slot reads VendorID 0xFFFF).
    virtual PciFunction* pciFunction(uint32_t bus, uint32_t device, uint32_t function) = 0;
    // The device that decodes `port` with its current BARs, or null (reads float to all ones).
    virtual PortDevice* portDevice(uint32_t port) = 0;
};

} // namespace ntemu::bus
