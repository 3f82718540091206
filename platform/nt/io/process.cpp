// The user side of device I/O: processes with their handle tables, threads with their lists
// of IRPs, open by name, buffered device control, close, and cancellation.
#include "io_internal.h"

#include <algorithm>
#include <chrono>

namespace ntemu {
namespace {

constexpr unsigned char kUninitialisedFill = 0xCD;

bool accessAllowed(const FILE_OBJECT& file, ULONG code) {
    ULONG access = (code >> 14) & 3;
    if ((access & FILE_READ_ACCESS) && !file.ReadAccess)
        return false;
    return !((access & FILE_WRITE_ACCESS) && !file.WriteAccess);
}

void fillFileObject(FileRecord& file, DeviceRecord* device, const OpenOptions& options) {
    FILE_OBJECT& object = file.object;
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device->object;
    object.ReadAccess = (options.desiredAccess & (GENERIC_READ | FILE_READ_DATA)) != 0;
    object.WriteAccess = (options.desiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    object.SharedRead = (options.shareAccess & FILE_SHARE_READ) != 0;
    object.SharedWrite = (options.shareAccess & FILE_SHARE_WRITE) != 0;
    object.SharedDelete = (options.shareAccess & FILE_SHARE_DELETE) != 0;
    file.device = device;
    file.overlapped = options.overlapped;
    file.references = 1;
    file.security.DesiredAccess = options.desiredAccess;
    ++device->fileCount;
    ++device->object->ReferenceCount;
}

// The system buffer holds the input, then a fill pattern up to the output length, so that a
// driver returning bytes it never wrote shows up. Lengths are already 0 for null pointers.
void prepareBuffered(RequestRecord& record, ULONG code, const void* input, ULONG inputLength,
                     void* output, ULONG outputLength) {
    record.holdsReference = true;
    record.userBuffer = output;
    record.outputLength = outputLength;
    IRP* irp = record.irp;
    ULONG length = std::max(inputLength, outputLength);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
    if (length) {
        unsigned char* buffer = record.block->buffer;
        if (inputLength)
            std::memcpy(buffer, input, inputLength);
        std::memset(buffer + inputLength, kUninitialisedFill, length - inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->UserBuffer = output;
    }
    IO_STACK_LOCATION& stack = record.block->stack[0];
    stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
}

} // namespace

// ----------------------------------------------------------------------------------------------
// Threads
// ----------------------------------------------------------------------------------------------

ThreadImpl::ThreadImpl(ProcessImpl& process, IoManager::Impl& io) : m_process(process), m_io(io) {
    InitializeListHead(&irpList);
}

Process& ThreadImpl::process() {
    return m_process;
}

IoResult ThreadImpl::deviceIoControl(Handle handle, ULONG code, const void* input,
                                     ULONG inputLength, void* output, ULONG outputLength,
                                     CompletionHook hook) {
    FileRecord* file;
    {
        std::lock_guard guard(m_io.lock);
        file = m_process.referenceHandle(handle);
    }
    if (!file)
        return {STATUS_INVALID_HANDLE, 0};
    if (!file->overlapped) {
        std::unique_lock held(m_io.lock);
        m_io.changed.wait(held, [&] { return !file->busy; });
        file->busy = true;
    }
    return control(file, code, input, inputLength, output, outputLength, hook);
}

// Checks access and method, builds the METHOD_BUFFERED request, dispatches and waits. Consumes
// the request's file reference unless the request was disowned (its completion drops it then).
IoResult ThreadImpl::control(FileRecord* file, ULONG code, const void* input, ULONG inputLength,
                             void* output, ULONG outputLength, CompletionHook hook) {
    IoResult result{STATUS_SUCCESS, 0};
    RequestRecord* record = nullptr;
    bool disowned = false;
    if (!accessAllowed(file->object, code)) {
        result.status = STATUS_ACCESS_DENIED;
    } else if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
        verifier::report(Check::NotImplemented, "DeviceIoControl",
                         "only METHOD_BUFFERED requests are emulated");
        result.status = STATUS_NOT_IMPLEMENTED;
    } else {
        inputLength = input ? inputLength : 0;
        outputLength = output ? outputLength : 0;
        record = m_io.newRequest(file, this, std::max(inputLength, outputLength));
        if (!record)
            result.status = STATUS_INSUFFICIENT_RESOURCES;
        else
            record->hook = hook;
    }
    if (record) {
        prepareBuffered(*record, code, input, inputLength, output, outputLength);
        result = m_io.dispatchAndWait(record, file->device, &disowned);
    }
    std::unique_lock held(m_io.lock);
    if (!file->overlapped) {
        file->busy = false;
        m_io.changed.notify_all();
    }
    if (!disowned) {
        if (record)
            m_io.recycleRequest(record);
        m_io.dropFileReference(held, file, false);
    }
    return result;
}

void ThreadImpl::pinRequests(std::vector<RequestRecord*>& out, const FileRecord* file) {
    for (PLIST_ENTRY entry = irpList.Flink; entry != &irpList; entry = entry->Flink) {
        RequestRecord* record =
            blockFromIrp(CONTAINING_RECORD(entry, IRP, ThreadListEntry))->record;
        if (file && record->file != file)
            continue;
        ++record->pins;
        out.push_back(record);
    }
}

void ThreadImpl::exit() {
    std::vector<RequestRecord*> pinned;
    std::vector<std::pair<RequestRecord*, uint64_t>> cancelled;
    {
        std::lock_guard guard(m_io.lock);
        pinRequests(pinned, nullptr);
        for (RequestRecord* record : pinned)
            cancelled.emplace_back(record, record->serial);
    }
    m_io.cancelRequests(pinned);
    // Only the requests issued before the exit count: the thread stays usable meanwhile.
    auto outstanding = [&](const std::pair<RequestRecord*, uint64_t>& entry) {
        return entry.first->serial == entry.second &&
               entry.first->state == RequestRecord::State::Dispatched && !entry.first->disowned;
    };
    std::unique_lock held(m_io.lock);
    if (m_io.changed.wait_for(held, std::chrono::milliseconds(m_io.cancelBoundMilliseconds), [&] {
            return std::none_of(cancelled.begin(), cancelled.end(), outstanding);
        }))
        return;
    // Requests the driver would not give back: the caller stops waiting for them, and their
    // eventual completion tidies up without touching the caller's buffers.
    for (auto& entry : cancelled) {
        if (!outstanding(entry))
            continue;
        RequestRecord* record = entry.first;
        RemoveEntryList(&record->irp->ThreadListEntry);
        InitializeListHead(&record->irp->ThreadListEntry);
        if (record->pendingInDriver)
            --pendingInDriver;
        record->pendingInDriver = false;
        record->thread = nullptr;
        record->disowned = true;
        record->userBuffer = nullptr;
        record->status = STATUS_CANCELLED;
        record->information = 0;
    }
    m_io.changed.notify_all();
}

size_t ThreadImpl::pendingCount() const {
    std::lock_guard guard(m_io.lock);
    return pendingInDriver;
}

bool ThreadImpl::waitForPending(size_t count, unsigned boundMilliseconds) {
    std::unique_lock held(m_io.lock);
    return m_io.changed.wait_for(held, std::chrono::milliseconds(boundMilliseconds),
                                 [&] { return pendingInDriver >= count; });
}

// ----------------------------------------------------------------------------------------------
// Processes
// ----------------------------------------------------------------------------------------------

ProcessImpl::ProcessImpl(IoManager::Impl& io, std::string name)
    : m_io(io), m_name(std::move(name)) {}

// A process that goes away ends like one that is killed: no IRP may keep pointing at its
// threads, and no handle may stay open.
ProcessImpl::~ProcessImpl() {
    terminate();
}

Thread& ProcessImpl::createThread() {
    std::lock_guard guard(m_io.lock);
    m_threads.push_back(std::make_unique<ThreadImpl>(*this, m_io));
    return *m_threads.back();
}

FileRecord* ProcessImpl::referenceHandle(Handle handle) {
    auto found = m_handles.find(handle);
    if (found == m_handles.end())
        return nullptr;
    ++found->second->references;
    return found->second;
}

NTSTATUS ProcessImpl::open(std::u16string_view name, const OpenOptions& options, Handle* handle) {
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    *handle = 0;
    FileRecord* file;
    {
        std::lock_guard guard(m_io.lock);
        NTSTATUS status = STATUS_SUCCESS;
        DeviceRecord* device = m_io.resolve(name, &status);
        if (!device)
            return status;
        if (device->deleted || device->driver->unloadPending ||
            (device->object->Flags & DO_DEVICE_INITIALIZING))
            return STATUS_NO_SUCH_DEVICE;
        if ((device->object->Flags & DO_EXCLUSIVE) && device->fileCount)
            return STATUS_ACCESS_DENIED;
        m_io.files.push_back(std::make_unique<FileRecord>());
        file = m_io.files.back().get();
        fillFileObject(*file, device, options);
    }
    NTSTATUS status = m_io.sendInternal(file, IRP_MJ_CREATE);
    std::unique_lock held(m_io.lock);
    if (!NT_SUCCESS(status)) {
        m_io.destroyFile(held, file);
        return status;
    }
    file->handles = 1;
    *handle = m_io.nextHandle;
    m_io.nextHandle += 4;
    m_handles.emplace(*handle, file);
    return status;
}

NTSTATUS ProcessImpl::close(Handle handle) {
    FileRecord* file;
    {
        std::lock_guard guard(m_io.lock);
        auto found = m_handles.find(handle);
        if (found == m_handles.end())
            return STATUS_INVALID_HANDLE;
        file = found->second;
        m_handles.erase(found);
        if (--file->handles > 0)
            return STATUS_SUCCESS;
    }
    m_io.sendInternal(file, IRP_MJ_CLEANUP);
    std::unique_lock held(m_io.lock);
    file->cleanupDone = true;
    m_io.dropFileReference(held, file, false);
    return STATUS_SUCCESS;
}

void ProcessImpl::cancelIo(Handle handle) {
    std::vector<RequestRecord*> pinned;
    {
        std::lock_guard guard(m_io.lock);
        auto found = m_handles.find(handle);
        if (found == m_handles.end())
            return;
        for (auto& thread : m_threads)
            thread->pinRequests(pinned, found->second);
    }
    m_io.cancelRequests(pinned);
}

void ProcessImpl::terminate() {
    std::vector<ThreadImpl*> threads;
    std::vector<Handle> handles;
    {
        std::lock_guard guard(m_io.lock);
        for (auto& thread : m_threads)
            threads.push_back(thread.get());
    }
    for (ThreadImpl* thread : threads)
        thread->exit();
    {
        std::lock_guard guard(m_io.lock);
        for (auto& [handle, file] : m_handles)
            handles.push_back(handle);
    }
    for (Handle handle : handles)
        close(handle);
}

size_t ProcessImpl::handleCount() const {
    std::lock_guard guard(m_io.lock);
    return m_handles.size();
}

} // namespace ntemu
