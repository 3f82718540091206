// Test fixture for the I/O manager: a kernel on a virtual clock, an I/O manager, the test
// driver loaded, and a process with one thread.
#pragma once

#include "test_driver.h"

#include "ntemu/faults.h"
#include "ntemu/io.h"
#include "ntemu/kernel.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

namespace iotest {

class IoFixture : public testing::Test {
protected:
    void SetUp() override {
        reset();
        start(false);
    }

    void TearDown() override {
        process.reset();
        if (driver) {
            EXPECT_TRUE(io->unloadDriver(driver));
        }
        io.reset();
        kernel.reset();
        ntemu::faults::clear();
    }

    void start(bool specialIrpPool, bool loadTestDriver = true) {
        ntemu::faults::clear();
        ntemu::KernelOptions options;
        options.clock = &clock;
        options.specialIrpPool = specialIrpPool;
        kernel = std::make_unique<ntemu::Kernel>(options);
        io = std::make_unique<ntemu::IoManager>(*kernel);
        if (loadTestDriver) {
            ntemu::DriverLoad load = io->loadDriver(DriverEntry, u"IoTest", u"\\Registry\\IoTest");
            ASSERT_EQ(load.status, STATUS_SUCCESS);
            driver = load.driver;
        }
        process = io->createProcess("test");
        thread = &process->createThread();
    }

    // Starts again from nothing, e.g. with another driver configuration.
    void restart(bool specialIrpPool, bool loadTestDriver = true) {
        TearDown();
        driver = nullptr;
        start(specialIrpPool, loadTestDriver);
    }

    ntemu::Handle openDevice(ntemu::OpenOptions options = {}) {
        ntemu::Handle handle = 0;
        EXPECT_EQ(process->open(u"\\\\.\\IoTest0", options, &handle), STATUS_SUCCESS);
        return handle;
    }

    PDEVICE_OBJECT device() { return io->findDevice(u"\\Device\\IoTest0"); }

    ntemu::IoResult reply(ntemu::Handle handle, NTSTATUS status, ULONG information, void* output,
                          ULONG outputLength) {
        ReplyInput input{status, information};
        return thread->deviceIoControl(handle, kReply, &input, sizeof input, output, outputLength);
    }

    // Sends a request from another OS thread for the given user thread; the future gives the
    // result once the request is completed.
    std::future<ntemu::IoResult> sendAsync(ntemu::Thread& from, ntemu::Handle handle, ULONG code,
                                           LONG input = 0, ULONG* output = nullptr) {
        return std::async(std::launch::async, [&from, handle, code, input, output] {
            return from.deviceIoControl(handle, code, &input, sizeof input, output,
                                        output ? sizeof(ULONG) : 0);
        });
    }

    ntemu::VirtualClock clock;
    std::unique_ptr<ntemu::Kernel> kernel;
    std::unique_ptr<ntemu::IoManager> io;
    PDRIVER_OBJECT driver = nullptr;
    std::shared_ptr<ntemu::Process> process;
    ntemu::Thread* thread = nullptr;
};

} // namespace iotest
