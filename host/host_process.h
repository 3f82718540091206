// One user process of the driver host as a caller sees it: handles opened overlapped, and one
// kernel-layer thread per caller thread key, so that a request blocked in the driver holds up
// no other key's requests. The in-process channel keys by OS thread, the daemon by client
// connection and client thread id.
#pragma once

#include "device_channel.h"
#include "driver_host.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vornhost {

class HostProcess {
public:
    // A client's requests count in the host's health record; the host's own (its event pumps,
    // its looks at the driver's counters) would only blur it.
    enum class Accounting { Counted, HostOwn };

    // A process of `host` with at most `maxThreads` distinct thread keys.
    HostProcess(DriverHost& host, std::string name, size_t maxThreads,
                Accounting accounting = Accounting::Counted);
    // Ends the process as the kernel does for one that exits.
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // PASSIVE_LEVEL, any thread. Kernel statuses; a handle of 0 on failure. Every call made
    // once the process is terminating fails with STATUS_PROCESS_IS_TERMINATING.
    NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle);
    // Blocks until the request completes. STATUS_INSUFFICIENT_RESOURCES when `threadKey` is new
    // and every thread of the limit has a request pending, STATUS_INVALID_HANDLE for a handle this
    // process does not hold.
    // `hook` hears of the completion in the completing context, before this returns.
    ChannelResult deviceIoControl(uint64_t threadKey, uint64_t handle, uint32_t code,
                                  const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                  ntemu::CompletionHook hook = {});
    // Cancels this process's requests on the handle, then closes it.
    NTSTATUS close(uint64_t handle);
    // Ends the process as the kernel does for one that exits: no request starts afterwards,
    // every request under way is cancelled (again if it reaches the driver after a pass), and
    // once none is left every handle is closed. Returns when nothing of the process runs.
    void terminate();
    size_t handleCount() const;
    size_t threadCount() const;
    // Requests of this process that the driver holds pending, over all its threads.
    size_t pendingCount() const;

private:
    class Call;

    ntemu::Thread* threadFor(uint64_t key);
    // At the limit: hands a thread with nothing pending over to `key`; null when none is idle.
    ntemu::Thread* reuseIdleThread(uint64_t key); // m_lock held

    void rememberBoard(uint64_t handle, std::u16string_view name);
    // The device number behind `handle`, for the host's health record; -1 when not a board.
    int64_t boardOf(uint64_t handle) const;

    DriverHost& m_host;
    std::shared_ptr<ntemu::Process> m_process;
    const size_t m_maxThreads;
    const Accounting m_accounting;
    mutable std::mutex m_lock; // guards m_threads, m_boards, m_terminating and m_callsUnderWay
    std::unordered_map<uint64_t, uint32_t> m_boards;        // handle -> device number
    std::unordered_map<uint64_t, ntemu::Thread*> m_threads; // owned by m_process
    bool m_terminating = false;
    size_t m_callsUnderWay = 0;
    std::condition_variable m_callEnded;
};

} // namespace vornhost
