// The in-process host: the kernel layer, the machine and the driver inside the calling
// program, on the real clock, with one host process whose threads follow the caller's threads.
#include "board_control.h"
#include "device_channel.h"
#include "driver_host.h"
#include "host_process.h"

#include <pthread.h>

#include <mutex>
#include <stdexcept>

namespace vornhost {
namespace {

// Enough for every thread a program keeps alive at once; an ended thread's key is reused by
// the next thread the system gives its identity.
constexpr size_t kMaxCallerThreads = 1024;

uint64_t callerThreadKey() {
    return uint64_t(pthread_self());
}

class InProcessChannel final : public DeviceChannel {
public:
    explicit InProcessChannel(std::unique_ptr<DriverHost> host)
        : m_host(std::move(host)),
          m_process(std::make_unique<HostProcess>(*m_host, "in-process", kMaxCallerThreads)) {}

    ~InProcessChannel() override {
        // The process ends (requests cancelled, handles closed) before the driver unloads.
        m_process.reset();
        m_host->unload();
    }

    NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) override {
        return m_process->open(name, shareAccess, handle);
    }

    ChannelResult deviceIoControl(uint64_t handle, uint32_t code, const void* in, uint32_t inLength,
                                  void* out, uint32_t outLength) override {
        return m_process->deviceIoControl(callerThreadKey(), handle, code, in, inLength, out,
                                          outLength);
    }

    NTSTATUS close(uint64_t handle) override { return m_process->close(handle); }

    NTSTATUS simulate(const SimCommand& command) override {
        return applySimCommand(m_host->machine(), command);
    }

    NTSTATUS inspectBoard(uint32_t board, BoardState* state) override {
        return readBoardState(m_host->machine(), board, state);
    }

    NTSTATUS readHealth(uint32_t board, BoardHealth* health) override {
        if (!health)
            return STATUS_INVALID_PARAMETER;
        return m_host->boardHealth(board, health) ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    }

    NTSTATUS reportSyncSample(uint32_t board, const SyncSample& sample) override {
        return m_host->recordSyncSample(board, sample);
    }

private:
    std::unique_ptr<DriverHost> m_host;
    std::unique_ptr<HostProcess> m_process;
};

} // namespace

std::unique_ptr<DeviceChannel> openInProcessChannel(const vornsim::MachineDescription& machine,
                                                    InProcessOptions options) {
    static std::mutex startLock;
    std::lock_guard guard(startLock);
    // The kernel layer runs one machine per program at a time.
    if (ntemu::Kernel::currentOrNull() != nullptr)
        return nullptr;
    HostOptions hostOptions;
    hostOptions.virtualClock = false;
    hostOptions.specialIrpPool = false;
    hostOptions.processors = options.processors;
    std::unique_ptr<DriverHost> host;
    try {
        host = std::make_unique<DriverHost>(machine, hostOptions);
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    if (!NT_SUCCESS(host->load()))
        return nullptr;
    return std::make_unique<InProcessChannel>(std::move(host));
}

} // namespace vornhost
