// A whole emulated machine in one object: kernel, HAL on a machine description, I/O manager,
// built in that order and torn down in reverse. Tests and the driver host start here.
#pragma once

#include "ntemu/hal.h"
#include "ntemu/io.h"
#include "ntemu/kernel.h"

namespace ntemu {

class System {
public:
    System(bus::Machine& machine, KernelOptions options = {})
        : m_kernel(options), m_hal(m_kernel, machine), m_io(m_kernel) {}

    Kernel& kernel() { return m_kernel; }
    Hal& hal() { return m_hal; }
    IoManager& io() { return m_io; }

private:
    Kernel m_kernel;
    Hal m_hal;
    IoManager m_io;
};

} // namespace ntemu
