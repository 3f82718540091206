// The driver host: machine, kernel layer and the VORNpci driver wired together.
#include "driver_host.h"
#include "event_fanout.h"
#include "host_process.h"
#include "vornpci_ioctl.h"

#include "vornpci_device.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace vornhost {
namespace {

// The driver numbers its devices as it finds the cards: bus by bus, slot by slot.
std::vector<size_t> cardsInDeviceOrder(const vornsim::MachineDescription& description) {
    const auto& cards = description.cards;
    std::vector<size_t> order(cards.size());
    std::iota(order.begin(), order.end(), size_t{0});
    // A plain sort with the index as the last key: stable without a temporary buffer.
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::tie(cards[a].bus, cards[a].slot, cards[a].function, a) <
               std::tie(cards[b].bus, cards[b].slot, cards[b].function, b);
    });
    return order;
}

} // namespace

const char16_t* const DriverHost::kDriverName = u"\\Driver\\VORNpci";
const char16_t* const DriverHost::kRegistryPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VORNpci";

DriverHost::DriverHost(const vornsim::MachineDescription& description, HostOptions options)
    : m_eventQueueCapacity(options.eventQueueCapacity) {
    if (options.virtualClock) {
        auto clock = std::make_unique<ntemu::VirtualClock>(options.systemTimeAtStart);
        m_virtualClock = clock.get();
        m_ownedClock = std::move(clock);
    } else {
        m_ownedClock = std::make_unique<ntemu::RealClock>();
    }
    m_clock = m_ownedClock.get();
    m_machine = std::make_unique<vornsim::SimMachine>(*m_clock, description);
    ntemu::KernelOptions kernel;
    kernel.clock = m_clock;
    kernel.processors = options.processors;
    kernel.specialIrpPool = options.specialIrpPool;
    m_system = std::make_unique<ntemu::System>(*m_machine, kernel);
    m_machine->wireInterrupts(
        [this](unsigned irq) -> ntemu::bus::IrqLine* { return &m_system->hal().irqLine(irq); });
    m_health = std::make_unique<HealthBook>(cardsInDeviceOrder(description));
}

DriverHost::~DriverHost() {
    if (m_driver != nullptr)
        unload();
    m_events.reset();
    m_lookProcess.reset();
    m_machine->unwireInterrupts();
    m_system.reset();
    m_machine.reset();
}

NTSTATUS DriverHost::load() {
    if (m_driver != nullptr)
        return STATUS_UNSUCCESSFUL;
    ntemu::DriverLoad result = m_system->io().loadDriver(DriverEntry, kDriverName, kRegistryPath);
    m_driver = result.driver;
    std::lock_guard guard(m_briefOpenLock);
    m_looksAllowed = m_driver != nullptr;
    return result.status;
}

bool DriverHost::unload() {
    if (m_driver == nullptr)
        return false;
    stopEventPumps();
    {
        std::lock_guard guard(m_briefOpenLock);
        m_looksAllowed = false;
        m_lookProcess.reset();
    }
    if (!m_system->io().unloadDriver(m_driver))
        return false;
    m_driver = nullptr;
    return true;
}

EventFanout& DriverHost::events() {
    std::lock_guard guard(m_eventsLock);
    if (!m_events)
        m_events = std::make_unique<EventFanout>(
            *m_clock,
            [this](std::u16string_view device, std::unique_ptr<EventSource>* source) {
                return openDriverEventSource(*this, device, source);
            },
            m_eventQueueCapacity,
            [this](std::u16string_view device) -> EventTally {
                uint32_t board = 0;
                if (!deviceIndex(device, &board))
                    return {};
                return [this, board](uint64_t delivered, uint64_t dropped) {
                    m_health->addSubscriberEvents(board, delivered, dropped);
                };
            });
    return *m_events;
}

void DriverHost::stopEventPumps() {
    std::lock_guard guard(m_eventsLock);
    if (m_events)
        m_events->stopAll();
}

// A handle of the host's own, shared, open only for the one request: the driver admits it beside
// any shared handle, and an open without sharing waits for it (briefOpenLock).
void DriverHost::readDriverEventCounters(uint32_t index) {
    if (index >= m_health->boardCount())
        return;
    std::lock_guard guard(m_briefOpenLock);
    if (!m_looksAllowed)
        return;
    if (!m_lookProcess)
        m_lookProcess =
            std::make_unique<HostProcess>(*this, "health", 1, HostProcess::Accounting::HostOwn);
    uint64_t handle = 0;
    if (m_lookProcess->open(deviceName(index), FILE_SHARE_READ | FILE_SHARE_WRITE, &handle) !=
        STATUS_SUCCESS)
        return;
    vornpci::EventCountersRecord counters{};
    const ChannelResult result =
        m_lookProcess->deviceIoControl(0, handle, vornpci::IOCTL_VORNPCI_GET_EVENT_COUNTERS,
                                       nullptr, 0, &counters, sizeof counters);
    m_lookProcess->close(handle);
    if (result.status == STATUS_SUCCESS && result.information >= sizeof counters)
        m_health->noteDriverEventCounters(index, counters.tagged, counters.fifoOverflows,
                                          counters.ringDrops);
}

bool DriverHost::boardHealth(uint32_t index, BoardHealth* health) {
    readDriverEventCounters(index);
    return m_health->snapshot(index, *m_machine, *m_clock, health);
}

NTSTATUS DriverHost::recordSyncSample(uint32_t index, const SyncSample& sample,
                                      const SampleReporter& reporter) {
    if (sample.errorBoundNanos < 0)
        return STATUS_INVALID_PARAMETER;
    if (!m_health->recordSample(index, *m_machine, sample, reporter, m_clock->systemTime()))
        return STATUS_NO_SUCH_DEVICE;
    return STATUS_SUCCESS;
}

std::shared_ptr<ntemu::Process> DriverHost::createProcess(std::string name) {
    return m_system->io().createProcess(std::move(name));
}

std::u16string deviceName(unsigned index) {
    std::u16string name = u"\\\\.\\VORNpci";
    for (char digit : std::to_string(index))
        name += char16_t(digit);
    return name;
}

} // namespace vornhost

namespace vornhost {

bool deviceIndex(std::u16string_view name, uint32_t* index) {
    constexpr std::u16string_view prefix = u"\\\\.\\VORNpci";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
        name.substr(0, prefix.size()) != prefix)
        return false;
    uint32_t value = 0;
    for (char16_t digit : name.substr(prefix.size())) {
        if (digit < u'0' || digit > u'9')
            return false;
        value = value * 10 + uint32_t(digit - u'0');
    }
    *index = value;
    return true;
}

} // namespace vornhost
