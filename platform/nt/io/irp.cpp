// IRPs: storage, IofCallDriver, IofCompleteRequest with its checks and buffered copy-back,
// and IoCancelIrp.
#include "io_internal.h"

#include <algorithm>
#include <cstdlib>

namespace ntemu {
namespace {

constexpr size_t kFreeListLimit = 64;
constexpr size_t kMinimumBuffer = 64;

size_t blockBytes(size_t bufferBytes) {
    return offsetof(IrpBlock, buffer) + bufferBytes;
}

} // namespace

IrpBlock* blockFromIrp(PIRP irp) {
    auto* block = reinterpret_cast<IrpBlock*>(reinterpret_cast<unsigned char*>(irp) -
                                              offsetof(IrpBlock, irp));
    return block->magic == IrpBlock::kMagic ? block : nullptr;
}

IrpAllocator::IrpAllocator(bool special) : m_special(special) {}

IrpAllocator::~IrpAllocator() {
    for (IrpBlock* block : m_free)
        std::free(block);
    if (m_special)
        specialpool::releaseAll();
}

IrpBlock* IrpAllocator::allocate(size_t bufferBytes) {
    IrpBlock* block = nullptr;
    if (m_special) {
        block = specialpool::allocate(bufferBytes);
    } else {
        std::lock_guard guard(m_mutex);
        // Newest first: the block just released is the one most likely still in cache.
        auto fits = std::find_if(m_free.rbegin(), m_free.rend(), [&](IrpBlock* candidate) {
            return candidate->capacity >= bufferBytes;
        });
        if (fits != m_free.rend()) {
            block = *fits;
            m_free.erase(std::next(fits).base());
        }
    }
    if (!block) {
        size_t capacity = std::max(bufferBytes, kMinimumBuffer);
        block = static_cast<IrpBlock*>(std::aligned_alloc(16, (blockBytes(capacity) + 15) & ~15));
        if (!block)
            return nullptr;
        block->capacity = capacity;
        block->mapping = nullptr;
        block->mappingLength = 0;
    }
    size_t capacity = block->capacity;
    void* mapping = block->mapping;
    size_t mappingLength = block->mappingLength;
    std::memset(block, 0, offsetof(IrpBlock, buffer));
    block->magic = IrpBlock::kMagic;
    block->capacity = capacity;
    block->mapping = mapping;
    block->mappingLength = mappingLength;
    return block;
}

void IrpAllocator::release(IrpBlock* block) {
    if (m_special) {
        specialpool::quarantine(block);
        return;
    }
    std::lock_guard guard(m_mutex);
    if (m_free.size() < kFreeListLimit)
        m_free.push_back(block);
    else
        std::free(block);
}

void IrpAllocator::discard(IrpBlock* block) {
    if (block->mapping)
        specialpool::unmap(block);
    else
        std::free(block);
}

void IoManager::Impl::releaseIrpIfDone(RequestRecord* record) {
    if (record->state != RequestRecord::State::Completed || record->pins || record->memoryReleased)
        return;
    record->memoryReleased = true;
    --liveIrps;
    irps.release(record->block);
}

} // namespace ntemu

using namespace ntemu;

namespace {

// Buffered copy-back: Information bytes unless the status is an error, never past the
// caller's buffer. Returns the bytes copied.
ULONG_PTR copyBack(PIRP Irp, RequestRecord* record) {
    if (!(Irp->Flags & IRP_INPUT_OPERATION) || NT_ERROR(Irp->IoStatus.Status) ||
        !record->userBuffer || !Irp->AssociatedIrp.SystemBuffer)
        return 0;
    ULONG_PTR bytes = Irp->IoStatus.Information;
    if (bytes > record->outputLength) {
        verifier::report(Check::InformationOverrun, "IofCompleteRequest",
                         "Information " + std::to_string(bytes) + " > output length " +
                             std::to_string(record->outputLength));
        bytes = record->outputLength;
    }
    std::memcpy(record->userBuffer, Irp->AssociatedIrp.SystemBuffer, bytes);
    return bytes;
}

// Checks in the kernel's order; returns false when the IRP must not be completed at all.
bool completionChecks(PIRP Irp, RequestRecord* record) {
    if (Irp->CurrentLocation > Irp->StackCount + 1 || !record || record->irp != Irp ||
        record->state != RequestRecord::State::Dispatched) {
        verifier::report(Check::DoubleCompletion, "IofCompleteRequest", "IRP already completed");
        return false;
    }
    if (IoSetCancelRoutine(Irp, nullptr))
        verifier::report(Check::CompleteWithCancelRoutine, "IofCompleteRequest");
    NTSTATUS status = Irp->IoStatus.Status;
    if (status == STATUS_PENDING || status == static_cast<NTSTATUS>(0xFFFFFFFF))
        verifier::report(Check::CompleteWithPendingStatus, "IofCompleteRequest");
    irql::checkAtMost("IofCompleteRequest", DISPATCH_LEVEL);
    return true;
}

NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

namespace ntemu {
PDRIVER_DISPATCH defaultDispatch() {
    return &invalidDeviceRequest;
}
} // namespace ntemu

// IofCallDriver: moves to the next stack location, records the target device in it and calls
// the driver's routine for its major function. Returns what the routine returns. IRQL <=
// DISPATCH_LEVEL (the I/O manager calls it at PASSIVE_LEVEL).
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!Irp || Irp->Type != IO_TYPE_IRP || !DeviceObject) {
        verifier::report(Check::InvalidParameter, "IofCallDriver", "not an IRP or no device");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        verifier::report(Check::InvalidParameter, "IofCallDriver", "no stack location left");
        return STATUS_INVALID_PARAMETER;
    }
    IrpBlock* block = blockFromIrp(Irp);
    if (!block) {
        verifier::report(Check::InvalidParameter, "IofCallDriver", "IRP not from the I/O manager");
        return STATUS_INVALID_PARAMETER;
    }
    --Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = &block->stack[Irp->CurrentLocation - 1];
    Irp->Tail.Overlay.CurrentStackLocation = stack;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    DriverCallGuard guard("IRP dispatch routine");
    return routine(DeviceObject, Irp);
}

// IofCompleteRequest: checks the IRP (double completion, cancel routine left set, pending
// status, IRQL), copies buffered output back, records the result for the waiting caller and
// releases the IRP. The IRP must not be touched afterwards. IRQL <= DISPATCH_LEVEL.
VOID IofCompleteRequest(PIRP Irp, CCHAR) {
    auto& io = IoManager::current().impl();
    IrpBlock* block = blockFromIrp(Irp);
    RequestRecord* record = block ? block->record : nullptr;
    specialpool::reportFaults();
    std::unique_lock held(io.lock);
    if (!completionChecks(Irp, record))
        return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 2);
    Irp->Tail.Overlay.CurrentStackLocation = stack + 1;
    ULONG_PTR copied = copyBack(Irp, record);
    if (!record->disowned) {
        record->status = Irp->IoStatus.Status;
        record->information = copied;
    }
    record->pendingReturned = Irp->PendingReturned;
    if (record->thread) {
        RemoveEntryList(&Irp->ThreadListEntry);
        if (record->pendingInDriver)
            --record->thread->pendingInDriver;
    }
    record->pendingInDriver = false;
    record->state = RequestRecord::State::Completed;
    const CompletionHook hook = record->disowned ? CompletionHook{} : record->hook;
    if (hook.run != nullptr) {
        // Pinned, the caller keeps waiting (and its buffers stay) until the hook has run.
        ++record->pins;
        const IoResult result{record->status, record->information};
        held.unlock();
        hook.run(hook.context, result);
        held.lock();
        --record->pins;
    }
    io.releaseIrpIfDone(record);
    io.changed.notify_all();
    io.finishIfDisowned(held, record);
}

// IoCancelIrp: under the cancel spin lock sets Cancel, takes the cancel routine and, when there
// was one, calls it at DISPATCH_LEVEL with the lock held (it must release the lock at
// Irp->CancelIrql). Returns whether a routine was called. IRQL <= DISPATCH_LEVEL.
BOOLEAN IoCancelIrp(PIRP Irp) {
    irql::checkAtMost("IoCancelIrp", DISPATCH_LEVEL);
    KIRQL previous;
    IoAcquireCancelSpinLock(&previous);
    // The lock word names its holder, so it tells whether the routine gave the lock back.
    PKSPIN_LOCK cancelLock = Kernel::cancelSpinLock();
    const ULONG_PTR heldByUs = __atomic_load_n(cancelLock, __ATOMIC_RELAXED);
    // Drivers with queues of their own read the flag without the cancel lock.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(previous);
        return FALSE;
    }
    Irp->CancelIrql = previous;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    routine(stack->DeviceObject, Irp);
    if (__atomic_load_n(cancelLock, __ATOMIC_RELAXED) == heldByUs) {
        verifier::report(Check::CancelLockHeld, "IoCancelIrp",
                         "cancel routine returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(previous);
    }
    return TRUE;
}
