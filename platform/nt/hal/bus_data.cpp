// Bus configuration data: HalGetBusData and HalGetBusDataByOffset over PCI configuration space.
#include "hal_impl.h"

#include <algorithm>

namespace ntemu::hal {

namespace {
constexpr uint32_t kHeaderTypeOffset = 0x0E;
constexpr uint32_t kConfigSize = sizeof(PCI_COMMON_CONFIG);
} // namespace

uint32_t readConfig32(bus::PciFunction& function, uint32_t offset) {
    uint32_t value = 0;
    function.readConfig(offset, &value, sizeof value);
    return value;
}

uint16_t readConfig16(bus::PciFunction& function, uint32_t offset) {
    uint16_t value = 0;
    function.readConfig(offset, &value, sizeof value);
    return value;
}

uint8_t readConfig8(bus::PciFunction& function, uint32_t offset) {
    uint8_t value = 0;
    function.readConfig(offset, &value, sizeof value);
    return value;
}

void writeConfig32(bus::PciFunction& function, uint32_t offset, uint32_t value) {
    function.writeConfig(offset, &value, sizeof value);
}

void writeConfig16(bus::PciFunction& function, uint32_t offset, uint16_t value) {
    function.writeConfig(offset, &value, sizeof value);
}

bus::PciFunction* locateFunction(bus::Machine& machine, ULONG busNumber, ULONG slot) {
    PCI_SLOT_NUMBER number;
    number.u.AsULONG = slot;
    if (number.u.bits.Reserved != 0 || !machine.busExists(busNumber))
        return nullptr;
    ULONG device = number.u.bits.DeviceNumber;
    ULONG functionNumber = number.u.bits.FunctionNumber;
    if (functionNumber != 0) {
        // Some single-function devices answer on every function number; only a device that
        // says it is multi-function has functions above 0.
        bus::PciFunction* first = machine.pciFunction(busNumber, device, 0);
        if (first == nullptr || readConfig16(*first, 0) == PCI_INVALID_VENDORID ||
            (readConfig8(*first, kHeaderTypeOffset) & PCI_MULTIFUNCTION) == 0)
            return nullptr;
    }
    bus::PciFunction* function = machine.pciFunction(busNumber, device, functionNumber);
    if (function == nullptr || readConfig16(*function, 0) == PCI_INVALID_VENDORID)
        return nullptr;
    return function;
}

namespace {

ULONG getPciData(const char* routine, ULONG busNumber, ULONG slot, PVOID buffer, ULONG offset,
                 ULONG length) {
    irql::checkAtMost(routine, DISPATCH_LEVEL);
    if (buffer == nullptr && length != 0) {
        verifier::report(Check::InvalidParameter, routine, "null buffer");
        return 0;
    }
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr || !hal->impl().machine.busExists(busNumber))
        return 0;
    bus::PciFunction* function = locateFunction(hal->impl().machine, busNumber, slot);
    if (function == nullptr) {
        // An empty slot still answers the VendorID, as all ones, and nothing else.
        const uint8_t invalid[2] = {0xFF, 0xFF};
        if (offset >= sizeof invalid)
            return 0;
        ULONG count = std::min<ULONG>(length, sizeof invalid - offset);
        std::memcpy(buffer, invalid + offset, count);
        return count;
    }
    if (offset >= kConfigSize)
        return 0;
    ULONG count = std::min<ULONG>(length, kConfigSize - offset);
    if (count != 0)
        function->readConfig(offset, buffer, count);
    return count;
}

} // namespace
} // namespace ntemu::hal

using namespace ntemu;

// Reads configuration data of a slot into Buffer and returns the bytes written: 0 for another
// bus data type or a bus that does not exist, 2 (VendorID 0xFFFF) for an empty slot, else
// min(Length, 256). IRQL <= DISPATCH_LEVEL.
ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                    ULONG Length) {
    if (BusDataType != PCIConfiguration) {
        irql::checkAtMost("HalGetBusData", PASSIVE_LEVEL);
        return 0;
    }
    return hal::getPciData("HalGetBusData", BusNumber, SlotNumber, Buffer, 0, Length);
}

// As HalGetBusData, from `Offset`; the length is capped at 256 - Offset. IRQL <= DISPATCH_LEVEL.
ULONG HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                            PVOID Buffer, ULONG Offset, ULONG Length) {
    if (BusDataType != PCIConfiguration) {
        irql::checkAtMost("HalGetBusDataByOffset", PASSIVE_LEVEL);
        return 0;
    }
    return hal::getPciData("HalGetBusDataByOffset", BusNumber, SlotNumber, Buffer, Offset, Length);
}
