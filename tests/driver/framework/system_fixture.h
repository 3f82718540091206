// Set-up for the framework tests that go through the real I/O manager: a whole emulated
// system (kernel with the special IRP pool, HAL, I/O manager) on a virtual clock, the test
// driver loaded into it, and requests sent from user threads of their own.
#pragma once

#include "drvfw_pool.h"
#include "framework_fixture.h"
#include "ntemu/bus.h"
#include "ntemu/faults.h"
#include "ntemu/io.h"
#include "ntemu/system.h"
#include "ntemu/verifier.h"
#include "test_driver.h"

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace drvfwtest {

// Bus 0 with nothing on it: enough for devices that own no hardware.
class EmptyMachine : public ntemu::bus::Machine {
public:
    bool busExists(uint32_t bus) const override { return bus == 0; }
    ntemu::bus::PciFunction* pciFunction(uint32_t, uint32_t, uint32_t) override { return nullptr; }
    ntemu::bus::PortDevice* portDevice(uint32_t) override { return nullptr; }
};

// One device-control request sent from a user thread of its own; the thread blocks in the
// I/O manager until the driver completes the request.
class Request {
public:
    Request(ntemu::Process& process, ntemu::Handle handle, ULONG id, ULONG code = kIoctlQueue)
        : m_thread(process.createThread()), m_id(id) {
        m_result = std::async(std::launch::async, [this, handle, code] {
            ULONG output = 0;
            ntemu::IoResult result =
                m_thread.deviceIoControl(handle, code, &m_id, sizeof m_id, &output, sizeof output);
            return std::make_pair(result, output);
        });
    }
    ~Request() { finish(); }

    // Waits (bounded) until the driver holds the request pending.
    bool pending() { return m_thread.waitForPending(1); }
    // Cancels the request as the end of its thread does.
    void cancel() { m_thread.exit(); }
    // The completion status; waits (bounded) for it. A request the driver never completes
    // fails the test and is cancelled so that the thread can end.
    NTSTATUS status() {
        finish();
        return m_outcome.first.status;
    }
    ULONG echoed() {
        finish();
        return m_outcome.second;
    }
    bool done() {
        return m_finished ||
               m_result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    ULONG id() const { return m_id; }

private:
    void finish() {
        if (m_finished)
            return;
        if (m_result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "request " << m_id << " was never completed";
            m_thread.exit();
        }
        m_outcome = m_result.get();
        m_finished = true;
    }

    ntemu::Thread& m_thread;
    ULONG m_id;
    std::future<std::pair<ntemu::IoResult, ULONG>> m_result;
    std::pair<ntemu::IoResult, ULONG> m_outcome{};
    bool m_finished = false;
};

class SystemFixture : public testing::Test {
protected:
    SystemFixture() { ntemu::faults::clear(); }
    ~SystemFixture() override {
        if (m_process)
            m_process->terminate();
        unload();
        m_process.reset();
        m_system.reset();
        m_machine.reset();
        ntemu::faults::clear();
    }

    // Starts a fresh system on `machine`, ending the one before.
    void boot(std::unique_ptr<ntemu::bus::Machine> machine = std::make_unique<EmptyMachine>()) {
        if (m_process)
            m_process->terminate();
        unload();
        m_process.reset();
        m_system.reset();
        m_machine = std::move(machine);
        ntemu::KernelOptions options;
        options.clock = &m_clock;
        options.specialIrpPool = true;
        m_system = std::make_unique<ntemu::System>(*m_machine, options);
    }

    // Loads the driver and declares the device lock before the cancel spin lock for each of
    // its devices.
    NTSTATUS load(PDRIVER_INITIALIZE entry) {
        ntemu::DriverLoad loaded =
            io().loadDriver(entry, u"FwTest", u"\\Registry\\Machine\\System\\Services\\FwTest");
        m_driver = loaded.driver;
        for (CDevice* device : g_devices)
            kernel().declareLockOrder(&device->DeviceLock, ntemu::Kernel::cancelSpinLock());
        return loaded.status;
    }
    bool unload() {
        if (m_driver == nullptr)
            return true;
        bool unloaded = io().unloadDriver(m_driver);
        m_driver = nullptr;
        g_devices.clear();
        return unloaded;
    }

    ntemu::Handle open(const std::u16string& name, USHORT shareAccess, NTSTATUS* status = nullptr) {
        ntemu::OpenOptions options;
        options.shareAccess = shareAccess;
        options.overlapped = true;
        ntemu::Handle handle = 0;
        NTSTATUS result = process().open(name, options, &handle);
        if (status != nullptr)
            *status = result;
        return handle;
    }

    ntemu::Process& process() {
        if (!m_process)
            m_process = io().createProcess("fwtest");
        return *m_process;
    }
    ntemu::Kernel& kernel() { return m_system->kernel(); }
    ntemu::Hal& hal() { return m_system->hal(); }
    ntemu::IoManager& io() { return m_system->io(); }
    ntemu::VirtualClock& clock() { return m_clock; }
    PDRIVER_OBJECT driver() { return m_driver; }
    size_t frameworkBlocks() { return kernel().poolBlockCount(DRVFW_POOL_TAG); }

private:
    ntemu::VirtualClock m_clock{1};
    std::unique_ptr<ntemu::bus::Machine> m_machine;
    std::unique_ptr<ntemu::System> m_system;
    std::shared_ptr<ntemu::Process> m_process;
    PDRIVER_OBJECT m_driver = nullptr;
};

} // namespace drvfwtest
