// Requests from the I/O manager's side: building an IRP for a file object, calling the driver
// with the dispatch-return checks, waiting for completion, and the file-object references that
// decide when CLEANUP and CLOSE are sent.
#include "io_internal.h"

namespace ntemu {

PDRIVER_DISPATCH defaultDispatch();

RequestRecord* IoManager::Impl::takeRequest() {
    if (freeRequests.empty()) {
        requestPool.push_back(std::make_unique<RequestRecord>());
        freeRequests.push_back(requestPool.back().get());
    }
    RequestRecord* record = freeRequests.back();
    freeRequests.pop_back();
    *record = RequestRecord{};
    record->serial = nextSerial++;
    return record;
}

void IoManager::Impl::recycleRequest(RequestRecord* record) {
    record->state = RequestRecord::State::Free;
    freeRequests.push_back(record);
}

RequestRecord* IoManager::Impl::newRequest(FileRecord* file, ThreadImpl* thread,
                                           size_t bufferBytes) {
    IrpBlock* block = irps.allocate(bufferBytes);
    if (!block)
        return nullptr;
    std::lock_guard guard(lock);
    RequestRecord* record = takeRequest();
    record->block = block;
    record->irp = &block->irp;
    record->thread = thread;
    record->file = file;
    block->record = record;

    IRP* irp = &block->irp;
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION));
    irp->StackCount = 1;
    irp->CurrentLocation = 2;
    irp->RequestorMode = thread ? UserMode : KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(thread);
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    InitializeListHead(&irp->ThreadListEntry);
    block->stack[0].FileObject = &file->object;
    return record;
}

// Reads whether the driver marked the IRP pending, from the IRP while it is live or from what
// completion recorded. Caller holds lock.
static bool markedPending(const RequestRecord* record) {
    if (record->state == RequestRecord::State::Completed)
        return record->pendingReturned;
    return record->block->stack[0].Control & SL_PENDING_RETURNED;
}

void IoManager::Impl::finishIfDisowned(std::unique_lock<std::mutex>& held, RequestRecord* record) {
    if (!record->disowned || !record->callerGone ||
        record->state != RequestRecord::State::Completed || record->pins)
        return;
    FileRecord* file = record->holdsReference ? record->file : nullptr;
    recycleRequest(record);
    if (file)
        dropFileReference(held, file, true);
}

IoResult IoManager::Impl::dispatchAndWait(RequestRecord* record, DeviceRecord* device,
                                          bool* disowned) {
    {
        // Counted live only from here, where it joins its thread's list: a request that a test
        // sees as live can be cancelled.
        std::lock_guard guard(lock);
        ++liveIrps;
        if (record->thread)
            InsertTailList(&record->thread->irpList, &record->irp->ThreadListEntry);
        record->state = RequestRecord::State::Dispatched;
    }
    NTSTATUS returned = IofCallDriver(device->object, record->irp);
    specialpool::reportFaults();

    std::unique_lock held(lock);
    bool completed = record->state == RequestRecord::State::Completed;
    if (returned == STATUS_PENDING) {
        if (!markedPending(record))
            verifier::report(Check::PendingNotMarked, "IRP dispatch routine",
                             "STATUS_PENDING returned for an IRP not marked pending");
        if (!completed && record->thread) {
            record->pendingInDriver = true;
            ++record->thread->pendingInDriver;
            changed.notify_all();
        }
        changed.wait(held, [&] {
            return (record->state == RequestRecord::State::Completed && !record->pins) ||
                   record->disowned;
        });
        return finishWait(held, record, disowned);
    }
    if (!completed) {
        verifier::report(Check::DispatchLeftIrp, "IRP dispatch routine",
                         "returned neither STATUS_PENDING nor a completed IRP");
        record->disowned = true;
        record->userBuffer = nullptr;
        record->status = returned;
        record->information = 0;
        return finishWait(held, record, disowned);
    }
    if (record->pendingReturned)
        verifier::report(Check::PendingNotReturned, "IRP dispatch routine",
                         "IRP marked pending but dispatch returned another status");
    if (returned != record->status)
        verifier::report(Check::DispatchStatusMismatch, "IRP dispatch routine",
                         "returned status differs from IoStatus.Status");
    changed.wait(held, [&] { return !record->pins; });
    return finishWait(held, record, disowned);
}

// The caller's result. A disowned record is let go here: from now on its completion (or this
// call, when it has already come) recycles it. Caller holds lock via `held`.
IoResult IoManager::Impl::finishWait(std::unique_lock<std::mutex>& held, RequestRecord* record,
                                     bool* disowned) {
    IoResult result{record->status, record->information};
    *disowned = record->disowned;
    if (record->disowned) {
        record->callerGone = true;
        finishIfDisowned(held, record);
    }
    return result;
}

NTSTATUS IoManager::Impl::sendInternal(FileRecord* file, UCHAR major) {
    RequestRecord* record = newRequest(file, nullptr, 0);
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    IO_STACK_LOCATION& stack = record->block->stack[0];
    stack.MajorFunction = major;
    IRP* irp = record->irp;
    irp->Flags = IRP_SYNCHRONOUS_API;
    if (major == IRP_MJ_CREATE) {
        irp->Flags |= IRP_CREATE_OPERATION;
        stack.Parameters.Create.SecurityContext = &file->security;
        stack.Parameters.Create.Options = 1u << 24; // FILE_OPEN: the device must exist
        stack.Parameters.Create.ShareAccess =
            static_cast<USHORT>((file->object.SharedRead ? FILE_SHARE_READ : 0) |
                                (file->object.SharedWrite ? FILE_SHARE_WRITE : 0) |
                                (file->object.SharedDelete ? FILE_SHARE_DELETE : 0));
    } else if (major == IRP_MJ_CLOSE) {
        irp->Flags |= IRP_CLOSE_OPERATION;
    }
    bool disowned = false;
    IoResult result = dispatchAndWait(record, file->device, &disowned);
    if (!disowned) {
        std::lock_guard guard(lock);
        recycleRequest(record);
    }
    return result.status;
}

// Drops one reference; the last one sends CLOSE, from the close worker when the caller is a
// completion (it may run in a DPC or inside a driver routine). Caller holds lock via `held`.
void IoManager::Impl::dropFileReference(std::unique_lock<std::mutex>& held, FileRecord* file,
                                        bool deferClose) {
    if (--file->references > 0) {
        changed.notify_all();
        return;
    }
    if (deferClose) {
        closeQueue.push_back(file);
        if (!worker.joinable())
            worker = std::thread([this] { runCloseWorker(); });
        changed.notify_all();
        return;
    }
    held.unlock();
    closeFile(file);
    held.lock();
}

void IoManager::Impl::closeFile(FileRecord* file) {
    sendInternal(file, IRP_MJ_CLOSE);
    std::unique_lock held(lock);
    destroyFile(held, file);
}

// Frees a file object whose open failed or whose CLOSE was sent; a deleted device goes with its
// last file object. Caller holds lock.
void IoManager::Impl::destroyFile(std::unique_lock<std::mutex>&, FileRecord* file) {
    DeviceRecord* device = file->device;
    --device->fileCount;
    --device->object->ReferenceCount;
    if (device->deleted && device->fileCount == 0)
        freeDevice(device, "IoDeleteDevice");
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (it->get() == file) {
            files.erase(it);
            break;
        }
    }
    changed.notify_all();
}

void IoManager::Impl::runCloseWorker() {
    irql::set(PASSIVE_LEVEL);
    std::unique_lock held(lock);
    while (true) {
        changed.wait(held, [&] { return stopWorker || !closeQueue.empty(); });
        if (closeQueue.empty())
            return;
        FileRecord* file = closeQueue.front();
        closeQueue.pop_front();
        workerBusy = true;
        held.unlock();
        closeFile(file);
        held.lock();
        workerBusy = false;
        changed.notify_all();
    }
}

bool IoManager::Impl::drainCloseWorker() {
    specialpool::reportFaults();
    std::unique_lock held(lock);
    if (closeQueue.empty() && !workerBusy)
        return false;
    changed.wait(held, [&] { return closeQueue.empty() && !workerBusy; });
    return true;
}

// Cancels pinned requests outside the lock, then unpins them (their IRP memory may go now).
void IoManager::Impl::cancelRequests(std::vector<RequestRecord*>& pinned) {
    for (RequestRecord* record : pinned)
        IoCancelIrp(record->irp);
    std::unique_lock held(lock);
    for (RequestRecord* record : pinned) {
        --record->pins;
        releaseIrpIfDone(record);
        finishIfDisowned(held, record);
    }
    pinned.clear();
    changed.notify_all();
}

} // namespace ntemu
