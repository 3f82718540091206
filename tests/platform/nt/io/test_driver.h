// A small driver for the I/O manager's tests: one device with a link, a queue of pending
// requests that a DPC or a timer DPC completes, and request codes that break the rules on
// purpose so that each verifier check can be made to fire.
#pragma once

#include "ntemu/io.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace iotest {

constexpr ULONG ioCode(ULONG function, ULONG method = METHOD_BUFFERED,
                       ULONG access = FILE_ANY_ACCESS) {
    return CTL_CODE(0x8123, 0x800 + function, method, access);
}

// Input of kReply: the driver completes with this status and Information and leaves the system
// buffer as it found it.
struct ReplyInput {
    NTSTATUS status;
    ULONG information;
};

constexpr ULONG kReply = ioCode(0);
constexpr ULONG kPend = ioCode(1);      // queued; completed by a DPC or cancelled
constexpr ULONG kPendTimer = ioCode(2); // queued; input LONG: due time for the timer
constexpr ULONG kCompleteTwice = ioCode(3);
constexpr ULONG kCompleteWithCancelRoutine = ioCode(4);
constexpr ULONG kCompletePendingStatus = ioCode(5);
constexpr ULONG kMarkThenFail = ioCode(6);
constexpr ULONG kPendingUnmarked = ioCode(7);
constexpr ULONG kStatusMismatch = ioCode(8);
constexpr ULONG kLeaveIrp = ioCode(9);
constexpr ULONG kCompleteAboveDispatch = ioCode(10);
constexpr ULONG kTouchAfterCompletion = ioCode(11);
constexpr ULONG kPendBadCancel = ioCode(12); // its cancel routine keeps the cancel lock
constexpr ULONG kReadOnly = ioCode(13, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr ULONG kNeither = ioCode(14, METHOD_NEITHER);
constexpr ULONG kPendUncancellable = ioCode(15); // pending with no cancel routine

constexpr ULONG kCompletedMarker = 0xC0FFEE; // written by the DPC into a completed request
constexpr ULONG kLeakTag = 0x6B61654C;       // "Leak" in a pool dump

struct Event {
    UCHAR major;
    PFILE_OBJECT file;
    KIRQL irql;
};

// What the driver does and saw. Driver routines are plain functions, so this is global; each
// test resets it.
struct Config {
    bool failEntry = false;        // DriverEntry leaves a device, a link and pool, then fails
    bool leakPoolAtUnload = false; // DriverEntry keeps a block that DriverUnload never frees
    bool exclusive = false;
    bool cleanupCancels = true; // CLEANUP completes the file object's pending requests
    NTSTATUS createStatus = STATUS_SUCCESS;
};

struct State {
    std::mutex mutex;
    std::vector<Event> events;
    USHORT lastShareAccess = 0;
    ACCESS_MASK lastDesiredAccess = 0;
    PIRP leftIrp = nullptr;
    std::atomic<int> completions{0};
    std::atomic<int> cancellations{0};
};

Config& config();
State& state();
void reset();
std::vector<UCHAR> majors();

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// Queues the device's DPC, which completes every pending request it can claim.
void completePendingFromDpc(PDEVICE_OBJECT device);
// Completes the request a dispatch routine left without completing, here or from a DPC.
void completeLeftIrp();
void completeLeftIrpFromDpc();

} // namespace iotest
