// Interrupt routines of the driver side: HalGetInterruptVector, IoConnectInterrupt,
// IoDisconnectInterrupt, KeSynchronizeExecution.
#include "hal_impl.h"

#include "ntemu/faults.h"

namespace ntemu::hal {
namespace {

constexpr ULONG kFirstLine = 1;
constexpr ULONG kLastLine = 15;

bool lineOfVector(ULONG vector, unsigned* line) {
    if (vector < vectorForIrq(kFirstLine) || vector > vectorForIrq(kLastLine))
        return false;
    *line = vector - vectorForIrq(0);
    return true;
}

// The arguments IoConnectInterrupt refuses with STATUS_INVALID_PARAMETER.
bool validConnection(ULONG vector, KIRQL irql, KIRQL syncIrql, KINTERRUPT_MODE mode, KAFFINITY mask,
                     KAFFINITY allProcessors, unsigned* line) {
    return lineOfVector(vector, line) && irql == irqlForIrq(*line) && syncIrql >= irql &&
           syncIrql <= HIGH_LEVEL && (mode == LevelSensitive || mode == Latched) &&
           (mask & allProcessors) != 0;
}

} // namespace
} // namespace ntemu::hal

using namespace ntemu;

// Maps a bus interrupt level to the system vector (0x30 + line), its DIRQL (27 - line) and the
// processors it may run on. Returns 0 for a line that does not exist (0 or above 15) or a bus
// that does not. PASSIVE_LEVEL.
ULONG HalGetInterruptVector(INTERFACE_TYPE InterfaceType, ULONG BusNumber, ULONG BusInterruptLevel,
                            ULONG BusInterruptVector, PKIRQL Irql, PKAFFINITY Affinity) {
    static const char* const kRoutine = "HalGetInterruptVector";
    (void)BusInterruptVector;
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    if (Irql == nullptr || Affinity == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine, "null IRQL or affinity result");
        return 0;
    }
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr || BusInterruptLevel < hal::kFirstLine || BusInterruptLevel > hal::kLastLine)
        return 0;
    bool busExists = InterfaceType == PCIBus ? hal->impl().machine.busExists(BusNumber)
                                             : (InterfaceType == Isa && BusNumber == 0);
    if (!busExists)
        return 0;
    *Irql = irqlForIrq(BusInterruptLevel);
    *Affinity = hal->impl().interrupts.allProcessors();
    return vectorForIrq(BusInterruptLevel);
}

// Connects ServiceRoutine to a vector from HalGetInterruptVector. The routine runs at
// SynchronizeIrql (>= Irql) holding SpinLock (or a lock of the object's own) and may be called
// from the moment this returns. Sharing a line needs ShareVector and the same mode on every
// connection. STATUS_INVALID_PARAMETER for bad arguments or a line that cannot be shared,
// STATUS_INSUFFICIENT_RESOURCES when no object can be made. PASSIVE_LEVEL.
NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                            PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                            KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                            BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave) {
    static const char* const kRoutine = "IoConnectInterrupt";
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    if (InterruptObject == nullptr || ServiceRoutine == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine,
                         "null interrupt object pointer or service routine");
        return STATUS_INVALID_PARAMETER;
    }
    *InterruptObject = nullptr;
    Hal* hal = Hal::currentOrNull();
    if (hal == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto& controller = hal->impl().interrupts;
    unsigned line = 0;
    if (!hal::validConnection(Vector, Irql, SynchronizeIrql, InterruptMode, ProcessorEnableMask,
                              controller.allProcessors(), &line))
        return STATUS_INVALID_PARAMETER;
    if (FloatingSave)
        verifier::report(Check::InvalidParameter, kRoutine,
                         "FloatingSave must be FALSE on x86; connected without saving");
    if (faults::shouldFail(FaultPoint::IoConnectInterrupt))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto interrupt = std::make_unique<_KINTERRUPT>();
    interrupt->serviceRoutine = ServiceRoutine;
    interrupt->serviceContext = ServiceContext;
    interrupt->lock = SpinLock != nullptr ? SpinLock : &interrupt->builtInLock;
    interrupt->vector = Vector;
    interrupt->line = line;
    interrupt->irql = Irql;
    interrupt->syncIrql = SynchronizeIrql;
    interrupt->mode = InterruptMode;
    interrupt->share = ShareVector != FALSE;
    interrupt->owner = hal->impl().claims.ownerOf(hal::Space::Interrupt, line, 1);
    PKINTERRUPT object = interrupt.get();
    NTSTATUS status = controller.connect(std::move(interrupt));
    if (NT_SUCCESS(status))
        *InterruptObject = object;
    return status;
}

// Disconnects and frees an interrupt object. No call of its routine starts after this returns,
// and one under way has finished. PASSIVE_LEVEL.
VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    static const char* const kRoutine = "IoDisconnectInterrupt";
    irql::checkExactly(kRoutine, PASSIVE_LEVEL);
    Hal* hal = Hal::currentOrNull();
    if (InterruptObject == nullptr || hal == nullptr ||
        !hal->impl().interrupts.disconnect(InterruptObject))
        verifier::report(Check::InvalidParameter, kRoutine, "not a connected interrupt object");
}

// Runs SynchronizeRoutine at the interrupt's synchronize IRQL holding its lock, so that it
// never overlaps the service routine; returns what the routine returned. IRQL <= the
// interrupt's synchronize IRQL.
BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
    static const char* const kRoutine = "KeSynchronizeExecution";
    if (Interrupt == nullptr || SynchronizeRoutine == nullptr) {
        verifier::report(Check::InvalidParameter, kRoutine, "null interrupt or routine");
        return FALSE;
    }
    irql::checkAtMost(kRoutine, Interrupt->syncIrql);
    const KIRQL old = KeGetCurrentIrql();
    const bool raise = old < Interrupt->syncIrql;
    if (raise)
        KfRaiseIrql(Interrupt->syncIrql);
    const bool locked = hal::acquireInterruptLock(Interrupt->lock, kRoutine);
    BOOLEAN result;
    {
        DriverCallGuard guard("synchronize routine");
        result = SynchronizeRoutine(SynchronizeContext);
    }
    if (locked)
        hal::releaseInterruptLock(Interrupt->lock);
    if (raise)
        KfLowerIrql(old);
    return result;
}
