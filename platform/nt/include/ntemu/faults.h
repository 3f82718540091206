// Fault injection: a test arranges for the Nth call of a kernel service to fail, to drive the
// failure paths of the code above it.
#pragma once

#include <cstdint>

namespace ntemu {

enum class FaultPoint {
    PoolAllocation,         // ExAllocatePoolWithTag returns NULL
    IoCreateDevice,         // STATUS_INSUFFICIENT_RESOURCES
    IoCreateSymbolicLink,   // STATUS_INSUFFICIENT_RESOURCES
    HalAssignSlotResources, // STATUS_CONFLICTING_ADDRESSES
    MmMapIoSpace,           // NULL
    IoConnectInterrupt,     // STATUS_INSUFFICIENT_RESOURCES
    Count
};

namespace faults {

// The nth call (1 = the next one) of `point` from now fails; 0 disarms the point.
void failNth(FaultPoint point, uint64_t n);
// Every call from the nth on fails until cleared.
void failFrom(FaultPoint point, uint64_t n);
// Used by the services themselves: counts a call and says whether it must fail.
bool shouldFail(FaultPoint point);
// Calls of `point` counted since the last clear, for tests that walk every step.
uint64_t calls(FaultPoint point);
void clear();

} // namespace faults
} // namespace ntemu
