// A device channel straight over a driver host in this process, for tests that hold the host
// (its virtual clock and its boards) themselves.
#include "vorn_testing.h"

#include "board_control.h"

#include <chrono>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vornlib::testing {

struct HostChannel::Impl {
    std::shared_ptr<ntemu::Process> process;
    mutable std::mutex mutex;
    std::unordered_map<std::thread::id, ntemu::Thread*> threads;

    // The host thread that acts for the calling OS thread, made at its first request.
    ntemu::Thread& thread() {
        std::lock_guard lock(mutex);
        ntemu::Thread*& slot = threads[std::this_thread::get_id()];
        if (slot == nullptr)
            slot = &process->createThread();
        return *slot;
    }
};

namespace {

bool toHostHandle(uint64_t handle, ntemu::Handle* hostHandle) {
    if (handle == 0 || handle > std::numeric_limits<ntemu::Handle>::max())
        return false;
    *hostHandle = static_cast<ntemu::Handle>(handle);
    return true;
}

} // namespace

HostChannel::HostChannel(std::shared_ptr<vornhost::DriverHost> host)
    : m_host(std::move(host)), m_impl(std::make_unique<Impl>()) {
    m_impl->process = m_host->createProcess("vorn-library");
}

// The process ends as a program's does: pending requests cancelled, handles closed.
HostChannel::~HostChannel() {
    m_impl->process->terminate();
}

NTSTATUS HostChannel::open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) {
    ntemu::OpenOptions options;
    options.shareAccess = shareAccess;
    options.overlapped = true;
    ntemu::Handle hostHandle = 0;
    const NTSTATUS status = m_impl->process->open(name, options, &hostHandle);
    *handle = status == STATUS_SUCCESS ? hostHandle : 0;
    return status;
}

vornhost::ChannelResult HostChannel::deviceIoControl(uint64_t handle, uint32_t code, const void* in,
                                                     uint32_t inLength, void* out,
                                                     uint32_t outLength) {
    ntemu::Handle hostHandle = 0;
    if (!toHostHandle(handle, &hostHandle))
        return {STATUS_INVALID_HANDLE, 0};
    const ntemu::IoResult result =
        m_impl->thread().deviceIoControl(hostHandle, code, in, inLength, out, outLength);
    return {result.status, static_cast<uint32_t>(result.information)};
}

NTSTATUS HostChannel::close(uint64_t handle) {
    ntemu::Handle hostHandle = 0;
    if (!toHostHandle(handle, &hostHandle))
        return STATUS_INVALID_HANDLE;
    m_impl->process->cancelIo(hostHandle);
    return m_impl->process->close(hostHandle);
}

// The same checks and effects as the hosts programs use, so tests drive the board the same way.
NTSTATUS HostChannel::simulate(const vornhost::SimCommand& command) {
    return vornhost::applySimCommand(m_host->machine(), command);
}

NTSTATUS HostChannel::inspectBoard(uint32_t index, vornhost::BoardState* state) {
    return vornhost::readBoardState(m_host->machine(), index, state);
}

NTSTATUS HostChannel::readHealth(uint32_t board, vornhost::BoardHealth* health) {
    if (!health)
        return STATUS_INVALID_PARAMETER;
    return m_host->boardHealth(board, health) ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS HostChannel::reportSyncSample(uint32_t board, const vornhost::SyncSample& sample) {
    return m_host->recordSyncSample(board, sample);
}

size_t HostChannel::pendingCount() const {
    std::lock_guard lock(m_impl->mutex);
    size_t count = 0;
    for (const auto& [id, thread] : m_impl->threads)
        count += thread->pendingCount();
    return count;
}

bool HostChannel::waitForPending(size_t count, unsigned boundMilliseconds) const {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMilliseconds);
    while (pendingCount() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace vornlib::testing
