// A host process: handles and one kernel-layer thread per caller thread key.
#include "host_process.h"

#include <chrono>
#include <limits>

namespace vornhost {
namespace {

// How long a terminating process waits for its calls under way before it cancels again.
constexpr auto kCancelPassInterval = std::chrono::milliseconds(1);

bool toHandle(uint64_t value, ntemu::Handle* handle) {
    if (value == 0 || value > std::numeric_limits<ntemu::Handle>::max())
        return false;
    *handle = ntemu::Handle(value);
    return true;
}

} // namespace

// One call into the process, counted while it is under way so that terminate() knows when
// nothing of the process runs any more. A call that starts once the process is terminating is
// not admitted.
class HostProcess::Call {
public:
    explicit Call(HostProcess& process) : m_process(process) {
        std::lock_guard guard(process.m_lock);
        m_admitted = !process.m_terminating;
        if (m_admitted)
            ++process.m_callsUnderWay;
    }
    ~Call() {
        if (!m_admitted)
            return;
        std::lock_guard guard(m_process.m_lock);
        if (--m_process.m_callsUnderWay == 0)
            m_process.m_callEnded.notify_all();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool admitted() const { return m_admitted; }

private:
    HostProcess& m_process;
    bool m_admitted = false;
};

HostProcess::HostProcess(DriverHost& host, std::string name, size_t maxThreads,
                         Accounting accounting)
    : m_host(host), m_process(host.createProcess(std::move(name))), m_maxThreads(maxThreads),
      m_accounting(accounting) {}

HostProcess::~HostProcess() {
    m_process->terminate();
}

NTSTATUS HostProcess::open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) {
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    *handle = 0;
    Call call(*this);
    if (!call.admitted())
        return STATUS_PROCESS_IS_TERMINATING;
    ntemu::OpenOptions options;
    options.shareAccess = shareAccess;
    options.overlapped = true;
    ntemu::Handle opened = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (shareAccess == 0) {
        // An open without sharing fails while any other handle is open; it waits for a brief
        // look of the host's own at the board to end rather than fail because of it.
        std::lock_guard quiet(m_host.briefOpenLock());
        status = m_process->open(name, options, &opened);
    } else {
        status = m_process->open(name, options, &opened);
    }
    *handle = NT_SUCCESS(status) ? opened : 0;
    if (NT_SUCCESS(status))
        rememberBoard(opened, name);
    return status;
}

void HostProcess::rememberBoard(uint64_t handle, std::u16string_view name) {
    uint32_t device = 0;
    const bool board = m_accounting == Accounting::Counted && deviceIndex(name, &device);
    std::lock_guard guard(m_lock);
    if (board)
        m_boards[handle] = device;
    else
        m_boards.erase(handle);
}

int64_t HostProcess::boardOf(uint64_t handle) const {
    std::lock_guard guard(m_lock);
    auto found = m_boards.find(handle);
    return found == m_boards.end() ? -1 : int64_t(found->second);
}

ChannelResult HostProcess::deviceIoControl(uint64_t threadKey, uint64_t handle, uint32_t code,
                                           const void* in, uint32_t inLength, void* out,
                                           uint32_t outLength, ntemu::CompletionHook hook) {
    ntemu::Handle h = 0;
    if (!toHandle(handle, &h))
        return {STATUS_INVALID_HANDLE, 0};
    Call call(*this);
    if (!call.admitted())
        return {STATUS_PROCESS_IS_TERMINATING, 0};
    ntemu::Thread* thread = threadFor(threadKey);
    if (!thread)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    // Looked up first: a close while the request waits in the driver forgets the handle.
    const int64_t board = boardOf(handle);
    ntemu::IoResult result = thread->deviceIoControl(h, code, in, inLength, out, outLength, hook);
    if (board >= 0)
        m_host.health().recordRequest(uint32_t(board), code, result.status);
    return {result.status, uint32_t(result.information)};
}

NTSTATUS HostProcess::close(uint64_t handle) {
    ntemu::Handle h = 0;
    if (!toHandle(handle, &h))
        return STATUS_INVALID_HANDLE;
    Call call(*this);
    if (!call.admitted())
        return STATUS_PROCESS_IS_TERMINATING;
    // A thread blocked in a wait on this handle is released rather than left to its time-out.
    m_process->cancelIo(h);
    const NTSTATUS status = m_process->close(h);
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(m_lock);
        m_boards.erase(handle);
    }
    return status;
}

// A call that took its handle just before a cancelling pass reaches the driver after it, where
// a wait could hold it for good; so passes repeat until no call is under way. The last pass
// closes any handle an open under way added.
void HostProcess::terminate() {
    std::unique_lock held(m_lock);
    m_terminating = true;
    while (m_callsUnderWay != 0) {
        held.unlock();
        m_process->terminate();
        held.lock();
        m_callEnded.wait_for(held, kCancelPassInterval, [&] { return m_callsUnderWay == 0; });
    }
    held.unlock();
    m_process->terminate();
}

size_t HostProcess::handleCount() const {
    return m_process->handleCount();
}

size_t HostProcess::threadCount() const {
    std::lock_guard guard(m_lock);
    return m_threads.size();
}

size_t HostProcess::pendingCount() const {
    std::lock_guard guard(m_lock);
    size_t count = 0;
    for (const auto& [key, thread] : m_threads)
        count += thread->pendingCount();
    return count;
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
