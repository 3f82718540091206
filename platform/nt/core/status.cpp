// Raising a status: the C++ form of NT's non-continuable status exception.
#include "kernel_impl.h"

using namespace ntemu;

// IRQL <= APC_LEVEL. Does not return: throws NtStatusException carrying Status.
[[noreturn]] VOID ExRaiseStatus(NTSTATUS Status) {
    irql::checkAtMost("ExRaiseStatus", APC_LEVEL);
    throw NtStatusException{Status};
}
