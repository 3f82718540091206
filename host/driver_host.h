// The driver host: boots the kernel layer on a simulated machine, loads the VORNpci driver into
// it and lets callers open board devices by name and send requests from threads of their own.
// Tests run it on the virtual clock; the daemon and the in-process library on the real one.
#pragma once

#include "health.h"
#include "ntemu/clock.h"
#include "ntemu/io.h"
#include "ntemu/system.h"
#include "sim/machine.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vornhost {

class EventFanout;
class HostProcess;

struct HostOptions {
    // Virtual time (advanced by hand) for tests; the real clock otherwise.
    bool virtualClock = true;
    // UTC system time the machine starts at, 100 ns units since 1601-01-01 (virtual clock only).
    int64_t systemTimeAtStart = 0;
    // Kernel options the host passes on (the clock is the host's own).
    bool specialIrpPool = true;
    unsigned processors = 2;
    // Events each event subscriber's queue holds before it drops new ones.
    size_t eventQueueCapacity = 4096;
};

class DriverHost {
public:
    // Builds the machine and boots the kernel layer on it; the driver is not loaded yet.
    // Throws std::invalid_argument for a description the machine refuses.
    explicit DriverHost(const vornsim::MachineDescription& description, HostOptions options = {});
    // Unloads the driver if it is still loaded, then takes the machine down.
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Runs DriverEntry; the status it returned. A failed load leaves nothing loaded.
    NTSTATUS load();
    // Runs the unload and its leak checks; false when the driver could not unload.
    bool unload();
    bool loaded() const { return m_driver != nullptr; }
    PDRIVER_OBJECT driver() const { return m_driver; }

    ntemu::System& system() { return *m_system; }
    ntemu::IoManager& io() { return m_system->io(); }
    ntemu::Clock& clock() { return *m_clock; }
    // The virtual clock, or null when the host runs on the real one.
    ntemu::VirtualClock* virtualClock() { return m_virtualClock; }
    vornsim::SimMachine& machine() { return *m_machine; }
    // The board of card `index` in description order, or null.
    vornsim::BoardModel* board(size_t index) { return m_machine->board(index); }

    // The board event subscriptions of this host, made at the first use; their pumps stop
    // before the driver unloads.
    EventFanout& events();
    // The health record of every card's board, by card index.
    HealthBook& health() { return *m_health; }
    // Looks at board `index` now, the driver's event counters included; false for an index
    // without a board. While a program holds the board without sharing, the driver cannot be
    // asked and its counters stay as last read.
    bool boardHealth(uint32_t index, BoardHealth* health);
    // Keeps a feed's latest sample of board `index` and who reported it: STATUS_NO_SUCH_DEVICE
    // for an index without a board, STATUS_INVALID_PARAMETER for a negative error bound.
    NTSTATUS recordSyncSample(uint32_t index, const SyncSample& sample,
                              const SampleReporter& reporter);
    // Held by the host's brief opens of a board for looks of its own, and by an open without
    // sharing, so that neither makes the other fail.
    std::mutex& briefOpenLock() { return m_briefOpenLock; }

    // A user process whose threads send requests; "\\.\VORNpci0" and the like open devices.
    std::shared_ptr<ntemu::Process> createProcess(std::string name = {});

    static const char16_t* const kDriverName;
    static const char16_t* const kRegistryPath;

private:
    void stopEventPumps();
    // Reads the driver's event counters of board `index` into the health record.
    void readDriverEventCounters(uint32_t index);

    std::unique_ptr<ntemu::Clock> m_ownedClock;
    ntemu::Clock* m_clock = nullptr;
    ntemu::VirtualClock* m_virtualClock = nullptr;
    std::unique_ptr<vornsim::SimMachine> m_machine;
    std::unique_ptr<ntemu::System> m_system;
    PDRIVER_OBJECT m_driver = nullptr;
    const size_t m_eventQueueCapacity;
    std::mutex m_eventsLock;
    std::unique_ptr<EventFanout> m_events;
    std::unique_ptr<HealthBook> m_health;
    std::mutex m_briefOpenLock;                 // also guards m_lookProcess and m_looksAllowed
    std::unique_ptr<HostProcess> m_lookProcess; // made at the first look, ended at unload
    bool m_looksAllowed = false;                // while the driver is loaded
};

// The name a board device is opened by: "\\.\VORNpci" + n.
std::u16string deviceName(unsigned index);
// n of a board device name, "\\.\VORNpci" + n; false for any other name.
bool deviceIndex(std::u16string_view name, uint32_t* index);

} // namespace vornhost
