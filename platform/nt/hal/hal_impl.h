// Private state of the HAL, shared by the files of platform/nt/hal and nowhere else.
#pragma once

#include "ntemu/hal.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An interrupt object. Created by IoConnectInterrupt, freed by IoDisconnectInterrupt; the
// interrupt controller owns it in between. Fields are fixed once connected.
struct _KINTERRUPT {
    PKSERVICE_ROUTINE serviceRoutine = nullptr;
    PVOID serviceContext = nullptr;
    KSPIN_LOCK builtInLock = 0; // used when the driver passes no lock of its own
    PKSPIN_LOCK lock = nullptr;
    ULONG vector = 0;
    unsigned line = 0;
    KIRQL irql = 0;
    KIRQL syncIrql = 0;
    KINTERRUPT_MODE mode = LevelSensitive;
    bool share = false;
    uint64_t sequence = 0;          // connection order on its line
    PDRIVER_OBJECT owner = nullptr; // driver holding the line's claim when connected, if known
};

namespace ntemu::hal {

constexpr unsigned kLineCount = 16; // IRQ 1 to 15; index 0 is never used

// --- Configuration space --------------------------------------------------------------------

// The function a PCI_SLOT_NUMBER names on `bus`, or null when nothing answers there: the bus
// does not exist, reserved slot bits are set, the function reads VendorID 0xFFFF, or it is a
// function above 0 of a device whose function 0 is not multi-function.
bus::PciFunction* locateFunction(bus::Machine& machine, ULONG busNumber, ULONG slot);
uint32_t readConfig32(bus::PciFunction& function, uint32_t offset);
uint16_t readConfig16(bus::PciFunction& function, uint32_t offset);
uint8_t readConfig8(bus::PciFunction& function, uint32_t offset);
void writeConfig32(bus::PciFunction& function, uint32_t offset, uint32_t value);
void writeConfig16(bus::PciFunction& function, uint32_t offset, uint16_t value);

// --- Resource claims ------------------------------------------------------------------------

enum class ClaimSource { Assigned, ReportedForDriver, ReportedForDevice };
enum class Space { Io, Memory, Interrupt, Dma };

// Claims are kept per owner: registry path (upper-cased; empty for reported claims), driver,
// device and the routine family that made them, as the registry keeps them per value.
struct ClaimKey {
    std::u16string path;
    uintptr_t driver = 0;
    uintptr_t device = 0;
    ClaimSource source = ClaimSource::Assigned;
    auto operator<=>(const ClaimKey&) const = default;
};

struct ClaimedRange {
    Space space;
    ULONGLONG start;
    ULONGLONG length; // interrupts and DMA channels have length 1
    bool shared;
};

// What one owner claims; no ranges at all gives its claim back.
struct ClaimEntry {
    ClaimKey key;
    std::vector<ClaimedRange> ranges;
};

class ClaimRegistry {
public:
    // Records each entry's ranges under its key, replacing what the key held, unless a range of
    // another owner conflicts and `overrideConflict` is false; all entries or none. Returns
    // whether there was a conflict.
    bool claim(std::vector<ClaimEntry> entries, bool overrideConflict);
    bool release(const ClaimKey& key);
    size_t count() const;
    // The one driver whose claims cover the range; null when none or several do.
    PDRIVER_OBJECT ownerOf(Space space, ULONGLONG start, ULONGLONG length) const;
    // Takes out every claim of `driver` and returns their keys.
    std::vector<ClaimKey> releaseAllOf(PDRIVER_OBJECT driver);

private:
    mutable std::mutex m_mutex;
    std::map<ClaimKey, std::vector<ClaimedRange>> m_claims;
};

// --- I/O space mappings ---------------------------------------------------------------------

struct Mapping {
    std::unique_ptr<uint8_t[]> memory;
    ULONGLONG physical = 0;
    SIZE_T length = 0;
    PDRIVER_OBJECT owner = nullptr;
};

class MappingTable {
public:
    void add(Mapping mapping);
    enum class RemoveResult { Removed, Unknown, LengthMismatch };
    RemoveResult remove(const void* address, SIZE_T length, SIZE_T* mappedLength);
    size_t count() const;
    // Takes out the mappings of `driver` and those whose owner is unknown.
    std::vector<Mapping> releaseAllOf(PDRIVER_OBJECT driver);

private:
    mutable std::mutex m_mutex;
    std::map<const void*, Mapping> m_mappings;
};

// --- Interrupt delivery ---------------------------------------------------------------------

// The interrupt controller and the interrupt thread. Devices drive lines through setLevel; the
// thread calls the connected service routines. m_mutex guards everything below it and is never
// held while a driver routine runs, so a device may call setLevel with its own locks held.
class InterruptController {
public:
    InterruptController(Kernel& kernel, KAFFINITY allProcessors);
    ~InterruptController();
    InterruptController(const InterruptController&) = delete;
    InterruptController& operator=(const InterruptController&) = delete;

    bus::IrqLine& line(unsigned irq);
    bus::IrqLine& addInput(unsigned irq);
    KAFFINITY allProcessors() const { return m_allProcessors; }

    // Takes ownership and appends to the line's chain; STATUS_INVALID_PARAMETER when the line
    // already has a connection that does not share with it in the same mode.
    NTSTATUS connect(std::unique_ptr<_KINTERRUPT> interrupt);
    // False when the object is not connected. Waits for a call of its routine in progress.
    bool disconnect(PKINTERRUPT interrupt);
    size_t connectedCount() const;
    bool masked(unsigned irq) const;
    // Waits until the interrupt thread is idle and no line can be serviced; true when it had to.
    bool drain();
    // Disconnects the objects of `driver` and those whose owner is unknown; returns their lines.
    std::vector<unsigned> disconnectAllOf(PDRIVER_OBJECT driver);

private:
    class Line;
    struct LineState {
        unsigned assertedInputs = 0; // the line is the wired OR of its inputs
        bool asserted = false;
        bool masked = false; // asserted with nobody claiming it; cleared when it drops
        bool edge = false;   // a rising edge not yet walked (latched lines)
        unsigned claimsWithoutDrop = 0;
        unsigned unclaimedWalks = 0; // walks in a row with no claim, the line never dropping
        uint64_t drops = 0;          // a rise after a drop is a new interrupt
    };

    void setLevel(Line& input, bool asserted);
    void run();
    int nextServiceable() const;
    bool latched(unsigned irq) const;
    _KINTERRUPT* nextConnection(unsigned irq, uint64_t after) const;
    void serviceLevel(unsigned irq, std::unique_lock<std::mutex>& lock);
    void serviceLatched(unsigned irq, std::unique_lock<std::mutex>& lock);
    void maskAndReport(unsigned irq, const char* why, std::unique_lock<std::mutex>& lock);
    bool callRoutine(_KINTERRUPT* interrupt, std::unique_lock<std::mutex>& lock);
    void disconnectLocked(PKINTERRUPT interrupt, std::unique_lock<std::mutex>& lock);

    Kernel& m_kernel;
    const KAFFINITY m_allProcessors;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;        // the interrupt thread waits here for work
    std::condition_variable m_idle;        // drains wait here for the thread to go idle
    std::condition_variable m_serviceDone; // disconnects wait here for a routine to return
    std::array<LineState, kLineCount> m_lines{};
    std::array<std::unique_ptr<Line>, kLineCount> m_lineObjects;
    std::vector<std::unique_ptr<Line>> m_extraInputs;
    std::vector<std::unique_ptr<_KINTERRUPT>> m_connections; // in connection order
    _KINTERRUPT* m_inService = nullptr;
    std::unique_ptr<_KINTERRUPT> m_retiring; // disconnected by its own routine, freed after it
    bool m_busy = false;
    bool m_stop = false;
    uint64_t m_nextSequence = 1;
    std::thread m_thread;
};

// Acquires and releases an interrupt spin lock at any IRQL (the ordinary spin-lock routines
// stop at DISPATCH_LEVEL). The lock word holds its owner's token, so that a thread asking
// again for a lock it holds is reported (naming `routine`) instead of spinning for ever; the
// acquisition then returns false and the caller must not release.
bool acquireInterruptLock(PKSPIN_LOCK lock, const char* routine);
void releaseInterruptLock(PKSPIN_LOCK lock);

// Makes port I/O reach `machine` (null: every port floats).
void publishPortMachine(bus::Machine* machine);

// The registry path as a claim key: upper-cased, as registry names compare.
std::u16string claimPath(PCUNICODE_STRING path);

} // namespace ntemu::hal

namespace ntemu {

// What the kernel's drains and unload checks hold: they outlive the HAL and find nothing once it
// is gone.
struct HalLiveness {
    std::mutex mutex;
    Hal::Impl* impl = nullptr;
};

struct Hal::Impl {
    Impl(Kernel& kernel, bus::Machine& machine);

    // Reports and releases what `driver` still holds when it unloads.
    void unloadCheck(PDRIVER_OBJECT driver, const char* routine);

    Kernel& kernel;
    bus::Machine& machine;
    hal::ClaimRegistry claims;
    hal::MappingTable mappings;
    hal::InterruptController interrupts;
    std::shared_ptr<HalLiveness> liveness = std::make_shared<HalLiveness>();
};

} // namespace ntemu
