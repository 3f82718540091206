// A small fake PCI machine for the HAL tests, and the fixture that boots a kernel and HAL on it.
#pragma once

#include "ntemu/clock.h"
#include "ntemu/faults.h"
#include "ntemu/hal.h"
#include "ntemu/kernel.h"
#include "ntemu/verifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

namespace halfake {

// One function's configuration space with PCI write rules: Command, BARs (sized by writing all
// ones) and InterruptLine are writable, everything else is read-only.
class FakeFunction : public ntemu::bus::PciFunction {
public:
    FakeFunction(uint16_t vendor, uint16_t device, uint8_t headerType = 0) {
        std::memset(m_config, 0, sizeof m_config);
        put16(0x00, vendor);
        put16(0x02, device);
        m_config[0x0E] = headerType;
    }

    void setBar(unsigned index, uint32_t value, uint32_t size) {
        put32(0x10 + 4 * index, value);
        m_barSize[index] = size;
    }
    void setInterrupt(uint8_t pin, uint8_t line) {
        m_config[0x3D] = pin;
        m_config[0x3C] = line;
    }
    void put16(uint32_t offset, uint16_t value) { std::memcpy(m_config + offset, &value, 2); }
    void put32(uint32_t offset, uint32_t value) { std::memcpy(m_config + offset, &value, 4); }
    uint16_t get16(uint32_t offset) const {
        std::lock_guard lock(m_mutex);
        uint16_t value;
        std::memcpy(&value, m_config + offset, 2);
        return value;
    }
    uint32_t get32(uint32_t offset) const {
        std::lock_guard lock(m_mutex);
        uint32_t value;
        std::memcpy(&value, m_config + offset, 4);
        return value;
    }

    void readConfig(uint32_t offset, void* buffer, uint32_t length) override {
        std::lock_guard lock(m_mutex);
        ASSERT_LE(offset + length, 256u);
        std::memcpy(buffer, m_config + offset, length);
    }

    void writeConfig(uint32_t offset, const void* buffer, uint32_t length) override {
        std::lock_guard lock(m_mutex);
        ASSERT_LE(offset + length, 256u);
        uint8_t scratch[256];
        std::memcpy(scratch, m_config, sizeof scratch);
        std::memcpy(scratch + offset, buffer, length);
        std::memcpy(m_config + 0x04, scratch + 0x04, 2);
        m_config[0x3C] = scratch[0x3C];
        for (unsigned bar = 0; bar < 6; ++bar) {
            uint32_t at = 0x10 + 4 * bar, written, old;
            std::memcpy(&written, scratch + at, 4);
            std::memcpy(&old, m_config + at, 4);
            uint32_t typeBits = old & ((old & 1) ? 0x3u : 0xFu);
            uint32_t value = m_barSize[bar] == 0 ? 0 : (written & ~(m_barSize[bar] - 1)) | typeBits;
            std::memcpy(m_config + at, &value, 4);
        }
        ++m_writes;
    }

    unsigned writes() const {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }

private:
    mutable std::mutex m_mutex;
    uint8_t m_config[256];
    uint32_t m_barSize[6] = {};
    unsigned m_writes = 0;
};

// A port range that answers reads with a programmable value and records the writes.
class FakePorts : public ntemu::bus::PortDevice {
public:
    struct Access {
        int width;
        uint32_t port;
        uint32_t value;
        bool operator==(const Access&) const = default;
    };

    uint16_t readPort16(uint32_t port) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back({16, port, 0});
        return static_cast<uint16_t>(port ^ 0x5A5A);
    }
    void writePort16(uint32_t port, uint16_t value) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back({-16, port, value});
    }
    uint8_t readPort8(uint32_t port) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back({8, port, 0});
        return static_cast<uint8_t>(port + 1);
    }
    void writePort8(uint32_t port, uint8_t value) override {
        std::lock_guard lock(m_mutex);
        m_log.push_back({-8, port, value});
    }
    std::vector<Access> log() {
        std::lock_guard lock(m_mutex);
        return m_log;
    }

private:
    std::mutex m_mutex;
    std::vector<Access> m_log;
};

class FakeMachine : public ntemu::bus::Machine {
public:
    void addBus(uint32_t bus) { m_buses.insert(bus); }
    void plug(uint32_t bus, uint32_t device, uint32_t function, FakeFunction* f) {
        m_functions[{bus, device, function}] = f;
    }
    void decode(uint32_t first, uint32_t last, ntemu::bus::PortDevice* device) {
        m_ports.push_back({first, last, device});
    }

    bool busExists(uint32_t bus) const override { return m_buses.count(bus) != 0; }
    ntemu::bus::PciFunction* pciFunction(uint32_t bus, uint32_t device,
                                         uint32_t function) override {
        auto it = m_functions.find({bus, device, function});
        return it == m_functions.end() ? nullptr : it->second;
    }
    ntemu::bus::PortDevice* portDevice(uint32_t port) override {
        for (const auto& range : m_ports)
            if (port >= range.first && port <= range.last)
                return range.device;
        return nullptr;
    }

private:
    struct PortRange {
        uint32_t first, last;
        ntemu::bus::PortDevice* device;
    };
    std::set<uint32_t> m_buses;
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, FakeFunction*> m_functions;
    std::vector<PortRange> m_ports;
};

// Slots of the standard machine: buses 0 and 1 exist, bus 2 does not.
constexpr ULONG kTimingSlot = 3; // memory BAR, two I/O BARs, interrupt on IRQ 11
constexpr ULONG kBridgeSlot = 4; // header type 1, one memory BAR, no interrupt pin
constexpr ULONG kQuirkSlot = 5;  // single-function card answering on every function
constexpr ULONG kMultiSlot = 6;  // multi-function: functions 0 and 2
constexpr ULONG kEmptySlot = 9;
constexpr uint32_t kTimingMemory = 0xFEBF0000;
constexpr uint32_t kTimingIo1 = 0xE000;
constexpr uint32_t kTimingIo2 = 0xE400;
constexpr unsigned kTimingIrq = 11;

inline ULONG slotNumber(ULONG device, ULONG function) {
    return (function << 5) | device;
}

// Kernel on a virtual clock, HAL on the standard fake machine.
class HalFixture : public testing::Test {
protected:
    HalFixture()
        : timing(0x10B5, 0x9050), bridge(0x8086, 0x2448, 0x01), quirk(0x1234, 0x0001),
          multi0(0x1234, 0x0100, PCI_MULTIFUNCTION), multi2(0x1234, 0x0102) {
        timing.setBar(0, kTimingMemory, 0x80);
        timing.setBar(1, kTimingIo1 | 1, 0x80);
        timing.setBar(2, kTimingIo2 | 1, 0x20);
        timing.put16(0x2C, 0x1347);
        timing.put16(0x2E, 0x9070);
        timing.setInterrupt(1, kTimingIrq);
        bridge.setBar(0, 0xFEA00000, 0x1000);
        quirk.setBar(0, 0xD000 | 1, 0x10);
        quirk.setInterrupt(1, 0xFF);
        machine.addBus(0);
        machine.addBus(1);
        machine.plug(0, kTimingSlot, 0, &timing);
        machine.plug(0, kBridgeSlot, 0, &bridge);
        for (uint32_t f = 0; f < 8; ++f)
            machine.plug(0, kQuirkSlot, f, &quirk);
        machine.plug(0, kMultiSlot, 0, &multi0);
        machine.plug(0, kMultiSlot, 2, &multi2);
        machine.decode(kTimingIo2, kTimingIo2 + 0x1F, &ports);
        kernel = std::make_unique<ntemu::Kernel>(options());
        hal = std::make_unique<ntemu::Hal>(*kernel, machine);
        RtlInitUnicodeString(&registryPath, u"\\Registry\\Machine\\System\\Svc\\Dev0\\Parameters");
        std::memset(&driver, 0, sizeof driver);
        std::memset(&otherDriver, 0, sizeof otherDriver);
        std::memset(&device, 0, sizeof device);
        std::memset(&otherDevice, 0, sizeof otherDevice);
    }

    ~HalFixture() override {
        hal.reset();
        kernel.reset();
        ntemu::faults::clear();
    }

    ntemu::KernelOptions options() {
        ntemu::KernelOptions o;
        o.clock = &clock;
        return o;
    }

    // Claims the timing card for (registryPath, drv, dev); the list is the caller's.
    NTSTATUS assignTiming(PDRIVER_OBJECT drv, PDEVICE_OBJECT dev, PCM_RESOURCE_LIST* list) {
        return HalAssignSlotResources(&registryPath, nullptr, drv, dev, PCIBus, 0,
                                      slotNumber(kTimingSlot, 0), list);
    }

    ntemu::VirtualClock clock;
    FakeFunction timing, bridge, quirk, multi0, multi2;
    FakePorts ports;
    FakeMachine machine;
    std::unique_ptr<ntemu::Kernel> kernel;
    std::unique_ptr<ntemu::Hal> hal;
    UNICODE_STRING registryPath;
    DRIVER_OBJECT driver, otherDriver;
    DEVICE_OBJECT device, otherDevice;
};

// Runs `body` at `irql` on the calling thread and comes back to PASSIVE_LEVEL.
template <typename Body> void atIrql(KIRQL irql, Body body) {
    KIRQL old = KfRaiseIrql(irql);
    body();
    KfLowerIrql(old);
}

} // namespace halfake
