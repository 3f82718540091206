// The driver host: machine, kernel layer and the VORNpci driver wired together.
#include "driver_host.h"
#include "event_fanout.h"

#include "vornpci_device.h"

namespace vornhost {

const char16_t* const DriverHost::kDriverName = u"\\Driver\\VORNpci";
const char16_t* const DriverHost::kRegistryPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VORNpci";

DriverHost::DriverHost(const vornsim::MachineDescription& description, HostOptions options) {
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
}

DriverHost::~DriverHost() {
    if (m_driver != nullptr)
        unload();
    m_events.reset();
    m_machine->unwireInterrupts();
    m_system.reset();
    m_machine.reset();
}

NTSTATUS DriverHost::load() {
    if (m_driver != nullptr)
        return STATUS_UNSUCCESSFUL;
    ntemu::DriverLoad result = m_system->io().loadDriver(DriverEntry, kDriverName, kRegistryPath);
    m_driver = result.driver;
    return result.status;
}

bool DriverHost::unload() {
    if (m_driver == nullptr)
        return false;
    stopEventPumps();
    if (!m_system->io().unloadDriver(m_driver))
        return false;
    m_driver = nullptr;
    return true;
}

EventFanout& DriverHost::events() {
    std::lock_guard guard(m_eventsLock);
    if (!m_events)
        m_events = std::make_unique<EventFanout>(
            *m_clock, [this](std::u16string_view device, std::unique_ptr<EventSource>* source) {
                return openDriverEventSource(*this, device, source);
            });
    return *m_events;
}

void DriverHost::stopEventPumps() {
    std::lock_guard guard(m_eventsLock);
    if (m_events)
        m_events->stopAll();
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
