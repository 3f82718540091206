// The I/O manager object: loading and unloading drivers with their leak checks, processes, and
// inspection of the object namespace for tests.
#include "io_internal.h"

#include <atomic>
#include <cassert>
#include <chrono>

namespace ntemu {

PDRIVER_DISPATCH defaultDispatch();

namespace {

std::atomic<IoManager*> g_current{nullptr};

// Runs a driver routine at PASSIVE_LEVEL on a system thread of its own and waits for it.
template <typename Routine>
void onSystemThread(DriverRecord* driver, const char* name, Routine routine) {
    std::thread thread([&] {
        irql::set(PASSIVE_LEVEL);
        currentDriver() = driver;
        {
            DriverCallGuard guard(name);
            routine();
        }
        currentDriver() = nullptr;
    });
    thread.join();
}

std::string narrow(std::u16string_view text) {
    std::string result;
    for (char16_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

} // namespace

IoManager::Impl::Impl(Kernel& owner) : kernel(owner), irps(owner.options().specialIrpPool) {}

IoManager::Impl::~Impl() {
    {
        std::lock_guard guard(lock);
        stopWorker = true;
        changed.notify_all();
    }
    if (worker.joinable())
        worker.join();
    for (auto& [object, device] : devices)
        ::operator delete(static_cast<void*>(const_cast<DEVICE_OBJECT*>(object)),
                          std::align_val_t(16));
    for (auto& record : requestPool)
        if (record->block && record->state != RequestRecord::State::Free && !record->memoryReleased)
            irps.discard(record->block);
}

DriverRecord* IoManager::Impl::findDriver(const DRIVER_OBJECT* object) {
    for (auto& driver : drivers)
        if (&driver->object == object)
            return driver.get();
    return nullptr;
}

IoManager::IoManager(Kernel& kernel) : m_impl(std::make_unique<Impl>(kernel)) {
    IoManager* expected = nullptr;
    bool installed = g_current.compare_exchange_strong(expected, this);
    assert(installed && "one IoManager at a time");
    (void)installed;
    // The kernel keeps its drains for its whole life; this one goes quiet with the manager.
    auto link = m_impl->drainLink;
    link->impl = m_impl.get();
    kernel.addDrain([link] {
        std::lock_guard guard(link->mutex);
        return link->impl && link->impl->drainCloseWorker();
    });
}

IoManager::~IoManager() {
    {
        std::lock_guard guard(m_impl->drainLink->mutex);
        m_impl->drainLink->impl = nullptr;
    }
    m_impl.reset();
    g_current.store(nullptr);
}

IoManager& IoManager::current() {
    IoManager* manager = g_current.load();
    assert(manager && "no IoManager is active");
    return *manager;
}

IoManager* IoManager::currentOrNull() {
    return g_current.load();
}

IoManager::Impl& IoManager::impl() {
    return *m_impl;
}

std::shared_ptr<Process> IoManager::createProcess(std::string name) {
    return std::make_shared<ProcessImpl>(*m_impl, std::move(name));
}

void IoManager::setCancelBound(unsigned milliseconds) {
    std::lock_guard guard(m_impl->lock);
    m_impl->cancelBoundMilliseconds = milliseconds;
}

PDEVICE_OBJECT IoManager::findDevice(std::u16string_view deviceName) const {
    std::lock_guard guard(m_impl->lock);
    auto found = m_impl->deviceNames.find(upperCase(deviceName));
    return found == m_impl->deviceNames.end() ? nullptr : found->second->object;
}

bool IoManager::linkExists(std::u16string_view linkName) const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->links.count(linkKey(linkName)) != 0;
}

size_t IoManager::liveIrpCount() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->liveIrps;
}

// Reports every device and link the driver left behind and removes them, so that a failed or
// careless driver leaves nothing in the namespace.
static void reportLeftovers(IoManager::Impl& io, DriverRecord* driver, const char* routine) {
    std::lock_guard guard(io.lock);
    std::vector<DeviceRecord*> left;
    for (auto& [object, device] : io.devices)
        if (device->driver == driver && !device->deleted)
            left.push_back(device.get());
    for (DeviceRecord* device : left) {
        verifier::report(Check::ResourceLeak, routine,
                         "device object " + narrow(device->nameKey) + " not deleted");
        device->deleted = true;
        if (!device->nameKey.empty())
            io.deviceNames.erase(device->nameKey);
        device->nameKey.clear();
        if (device->fileCount == 0)
            io.freeDevice(device, routine);
    }
    for (auto it = io.links.begin(); it != io.links.end();) {
        if (it->second.driver != driver) {
            ++it;
            continue;
        }
        verifier::report(Check::ResourceLeak, routine,
                         "symbolic link " + narrow(it->first) + " not deleted");
        it = io.links.erase(it);
    }
}

// Drops the driver object, unless a device still held open by a file object points at it.
static void forgetDriver(IoManager::Impl& io, DriverRecord* driver) {
    std::lock_guard guard(io.lock);
    auto& drivers = io.drivers;
    for (auto it = drivers.begin(); it != drivers.end(); ++it) {
        if (it->get() != driver)
            continue;
        // Devices still held open by file objects keep pointing at the driver object.
        for (auto& [object, device] : io.devices)
            if (device->driver == driver)
                return;
        drivers.erase(it);
        return;
    }
}

DriverLoad IoManager::loadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name,
                                 std::u16string_view registryPath) {
    auto owned = std::make_unique<DriverRecord>();
    DriverRecord* driver = owned.get();
    driver->nameText = u"\\Driver\\" + std::u16string(name);
    driver->registryText = registryPath;
    DRIVER_OBJECT& object = driver->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverName = {static_cast<USHORT>(driver->nameText.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(driver->nameText.size() * sizeof(WCHAR)),
                         driver->nameText.data()};
    driver->registryPath = {static_cast<USHORT>(driver->registryText.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(driver->registryText.size() * sizeof(WCHAR)),
                            driver->registryText.data()};
    object.DriverInit = entry;
    for (auto& slot : object.MajorFunction)
        slot = defaultDispatch();
    {
        std::lock_guard guard(m_impl->lock);
        m_impl->drivers.push_back(std::move(owned));
    }

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    onSystemThread(driver, "DriverEntry", [&] { status = entry(&object, &driver->registryPath); });
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(m_impl->lock);
        for (PDEVICE_OBJECT device = object.DeviceObject; device; device = device->NextDevice)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        driver->loaded = true;
        return {status, &object};
    }
    reportLeftovers(*m_impl, driver, "DriverEntry");
    m_impl->kernel.reportPoolLeaks("DriverEntry");
    m_impl->kernel.runUnloadChecks(&object, "DriverEntry");
    forgetDriver(*m_impl, driver);
    return {status, nullptr};
}

bool IoManager::unloadDriver(PDRIVER_OBJECT object, unsigned boundMilliseconds) {
    Impl& io = *m_impl;
    DriverRecord* driver = nullptr;
    {
        std::unique_lock held(io.lock);
        driver = io.findDriver(object);
        if (!driver || !driver->loaded || !object->DriverUnload)
            return false;
        driver->unloadPending = true;
        auto openFiles = [&] {
            for (auto& file : io.files)
                if (file->device->driver == driver)
                    return true;
            return false;
        };
        if (!io.changed.wait_for(held, std::chrono::milliseconds(boundMilliseconds),
                                 [&] { return !openFiles(); })) {
            driver->unloadPending = false;
            return false;
        }
    }
    onSystemThread(driver, "DriverUnload", [&] { object->DriverUnload(object); });
    reportLeftovers(io, driver, "DriverUnload");
    io.kernel.reportPoolLeaks("DriverUnload");
    io.kernel.runUnloadChecks(object, "DriverUnload");
    driver->loaded = false;
    forgetDriver(io, driver);
    return true;
}

} // namespace ntemu
