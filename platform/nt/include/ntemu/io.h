// The I/O manager as its callers see it: driver loading and unloading, and the user side of
// device I/O (processes, threads, handles, open by name, device control, close, cancellation).
// The driver side is the Io* routines of ntddk.h.
#pragma once

#include "ntddk.h"
#include "ntemu/kernel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ntemu {

class IoManager;
class Process;

using Handle = uint32_t; // 0 is never a valid handle

struct OpenOptions {
    ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE;
    USHORT shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    // An overlapped handle lets several requests reach the driver at once; a synchronous one
    // (the default, as CreateFile without FILE_FLAG_OVERLAPPED) runs one request at a time.
    bool overlapped = false;
};

struct IoResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0; // bytes copied back to the output buffer
};

// Told of a request's completion in the completing context (a DPC, a driver routine or a
// cancellation), at IRQL <= DISPATCH_LEVEL, once the output is in the caller's buffer and
// before the caller's deviceIoControl returns; so a caller can pass the result on without
// waiting to be woken. It must not block. Not called for a request its caller gave up on.
struct CompletionHook {
    void (*run)(void* context, const IoResult& result) = nullptr;
    void* context = nullptr;
};

// A thread of a user process: the identity that requests are issued under. Any OS thread may
// act for it; an IRP is on its thread's list from dispatch until completion.
class Thread {
public:
    virtual ~Thread() = default;
    virtual Process& process() = 0;
    // Blocks until the request completes (or is cancelled with the thread); `hook` hears of
    // the completion first.
    virtual IoResult deviceIoControl(Handle handle, ULONG code, const void* input,
                                     ULONG inputLength, void* output, ULONG outputLength,
                                     CompletionHook hook = {}) = 0;
    // Cancels every pending IRP this thread issued and waits (bounded) for their completion,
    // as the kernel does for a thread that ends. The Thread stays usable.
    virtual void exit() = 0;
    // IRPs of this thread that the driver holds pending right now.
    virtual size_t pendingCount() const = 0;
    // Blocks until at least `count` IRPs of this thread are pending in a driver, or the bound
    // (real time, a safety net only) passes; returns whether the count was reached.
    virtual bool waitForPending(size_t count, unsigned boundMilliseconds = 10'000) = 0;
};

class Process {
public:
    virtual ~Process() = default;
    virtual Thread& createThread() = 0;
    // Opens "\\.\NAME", "\DosDevices\NAME", "\??\NAME" or "\Device\NAME" (any case).
    virtual NTSTATUS open(std::u16string_view name, const OpenOptions& options, Handle* handle) = 0;
    // Closes the handle: CLEANUP when it was the last handle of its file object, CLOSE when the
    // last reference goes (after its outstanding IRPs complete).
    virtual NTSTATUS close(Handle handle) = 0;
    // Cancels the calling process's IRPs on this handle (CancelIo for every thread).
    virtual void cancelIo(Handle handle) = 0;
    // Ends the process: every thread exits (its IRPs cancelled), then every handle is closed.
    virtual void terminate() = 0;
    virtual size_t handleCount() const = 0;
};

struct DriverLoad {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = nullptr; // null when DriverEntry failed
};

class IoManager {
public:
    explicit IoManager(Kernel& kernel);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    static IoManager& current();
    static IoManager* currentOrNull();

    // Runs DriverEntry at PASSIVE_LEVEL on a system thread. On failure the driver is gone and
    // the leak checks have run; on success DO_DEVICE_INITIALIZING is cleared on its devices.
    DriverLoad loadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name,
                          std::u16string_view registryPath);
    // Waits (bounded) until no file object of the driver is open, runs DriverUnload on a system
    // thread, then the unload checks (pool by tag, devices, links, DPCs, timers, interrupts,
    // mappings, claims). Returns false when the driver cannot unload (no DriverUnload, or
    // handles still open when the bound passed).
    bool unloadDriver(PDRIVER_OBJECT driver, unsigned boundMilliseconds = 10'000);

    std::shared_ptr<Process> createProcess(std::string name = {});
    // How long (real time) a thread's exit waits for its cancelled requests before it gives up
    // on them and their callers get STATUS_CANCELLED (default 10 s).
    void setCancelBound(unsigned milliseconds);

    // Object directory inspection, for tests.
    PDEVICE_OBJECT findDevice(std::u16string_view deviceName) const; // "\Device\X"
    bool linkExists(std::u16string_view linkName) const;             // "\DosDevices\X"
    size_t liveIrpCount() const; // IRPs on their thread's list: dispatched, not yet freed

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace ntemu
