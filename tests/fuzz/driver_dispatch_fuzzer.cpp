// Fuzzes the driver's device-control dispatch through the kernel layer: each input boots a
// machine with one simulated board on the virtual clock, loads the driver (sometimes with a
// kernel service made to fail), and runs a program of requests, interrupts, cancellations and
// clock advances. A crash, a request that never ends, a verifier report or a leak is a finding.
#include "driver_host.h"
#include "fuzz_check.h"
#include "ntemu/faults.h"
#include "vornpci_device.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include "fuzz_input.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kNewYearsEveNoon = 128435760000000000; // 2007-12-31 12:00 UTC
constexpr uint16_t kModels[] = {0x7000, 0x7100, 0x9070, 0x9072};
constexpr size_t kMaxRequests = 24;
constexpr size_t kMaxHandles = 3;
constexpr size_t kMaxIo = 64;
// Real-time bounds: generous safety nets only, past which a request counts as hung.
constexpr auto kSettleBound = std::chrono::seconds(10);
constexpr auto kEndBound = std::chrono::seconds(20);
constexpr int64_t kHeartbeatBudget = 2'000; // each one is an interrupt and a DPC

// The driver's requests, and two codes of its range that have no handler.
constexpr uint32_t kFirstCode = vornpci::IOCTL_VORNPCI_OPEN;
constexpr uint32_t kLastCode = vornpci::IOCTL_VORNPCI_GET_EVENT_COUNTERS;
bool handledCode(uint32_t code) {
    return code >= kFirstCode && code <= kLastCode && code != vornpci::requestCode(0x05) &&
           code != vornpci::requestCode(0x0D);
}

// One device-control request on a kernel-layer thread of its own.
struct Request {
    Request(ntemu::Process& process, ntemu::Handle handle, uint32_t code,
            std::vector<uint8_t> input, size_t outputLength)
        : thread(process.createThread()), code(code), input(std::move(input)),
          output(outputLength) {
        result = std::async(std::launch::async, [this, handle] {
            return thread.deviceIoControl(handle, this->code, this->input.data(),
                                          ULONG(this->input.size()), output.data(),
                                          ULONG(output.size()));
        });
    }
    bool done() const {
        return checked || result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    ntemu::Thread& thread;
    const uint32_t code;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    std::future<ntemu::IoResult> result;
    bool checked = false;
};

class DriverRun {
public:
    explicit DriverRun(vornfuzz::InputReader& in)
        : m_in(in), m_host(machine(in), options()), m_boards(m_host.machine().board(1) ? 2 : 1) {
        m_host.io().setCancelBound(5'000);
    }

    void run() {
        if (!load())
            return;
        m_process = m_host.createProcess("fuzz");
        if (!m_devices.empty())
            openHandle(0);
        while (m_in.remaining() > 0 && !m_handles.empty())
            step();
        finish();
    }

private:
    // One board, or two: the second on the same interrupt line or on a line of its own.
    static vornsim::MachineDescription machine(vornfuzz::InputReader& in) {
        vornsim::MachineDescription description;
        description.cards.push_back(
            vornsim::CardDescription::board(kModels[in.byte() % 4], 0, 3, 11));
        description.cards.back().referencePresent = in.flag();
        unsigned second = in.byte() % 3;
        if (second != 0)
            description.cards.push_back(vornsim::CardDescription::board(kModels[in.byte() % 4], 0,
                                                                        4, second == 1 ? 11 : 10));
        return description;
    }
    static vornhost::HostOptions options() {
        vornhost::HostOptions options;
        options.systemTimeAtStart = kNewYearsEveNoon;
        return options;
    }

    // Now and then a kernel service fails during start-up: the driver must fail cleanly.
    bool load() {
        bool faulted = m_in.byte() % 16 == 0;
        if (faulted) {
            auto point = ntemu::FaultPoint(m_in.byte() % int(ntemu::FaultPoint::Count));
            ntemu::faults::failNth(point, m_in.range(1, 6));
        }
        NTSTATUS status = m_host.load();
        ntemu::faults::clear();
        FUZZ_CHECK(faulted || status == STATUS_SUCCESS);
        if (status != STATUS_SUCCESS) {
            FUZZ_CHECK(!m_host.loaded());
            return false;
        }
        findDevices(faulted);
        return true;
    }

    // Every board has its device, unless a service failed during start-up: the driver may then
    // leave out the board it could not set up.
    void findDevices(bool faulted) {
        for (unsigned index = 0; index < m_boards; ++index) {
            std::u16string name = u"\\Device\\VORNpci" + vornhost::deviceName(index).substr(11);
            PDEVICE_OBJECT device = m_host.io().findDevice(name);
            FUZZ_CHECK(device != nullptr || faulted);
            if (!device)
                continue;
            auto* board = static_cast<CVORNpci*>(device->DeviceExtension);
            m_host.system().kernel().declareLockOrder(&board->DeviceLock,
                                                      ntemu::Kernel::cancelSpinLock());
            m_devices.push_back(index);
        }
    }

    // Opens a handle on the device of the `pick`-th board that has one.
    void openHandle(unsigned pick) {
        ntemu::OpenOptions options;
        options.overlapped = true;
        ntemu::Handle handle = 0;
        unsigned device = m_devices[pick % m_devices.size()];
        NTSTATUS status = m_process->open(vornhost::deviceName(device), options, &handle);
        FUZZ_CHECK(status == STATUS_SUCCESS && handle != 0);
        m_handles.push_back(handle);
    }

    void step() {
        switch (m_in.byte() % 16) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            request();
            break;
        case 6:
        case 7:
            advance();
            break;
        case 8:
            interrupt();
            break;
        case 9:
            cancel();
            break;
        case 10:
            faults();
            break;
        case 11:
            if (m_handles.size() < kMaxHandles)
                openHandle(m_in.byte());
            break;
        case 12:
            ntemu::faults::failNth(ntemu::FaultPoint::PoolAllocation, m_in.range(1, 4));
            break;
        default:
            checkFinished();
            break;
        }
    }

    // Mostly the driver's own codes, sometimes any code. Only buffered transfer is emulated
    // (another method is refused with a NotImplemented report), so the method bits stay 0.
    uint32_t code() {
        if (m_in.chance(90))
            return kFirstCode + 4 * m_in.range(0u, (kLastCode - kFirstCode) / 4 + 1);
        return m_in.u32() & ~3u;
    }

    void request() {
        if (m_requests.size() >= kMaxRequests)
            return;
        ntemu::Handle handle = pickHandle();
        uint32_t c = code();
        m_rawAccess |= c == vornpci::IOCTL_VORNPCI_PEEK || c == vornpci::IOCTL_VORNPCI_POKE;
        size_t inLength = m_in.range<size_t>(0, kMaxIo);
        size_t outLength = m_in.range<size_t>(0, kMaxIo);
        std::vector<uint8_t> input = m_in.bytes(inLength);
        auto& r = *m_requests.emplace_back(
            std::make_unique<Request>(*m_process, handle, c, std::move(input), outLength));
        // The next step starts once the driver has finished with the request or holds it.
        auto deadline = Clock::now() + kSettleBound;
        while (!r.done() && r.thread.pendingCount() == 0) {
            FUZZ_CHECK(Clock::now() < deadline);
            std::this_thread::yield();
        }
        checkFinished();
    }

    // Moves the virtual clock on, from microseconds to hours, within the heartbeat budget.
    void advance() {
        uint16_t divider = 0; // the fastest heartbeat running
        for (unsigned index = 0; index < m_boards; ++index) {
            uint16_t d = m_host.board(index)->heartbeat().divider;
            divider = divider == 0 || (d != 0 && d < divider) ? d : divider;
        }
        ntemu::Ticks100ns interval = m_advances.next(m_in, divider);
        m_host.virtualClock()->advance(interval);
        checkFinished();
    }

    // The board raises what a real one would: events, a storm, a timed event; heartbeat and
    // match interrupts come from the programmes that requests set, as the clock moves.
    void interrupt() {
        vornsim::BoardModel& board = pickBoard();
        switch (m_in.byte() % 4) {
        case 0:
            board.strobeEvent();
            break;
        case 1:
            board.strobeEvents(m_in.range(2u, 200u));
            break;
        case 2: {
            vornsim::BoardTime t = board.time();
            vornsim::BoardTime at = t.plus(m_in.range(0, 2000) * ntemu::kMillisecond);
            board.strobeEventAt({at.dayOfYear(), at.hours(), at.minutes(), at.microsInMinute()});
            break;
        }
        default:
            board.setReferencePresent(m_in.flag());
            break;
        }
        m_host.virtualClock()->advance(0);
    }

    void cancel() {
        switch (m_in.byte() % 3) {
        case 0:
            m_process->cancelIo(pickHandle());
            break;
        case 1: {
            size_t index = m_in.byte() % m_handles.size();
            FUZZ_CHECK(m_process->close(m_handles[index]) == STATUS_SUCCESS);
            m_handles.erase(m_handles.begin() + ptrdiff_t(index));
            if (m_handles.empty())
                openHandle(0);
            break;
        }
        default:
            if (!m_requests.empty())
                m_requests[m_in.byte() % m_requests.size()]->thread.exit();
            break;
        }
        checkFinished();
    }

    void faults() {
        vornsim::BoardFaults faults;
        faults.noAnswer = m_in.flag();
        faults.badEcho = m_in.flag();
        faults.slowFifoReads = m_in.range(0u, 1000u);
        m_rawAccess = true;
        pickBoard().setFaults(faults);
    }

    vornsim::BoardModel& pickBoard() { return *m_host.board(m_in.byte() % m_boards); }

    ntemu::Handle pickHandle() { return m_handles[m_in.byte() % m_handles.size()]; }

    // What every completed request must show: no more bytes than its buffer holds, and no
    // success for a code the driver does not handle.
    void checkFinished() {
        for (auto& r : m_requests) {
            if (r->checked || !r->done())
                continue;
            ntemu::IoResult result = r->result.get();
            r->checked = true;
            if (m_trace)
                std::fprintf(stderr, "request 0x%08x in %zu out %zu: status 0x%08x, %zu byte(s)\n",
                             unsigned(r->code), r->input.size(), r->output.size(),
                             unsigned(result.status), size_t(result.information));
            FUZZ_CHECK(result.status != STATUS_PENDING);
            FUZZ_CHECK(result.information <= r->output.size());
            FUZZ_CHECK(handledCode(r->code) || !NT_SUCCESS(result.status));
            if (NT_SUCCESS(result.status))
                checkRecord(*r, result.information);
        }
    }

    // A board time that the driver hands back is a time of day. The board's registers always
    // hold one; a time tag or an answer from the FIFO only while nothing has disturbed the
    // FIFO's framing behind the driver's back (raw register access, board faults).
    void checkRecord(const Request& r, size_t information) {
        using namespace vornpci;
        if (r.code == IOCTL_VORNPCI_GET_TIME && information == sizeof(TimeObj)) {
            auto t = recordOf<TimeObj>(r.output);
            FUZZ_CHECK(t.microsInMinute < 60'000'000 && t.minutes < 60 && t.hours < 24);
            FUZZ_CHECK(t.dayOfYear >= 1 && t.dayOfYear <= 366);
        }
        if (r.code == IOCTL_VORNPCI_GET_STAMPED_TIME && information == sizeof(StampedTimeObj)) {
            auto t = recordOf<StampedTimeObj>(r.output);
            FUZZ_CHECK(t.microsInMinute < 60'000'000 && t.minutes < 60 && t.hours < 24);
            FUZZ_CHECK(t.dayOfYear >= 1 && t.dayOfYear <= 366);
            FUZZ_CHECK(t.systemBefore <= t.systemAfter);
        }
        if (m_rawAccess)
            return;
        if (r.code == IOCTL_VORNPCI_WAIT_EVENT && information == sizeof(EventWaitRecord)) {
            auto e = recordOf<EventWaitRecord>(r.output);
            FUZZ_CHECK(e.microsInMinute < 60'000'000 && e.minutes < 60 && e.hours < 24);
            FUZZ_CHECK(e.dayOfYear >= 1 && e.dayOfYear <= 366);
        }
        if (r.code == IOCTL_VORNPCI_GET_DATE && information == sizeof(DateObj)) {
            auto d = recordOf<DateObj>(r.output);
            FUZZ_CHECK(d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31);
        }
    }

    template <typename T> static T recordOf(const std::vector<uint8_t>& bytes) {
        T record{};
        std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(T)));
        return record;
    }

    // Ends the process (every request cancelled, every handle closed), waits for every
    // request within the bound, and unloads: the unload's leak checks report through the
    // verifier.
    void finish() {
        ntemu::faults::clear();
        m_process->terminate();
        auto deadline = Clock::now() + kEndBound;
        for (auto& r : m_requests) {
            while (!r->done()) {
                FUZZ_CHECK(Clock::now() < deadline);
                std::this_thread::yield();
            }
        }
        checkFinished();
        m_requests.clear();
        m_process.reset();
        FUZZ_CHECK(m_host.unload());
    }

    vornfuzz::InputReader& m_in;
    vornhost::DriverHost m_host;
    const unsigned m_boards;
    std::vector<unsigned> m_devices; // boards with a device
    std::shared_ptr<ntemu::Process> m_process;
    std::vector<ntemu::Handle> m_handles;
    std::vector<std::unique_ptr<Request>> m_requests;
    vornfuzz::AdvanceReader m_advances{4, kHeartbeatBudget};
    bool m_rawAccess = false; // raw register access or board faults: FIFO framing may break
    // VORN_FUZZ_TRACE=1 prints each request's outcome, to see what an input does.
    const bool m_trace = std::getenv("VORN_FUZZ_TRACE") != nullptr;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vornfuzz::abortOnVerifierReport();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vornfuzz::InputReader in(data, size);
    DriverRun run(in);
    run.run();
    ntemu::faults::clear();
    return 0;
}
