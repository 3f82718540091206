// A host process: handles and one kernel-layer thread per caller thread key.
#include "host_process.h"

#include <limits>

namespace vornhost {
namespace {

bool toHandle(uint64_t value, ntemu::Handle* handle) {
    if (value == 0 || value > std::numeric_limits<ntemu::Handle>::max())
        return false;
    *handle = ntemu::Handle(value);
    return true;
}

} // namespace

HostProcess::HostProcess(DriverHost& host, std::string name, size_t maxThreads)
    : m_process(host.createProcess(std::move(name))), m_maxThreads(maxThreads) {}

HostProcess::~HostProcess() {
    m_process->terminate();
}

NTSTATUS HostProcess::open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) {
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    ntemu::OpenOptions options;
    options.shareAccess = shareAccess;
    options.overlapped = true;
    ntemu::Handle opened = 0;
    NTSTATUS status = m_process->open(name, options, &opened);
    *handle = NT_SUCCESS(status) ? opened : 0;
    return status;
}

ChannelResult HostProcess::deviceIoControl(uint64_t threadKey, uint64_t handle, uint32_t code,
                                           const void* in, uint32_t inLength, void* out,
                                           uint32_t outLength) {
    ntemu::Handle h = 0;
    if (!toHandle(handle, &h))
        return {STATUS_INVALID_HANDLE, 0};
    ntemu::Thread* thread = threadFor(threadKey);
    if (!thread)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    ntemu::IoResult result = thread->deviceIoControl(h, code, in, inLength, out, outLength);
    return {result.status, uint32_t(result.information)};
}

NTSTATUS HostProcess::close(uint64_t handle) {
    ntemu::Handle h = 0;
    if (!toHandle(handle, &h))
        return STATUS_INVALID_HANDLE;
    // A thread blocked in a wait on this handle is released rather than left to its time-out.
    m_process->cancelIo(h);
    return m_process->close(h);
}

void HostProcess::terminate() {
    m_process->terminate();
}

size_t HostProcess::handleCount() const {
    return m_process->handleCount();
}

size_t HostProcess::threadCount() const {
    std::lock_guard guard(m_lock);
    return m_threads.size();
}

ntemu::Thread* HostProcess::threadFor(uint64_t key) {
    std::lock_guard guard(m_lock);
    auto found = m_threads.find(key);
    if (found != m_threads.end())
        return found->second;
    if (m_threads.size() >= m_maxThreads)
        return reuseIdleThread(key);
    ntemu::Thread* thread = &m_process->createThread();
    m_threads.emplace(key, thread);
    return thread;
}

// Callers that start a thread for every blocking call would use up the limit for good if a
// key kept its kernel-layer thread after the caller thread ended. A thread with no request
// pending in the driver carries no state, so it serves the new key instead.
ntemu::Thread* HostProcess::reuseIdleThread(uint64_t key) {
    for (auto entry = m_threads.begin(); entry != m_threads.end(); ++entry) {
        if (entry->second->pendingCount() != 0)
            continue;
        ntemu::Thread* thread = entry->second;
        m_threads.erase(entry);
        m_threads.emplace(key, thread);
        return thread;
    }
    return nullptr;
}

} // namespace vornhost
