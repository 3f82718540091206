// The in-process host: the kernel layer, the machine and the driver inside the calling
// program, with one host process whose threads follow the caller's threads.
#include "in_process_channel.h"

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

} // namespace

InProcessChannel::InProcessChannel(std::shared_ptr<DriverHost> host, std::string processName)
    : m_host(std::move(host)),
      m_process(std::make_unique<HostProcess>(*m_host, std::move(processName), kMaxCallerThreads)),
      m_subscriptions(std::make_unique<EventSubscriptions>(m_host->events())) {}

InProcessChannel::~InProcessChannel() {
    m_subscriptions.reset();
    m_process.reset();
}

ChannelResult InProcessChannel::deviceIoControl(uint64_t handle, uint32_t code, const void* in,
                                                uint32_t inLength, void* out, uint32_t outLength) {
    return m_process->deviceIoControl(callerThreadKey(), handle, code, in, inLength, out,
                                      outLength);
}

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
    std::shared_ptr<DriverHost> host;
    try {
        host = std::make_shared<DriverHost>(machine, hostOptions);
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    if (!NT_SUCCESS(host->load()))
        return nullptr;
    return std::make_unique<InProcessChannel>(std::move(host), "in-process");
}

} // namespace vornhost
