// The interrupt controller: IRQ lines that devices drive, and the interrupt thread that calls
// the connected service routines at device IRQL.
#include "hal_impl.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace ntemu::hal {

// Claims in a row, with the line never dropping in between, that make an interrupt storm.
constexpr unsigned kStormClaims = 10'000;

// Walks in a row that find no routine claiming a level line which stays asserted, before the
// line is reported and masked. On NT such a line interrupts again at once, without end, so a
// routine gets as many further calls as the device needs to show what it raised; the bound
// only keeps a line that nobody will ever claim from hanging the machine. A timing board may
// hide a FIFO byte behind an asserted line for up to 1,000 status reads (the slowest FIFO the
// board model allows), and its routine reads the status at least once a call before it
// disowns an interrupt: 1,024 walks let the slowest byte show before the line counts as
// nobody's.
constexpr unsigned kUnclaimedWalks = 1'024;

// One input of a line. `level` is guarded by the controller's mutex.
class InterruptController::Line final : public bus::IrqLine {
public:
    Line(InterruptController& controller, unsigned irq) : controller(controller), irq(irq) {}
    void setLevel(bool asserted) override { controller.setLevel(*this, asserted); }

    InterruptController& controller;
    const unsigned irq;
    bool level = false;
};

namespace {
thread_local char t_lockToken;
} // namespace

bool acquireInterruptLock(PKSPIN_LOCK lock, const char* routine) {
    const auto token = reinterpret_cast<ULONG_PTR>(&t_lockToken);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token) {
        verifier::report(Check::SpinLockRecursion, routine,
                         "interrupt spin lock already held by this thread");
        return false;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return true;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0)
            std::this_thread::yield();
    }
}

void releaseInterruptLock(PKSPIN_LOCK lock) {
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

InterruptController::InterruptController(Kernel& kernel, KAFFINITY allProcessors)
    : m_kernel(kernel), m_allProcessors(allProcessors) {
    for (unsigned irq = 1; irq < kLineCount; ++irq)
        m_lineObjects[irq] = std::make_unique<Line>(*this, irq);
    m_thread = std::thread([this] { run(); });
}

InterruptController::~InterruptController() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_idle.notify_all();
    m_thread.join();
}

namespace {
void checkLine(unsigned irq) {
    if (irq == 0 || irq >= kLineCount)
        throw std::out_of_range("IRQ " + std::to_string(irq) + " is not a line (1 to 15)");
}
} // namespace

bus::IrqLine& InterruptController::line(unsigned irq) {
    checkLine(irq);
    return *m_lineObjects[irq];
}

bus::IrqLine& InterruptController::addInput(unsigned irq) {
    checkLine(irq);
    std::lock_guard lock(m_mutex);
    m_extraInputs.push_back(std::make_unique<Line>(*this, irq));
    return *m_extraInputs.back();
}

// A device drives its input. Never calls back into the device: it only records the level and
// wakes the interrupt thread.
void InterruptController::setLevel(Line& input, bool asserted) {
    {
        std::lock_guard lock(m_mutex);
        if (input.level == asserted)
            return;
        input.level = asserted;
        LineState& state = m_lines[input.irq];
        state.assertedInputs += asserted ? 1 : -1;
        bool wasAsserted = state.asserted;
        state.asserted = state.assertedInputs != 0;
        if (state.asserted && !wasAsserted)
            state.edge = true;
        if (!state.asserted) {
            ++state.drops;
            state.masked = false;
            state.claimsWithoutDrop = 0;
            state.unclaimedWalks = 0;
        }
    }
    m_wake.notify_one();
}

bool InterruptController::latched(unsigned irq) const {
    for (const auto& connection : m_connections)
        if (connection->line == irq)
            return connection->mode == Latched;
    return false; // PCI lines with nobody connected are level-sensitive
}

// The line to service next, highest priority (lowest IRQ number) first; -1 when none.
int InterruptController::nextServiceable() const {
    for (unsigned irq = 1; irq < kLineCount; ++irq) {
        const LineState& state = m_lines[irq];
        if (latched(irq) ? state.edge : (state.asserted && !state.masked))
            return static_cast<int>(irq);
    }
    return -1;
}

_KINTERRUPT* InterruptController::nextConnection(unsigned irq, uint64_t after) const {
    for (const auto& connection : m_connections)
        if (connection->line == irq && connection->sequence > after)
            return connection.get();
    return nullptr;
}

void InterruptController::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        int irq = nextServiceable();
        if (irq < 0) {
            m_idle.notify_all();
            m_wake.wait(lock);
            continue;
        }
        m_busy = true;
        lock.unlock();
        const bool entered = m_kernel.enterInterrupt();
        lock.lock();
        if (latched(static_cast<unsigned>(irq)))
            serviceLatched(static_cast<unsigned>(irq), lock);
        else
            serviceLevel(static_cast<unsigned>(irq), lock);
        lock.unlock();
        m_kernel.leaveInterrupt(entered);
        lock.lock();
        m_busy = false;
    }
}

// Calls the chain in connection order while the line stays asserted, stopping at the first
// routine that claims the interrupt. A line nobody claims is walked again, as NT would, and
// after kUnclaimedWalks such walks in a row reported and masked until it drops, rather than
// re-interrupting for ever; so is one that routines keep claiming without
// the device ever dropping it (an interrupt storm). A line that dropped during the walk and
// rose again carries a new interrupt, which the routines have not all seen yet: it is walked
// again, not reported.
void InterruptController::serviceLevel(unsigned irq, std::unique_lock<std::mutex>& lock) {
    LineState& state = m_lines[irq];
    state.edge = false;
    const uint64_t dropsBefore = state.drops;
    uint64_t last = 0;
    while (state.asserted && !state.masked) {
        _KINTERRUPT* next = nextConnection(irq, last);
        if (next == nullptr)
            break;
        last = next->sequence;
        if (!callRoutine(next, lock))
            continue;
        state.unclaimedWalks = 0;
        if (state.asserted && !state.masked && !m_stop && ++state.claimsWithoutDrop >= kStormClaims)
            maskAndReport(irq,
                          "was claimed again and again without the device dropping it "
                          "(interrupt storm)",
                          lock);
        return;
    }
    if (!state.asserted || state.masked || m_stop || state.drops != dropsBefore)
        return;
    if (last != 0 && ++state.unclaimedWalks < kUnclaimedWalks)
        return;
    maskAndReport(irq,
                  last == 0 ? "is asserted and no routine is connected"
                            : "is asserted and no connected routine claimed it",
                  lock);
}

void InterruptController::maskAndReport(unsigned irq, const char* why,
                                        std::unique_lock<std::mutex>& lock) {
    m_lines[irq].masked = true;
    m_lines[irq].claimsWithoutDrop = 0;
    m_lines[irq].unclaimedWalks = 0;
    char detail[160];
    std::snprintf(detail, sizeof detail, "IRQ %u (vector 0x%X) %s; line masked until it drops", irq,
                  vectorForIrq(irq), why);
    lock.unlock();
    verifier::report(Check::UnclaimedInterrupt, "KiInterruptDispatch", detail);
    lock.lock();
}

// A latched line: each rising edge walks the whole chain, again and again until a full pass
// finds no routine claiming an interrupt (bounded, as a storm, when routines always claim).
void InterruptController::serviceLatched(unsigned irq, std::unique_lock<std::mutex>& lock) {
    m_lines[irq].edge = false;
    bool claimed = true;
    for (unsigned passes = 0; claimed && !m_stop; ++passes) {
        if (passes == kStormClaims) {
            char detail[128];
            std::snprintf(detail, sizeof detail,
                          "IRQ %u (vector 0x%X) was claimed on every pass of one edge "
                          "(interrupt storm); edge dropped",
                          irq, vectorForIrq(irq));
            lock.unlock();
            verifier::report(Check::UnclaimedInterrupt, "KiInterruptDispatch", detail);
            lock.lock();
            return;
        }
        claimed = false;
        uint64_t last = 0;
        while (_KINTERRUPT* next = nextConnection(irq, last)) {
            last = next->sequence;
            claimed |= callRoutine(next, lock);
        }
    }
}

// Runs one service routine as the hardware would: at its synchronize IRQL, holding its
// interrupt lock, with the controller's mutex released.
bool InterruptController::callRoutine(_KINTERRUPT* interrupt, std::unique_lock<std::mutex>& lock) {
    m_inService = interrupt;
    lock.unlock();
    irql::set(interrupt->syncIrql);
    const bool locked = acquireInterruptLock(interrupt->lock, "interrupt dispatch");
    BOOLEAN claimed;
    {
        DriverCallGuard guard("interrupt service routine");
        claimed = interrupt->serviceRoutine(interrupt, interrupt->serviceContext);
    }
    if (locked)
        releaseInterruptLock(interrupt->lock);
    irql::set(DISPATCH_LEVEL); // the DPCs it queued run when the interrupt ends
    lock.lock();
    m_inService = nullptr;
    m_retiring.reset();
    m_serviceDone.notify_all();
    return claimed != FALSE;
}

NTSTATUS InterruptController::connect(std::unique_ptr<_KINTERRUPT> interrupt) {
    {
        std::lock_guard lock(m_mutex);
        for (const auto& other : m_connections) {
            if (other->line == interrupt->line &&
                (!other->share || !interrupt->share || other->mode != interrupt->mode))
                return STATUS_INVALID_PARAMETER;
        }
        interrupt->sequence = m_nextSequence++;
        // A new routine may be the one that claims a line masked as unclaimed: try it again.
        m_lines[interrupt->line].masked = false;
        m_connections.push_back(std::move(interrupt));
    }
    m_wake.notify_one();
    return STATUS_SUCCESS;
}

void InterruptController::disconnectLocked(PKINTERRUPT interrupt,
                                           std::unique_lock<std::mutex>& lock) {
    std::unique_ptr<_KINTERRUPT> owned;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == interrupt) {
            owned = std::move(*it);
            m_connections.erase(it);
            break;
        }
    }
    // No new call starts once it is off the chain; wait for one under way. A routine that
    // disconnects its own object is that call: the object is freed when it returns.
    if (std::this_thread::get_id() != m_thread.get_id())
        m_serviceDone.wait(lock, [&] { return m_inService != interrupt; });
    else if (m_inService == interrupt)
        m_retiring = std::move(owned);
}

bool InterruptController::disconnect(PKINTERRUPT interrupt) {
    std::unique_lock lock(m_mutex);
    bool known = false;
    for (const auto& connection : m_connections)
        known |= connection.get() == interrupt;
    if (known)
        disconnectLocked(interrupt, lock);
    lock.unlock();
    m_idle.notify_all();
    return known;
}

std::vector<unsigned> InterruptController::disconnectAllOf(PDRIVER_OBJECT driver) {
    std::unique_lock lock(m_mutex);
    std::vector<PKINTERRUPT> victims;
    std::vector<unsigned> lines;
    for (const auto& connection : m_connections) {
        if (connection->owner == driver || connection->owner == nullptr) {
            victims.push_back(connection.get());
            lines.push_back(connection->line);
        }
    }
    for (PKINTERRUPT victim : victims)
        disconnectLocked(victim, lock);
    return lines;
}

size_t InterruptController::connectedCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections.size();
}

bool InterruptController::masked(unsigned irq) const {
    std::lock_guard lock(m_mutex);
    return irq < kLineCount && m_lines[irq].masked;
}

bool InterruptController::drain() {
    std::unique_lock lock(m_mutex);
    auto idle = [&] { return m_stop || (!m_busy && nextServiceable() < 0); };
    if (idle())
        return false;
    // A generous real-time bound: only an interrupt storm keeps the thread busy this long.
    m_idle.wait_for(lock, std::chrono::seconds(30), idle);
    return true;
}

} // namespace ntemu::hal
