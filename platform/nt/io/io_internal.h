// Private state of the I/O manager: driver, device, file-object and request records, the
// object namespace and the IRP allocator, shared by the files of platform/nt/io.
#pragma once

#include "ntemu/io.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ntemu {

struct DriverRecord;
struct FileRecord;
struct RequestRecord;
class ThreadImpl;
class ProcessImpl;

struct DeviceRecord {
    DEVICE_OBJECT* object = nullptr; // object and extension share one zeroed block
    size_t blockSize = 0;
    size_t extensionSize = 0;
    DriverRecord* driver = nullptr;
    std::u16string nameKey; // upper-case full name, empty when unnamed
    bool deleted = false;   // IoDeleteDevice called; freed when fileCount drops to 0
    size_t fileCount = 0;   // file objects that reference the device
};

struct DriverRecord {
    DRIVER_OBJECT object{};
    std::u16string nameText;
    std::u16string registryText;
    UNICODE_STRING registryPath{};
    bool unloadPending = false;
    bool loaded = false;
};

struct LinkRecord {
    std::u16string target;          // as given; resolved at open time
    DriverRecord* driver = nullptr; // the driver that created it, when known
};

struct FileRecord {
    FILE_OBJECT object{};
    DeviceRecord* device = nullptr;
    bool overlapped = false;
    size_t handles = 0;    // handle-table entries naming this file object
    size_t references = 0; // 1 while any handle is open, plus 1 per request
    bool busy = false;     // a synchronous file object runs one request at a time
    bool cleanupDone = false;
    IO_SECURITY_CONTEXT security{};
};

// One request from allocation to the end of its caller's wait. The IRP memory itself may be
// quarantined or reused as soon as the request is completed; what the caller still needs is
// copied out here first.
struct RequestRecord {
    enum class State { Free, Dispatched, Completed };
    State state = State::Free;
    uint64_t serial = 0; // tells one use of a pooled record from the next
    IRP* irp = nullptr;
    struct IrpBlock* block = nullptr;
    ThreadImpl* thread = nullptr; // null for requests the I/O manager sends itself
    FileRecord* file = nullptr;
    void* userBuffer = nullptr; // caller's output buffer; null once the caller is gone
    ULONG outputLength = 0;
    bool pendingInDriver = false; // dispatch returned STATUS_PENDING, not completed yet
    bool disowned = false;        // the caller stopped waiting; completion tidies up
    bool callerGone = false;      // the disowned caller has seen it and let go
    bool holdsReference = false;  // the request holds a reference on its file object
    unsigned pins = 0;            // cancellers using the IRP; its memory waits for them
    bool memoryReleased = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0; // bytes copied back to the caller
    bool pendingReturned = false;
    CompletionHook hook; // the caller's; cleared when the record is reused
};

// What precedes every IRP in memory, so completion finds the request from the IRP alone.
struct IrpBlock {
    static constexpr uint64_t kMagic = 0x5052495652304e49ull;
    uint64_t magic;
    RequestRecord* record;
    size_t capacity; // bytes of system buffer available behind the stack
    void* mapping;   // special pool: the mmap'd pages, else null
    size_t mappingLength;
    IRP irp;
    IO_STACK_LOCATION stack[1];
    alignas(16) unsigned char buffer[1];
};

IrpBlock* blockFromIrp(PIRP irp);

// IRP storage: a reusable free list, or one set of pages per IRP that is protected after
// completion when the special IRP pool is on.
class IrpAllocator {
public:
    explicit IrpAllocator(bool special);
    ~IrpAllocator();
    IrpBlock* allocate(size_t bufferBytes);
    void release(IrpBlock* block);
    // Frees a block that was never completed (the I/O manager is going away).
    void discard(IrpBlock* block);

private:
    bool m_special;
    std::mutex m_mutex;
    std::vector<IrpBlock*> m_free;
};

namespace specialpool {
IrpBlock* allocate(size_t bufferBytes);
// Protects the pages and keeps them in quarantine; the oldest quarantined IRP is unmapped.
void quarantine(IrpBlock* block);
void releaseAll();
void unmap(IrpBlock* block);
// Reports the touches of completed IRPs that the fault handler noted since the last call.
void reportFaults();
} // namespace specialpool

struct IoManager::Impl {
    explicit Impl(Kernel& kernel);
    ~Impl();

    Kernel& kernel;
    IrpAllocator irps;

    mutable std::mutex lock;         // guards every record below and the IRP thread lists
    std::condition_variable changed; // any request completed, file closed or count changed
    std::vector<std::unique_ptr<DriverRecord>> drivers;
    std::map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices;
    std::map<std::u16string, DeviceRecord*> deviceNames;
    std::map<std::u16string, LinkRecord> links;
    std::vector<std::unique_ptr<FileRecord>> files;
    std::vector<std::unique_ptr<RequestRecord>> requestPool;
    std::vector<RequestRecord*> freeRequests;
    size_t liveIrps = 0;
    // Real-time bound for a thread's cancelled requests before the I/O manager disowns them.
    unsigned cancelBoundMilliseconds = 10'000;
    uint64_t nextSerial = 1;
    Handle nextHandle = 4;

    // CLOSE requests whose last reference went in a completion; sent from the close worker.
    std::deque<FileRecord*> closeQueue;
    bool workerBusy = false;
    bool stopWorker = false;
    std::thread worker;
    struct DrainLink {
        std::mutex mutex;
        Impl* impl = nullptr;
    };
    std::shared_ptr<DrainLink> drainLink = std::make_shared<DrainLink>();

    DriverRecord* findDriver(const DRIVER_OBJECT* object);
    DeviceRecord* findDeviceRecord(const DEVICE_OBJECT* object);
    // Resolves an open name to a device; sets *status when it cannot. Caller holds lock.
    DeviceRecord* resolve(std::u16string_view name, NTSTATUS* status);

    RequestRecord* takeRequest();               // caller holds lock
    void recycleRequest(RequestRecord* record); // caller holds lock
    // Releases the IRP memory once completed and unpinned. Caller holds lock.
    void releaseIrpIfDone(RequestRecord* record);
    // Tidies up a completed request nobody waits for any more, once no canceller uses it.
    void finishIfDisowned(std::unique_lock<std::mutex>& held, RequestRecord* record);

    // Builds an IRP for a file object; the stack location is left for the caller to fill.
    RequestRecord* newRequest(FileRecord* file, ThreadImpl* thread, size_t bufferBytes);
    // Sends a request the I/O manager makes itself (create, cleanup, close) and waits for it.
    NTSTATUS sendInternal(FileRecord* file, UCHAR major);
    // Calls the driver, applies the dispatch checks and waits for completion.
    // Returns the caller's result; *disowned says the record now belongs to its completion.
    IoResult dispatchAndWait(RequestRecord* record, DeviceRecord* device, bool* disowned);
    IoResult finishWait(std::unique_lock<std::mutex>& held, RequestRecord* record, bool* disowned);

    void dropFileReference(std::unique_lock<std::mutex>& held, FileRecord* file, bool deferClose);
    void closeFile(FileRecord* file); // sends CLOSE, frees the file object
    void destroyFile(std::unique_lock<std::mutex>& held, FileRecord* file);
    void freeDevice(DeviceRecord* device, const char* routine); // caller holds lock
    void runCloseWorker();
    bool drainCloseWorker();

    void cancelRequests(std::vector<RequestRecord*>& pinned);
};

class ThreadImpl final : public Thread {
public:
    ThreadImpl(ProcessImpl& process, IoManager::Impl& io);
    Process& process() override;
    IoResult deviceIoControl(Handle handle, ULONG code, const void* input, ULONG inputLength,
                             void* output, ULONG outputLength, CompletionHook hook) override;
    void exit() override;
    size_t pendingCount() const override;
    bool waitForPending(size_t count, unsigned boundMilliseconds) override;

    // Requests of this thread that the driver holds, optionally only those on one file object;
    // each is pinned so that its IRP memory stays while the caller cancels it. Caller holds lock.
    void pinRequests(std::vector<RequestRecord*>& out, const FileRecord* file);

    LIST_ENTRY irpList;         // IRPs from dispatch to completion; guarded by io.lock
    size_t pendingInDriver = 0; // guarded by io.lock

private:
    IoResult control(FileRecord* file, ULONG code, const void* input, ULONG inputLength,
                     void* output, ULONG outputLength, CompletionHook hook);

    ProcessImpl& m_process;
    IoManager::Impl& m_io;
};

class ProcessImpl final : public Process {
public:
    ProcessImpl(IoManager::Impl& io, std::string name);
    ~ProcessImpl() override;
    Thread& createThread() override;
    NTSTATUS open(std::u16string_view name, const OpenOptions& options, Handle* handle) override;
    NTSTATUS close(Handle handle) override;
    void cancelIo(Handle handle) override;
    void terminate() override;
    size_t handleCount() const override;

    // The file object behind a handle, with a reference taken for a request. Caller holds lock.
    FileRecord* referenceHandle(Handle handle);

private:
    IoManager::Impl& m_io;
    std::string m_name;
    std::map<Handle, FileRecord*> m_handles;            // guarded by io.lock
    std::vector<std::unique_ptr<ThreadImpl>> m_threads; // guarded by io.lock
};

// The driver whose routine the calling OS thread runs (for attributing links), or null.
DriverRecord*& currentDriver();

std::u16string upperCase(std::u16string_view text);
std::u16string fromUnicodeString(PCUNICODE_STRING string);
// "\DosDevices\X", "\??\X" and "\\.\X" name one link; gives the upper-case "\??\X" key.
std::u16string linkKey(std::u16string_view name);

} // namespace ntemu
