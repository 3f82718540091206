// The second layer of the test machines: a driver host with timing boards on the virtual
// clock and the driver loaded; above it, a user process with a handle on a board and requests
// sent from threads of their own.
#pragma once

#include "board_bench.h"
#include "board_host.h"
#include "ntemu/kernel.h"
#include "vornpci_device.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace vorntest {

// The board device behind a loaded device object.
inline CVORNpci* boardDevice(vornhost::DriverHost& host, unsigned index) {
    std::u16string name = u"\\Device\\VORNpci" + vornhost::deviceName(index).substr(11);
    PDEVICE_OBJECT device = host.io().findDevice(name);
    return device ? static_cast<CVORNpci*>(device->DeviceExtension) : nullptr;
}

// A request sent from a thread of its own, which blocks until the driver completes it.
class AsyncRequest {
public:
    AsyncRequest(ntemu::Process& process, ntemu::Handle handle, ULONG code, Bytes input,
                 ULONG outputLength)
        : m_thread(process.createThread()), m_input(std::move(input)), m_output(outputLength) {
        m_future = std::async(std::launch::async, [this, handle, code] {
            return m_thread.deviceIoControl(handle, code, m_input.data(), ULONG(m_input.size()),
                                            m_output.data(), ULONG(m_output.size()));
        });
    }
    ~AsyncRequest() { result(); }

    // Waits (bounded, real time as a safety net) until the driver holds it pending.
    bool pending() { return m_thread.waitForPending(1); }
    bool done() { return m_future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
    // The outcome; a request never completed fails the test and is cancelled by thread exit.
    ntemu::IoResult result() {
        if (!m_finished) {
            if (m_future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                ADD_FAILURE() << "request never completed";
                m_thread.exit();
            }
            m_result = m_future.get();
            m_finished = true;
        }
        return m_result;
    }
    const Bytes& output() {
        result();
        return m_output;
    }
    ntemu::Thread& thread() { return m_thread; }

private:
    ntemu::Thread& m_thread;
    Bytes m_input;
    Bytes m_output;
    std::future<ntemu::IoResult> m_future;
    ntemu::IoResult m_result{};
    bool m_finished = false;
};

template <typename T> Bytes bytesOf(const T& value) {
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <typename T> T valueOf(const Bytes& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

inline Bytes timeoutOf(uint32_t milliseconds) {
    return bytesOf(milliseconds);
}

inline Bytes eventWait(uint32_t milliseconds) {
    vornpci::EventWaitRecord record{};
    record.timeoutMs = milliseconds;
    return bytesOf(record);
}

// A host with the given machine and the driver loaded, unloaded cleanly at the end.
class LoadedDriverTest : public ::testing::Test {
protected:
    explicit LoadedDriverTest(const vornsim::MachineDescription& machine = oneBoard())
        : m_host(machine, boardHostOptions()) {}

    void SetUp() override { ASSERT_EQ(m_host.load(), STATUS_SUCCESS); }
    void TearDown() override { EXPECT_TRUE(m_host.unload()); }

    // Waits (bounded, real time as a safety net) until the driver holds `count` requests.
    bool driverHolds(size_t count) {
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_host.io().liveIrpCount() < count) {
            if (std::chrono::steady_clock::now() > bound)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    vornhost::DriverHost m_host;
};

// Above that: the lock order declared and a handle open on VORNpci0.
class DriverTest : public LoadedDriverTest {
protected:
    using LoadedDriverTest::LoadedDriverTest;

    void SetUp() override {
        LoadedDriverTest::SetUp();
        if (HasFatalFailure())
            return;
        CVORNpci* device = boardDevice(m_host, 0);
        ASSERT_NE(device, nullptr);
        m_host.system().kernel().declareLockOrder(&device->DeviceLock,
                                                  ntemu::Kernel::cancelSpinLock());
        m_process = m_host.createProcess("test");
        ASSERT_EQ(m_process->open(vornhost::deviceName(0), {}, &m_handle), STATUS_SUCCESS);
        board().clearCommandLog();
    }

    void TearDown() override {
        if (m_process && m_handle != 0)
            m_process->close(m_handle);
        m_process.reset();
        LoadedDriverTest::TearDown();
    }

    // Sends a request from a new thread of the test process and waits for it.
    ntemu::IoResult send(ULONG code, const Bytes& input, Bytes& output) {
        return m_process->createThread().deviceIoControl(
            m_handle, code, input.data(), ULONG(input.size()), output.data(), ULONG(output.size()));
    }
    std::unique_ptr<AsyncRequest> start(ULONG code, Bytes input, ULONG outputLength) {
        return std::make_unique<AsyncRequest>(*m_process, m_handle, code, std::move(input),
                                              outputLength);
    }

    vornsim::BoardModel& board(size_t index = 0) { return *m_host.board(index); }
    ntemu::VirtualClock& clock() { return *m_host.virtualClock(); }
    CVORNpci& device() { return *boardDevice(m_host, 0); }
    Bytes commands() { return board().commandBytes(); }

    std::shared_ptr<ntemu::Process> m_process;
    ntemu::Handle m_handle = 0;
};

} // namespace vorntest
