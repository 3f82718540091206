// The event source of a pump on a board of the host: the driver's next-event, event-counter
// and stamped-time requests, sent from a process of the host's own on a handle of its own.
#include "driver_host.h"
#include "event_fanout.h"
#include "host_process.h"
#include "vornpci_ioctl.h"

namespace vornhost {
namespace {

// The pump's thread and the subscribing thread that starts it.
constexpr size_t kThreads = 2;
constexpr uint64_t kThreadKey = 1;

class DriverEventSource final : public EventSource {
public:
    explicit DriverEventSource(DriverHost& host)
        : m_process(host, "event pump", kThreads, HostProcess::Accounting::HostOwn) {}

    NTSTATUS open(std::u16string_view device) {
        return m_process.open(device, FILE_SHARE_READ | FILE_SHARE_WRITE, &m_handle);
    }

    NTSTATUS lastSequence(uint64_t* sequence) override {
        vornpci::EventCountersRecord counters{};
        const NTSTATUS status =
            exchange(vornpci::IOCTL_VORNPCI_GET_EVENT_COUNTERS, nullptr, 0, &counters);
        if (status == STATUS_SUCCESS)
            *sequence = counters.tagged;
        return status;
    }

    NTSTATUS next(uint64_t afterSequence, uint32_t timeoutMs,
                  vornpci::SequencedEventRecord* event) override {
        return nextWithArrival(afterSequence, timeoutMs, event, {});
    }

    NTSTATUS nextWithArrival(uint64_t afterSequence, uint32_t timeoutMs,
                             vornpci::SequencedEventRecord* event, ArrivalHook arrived) override {
        vornpci::SequencedEventRecord request{};
        request.timeoutMs = timeoutMs;
        request.afterSequence = afterSequence;
        Completion completion{arrived, event};
        ntemu::CompletionHook hook;
        if (arrived.run != nullptr)
            hook = {&DriverEventSource::onCompletion, &completion};
        return exchange(vornpci::IOCTL_VORNPCI_NEXT_EVENT, &request, sizeof(request), event, hook);
    }

    NTSTATUS stampedTime(vornpci::StampedTimeObj* stamped) override {
        vornpci::StampedTimeObj request{};
        return exchange(vornpci::IOCTL_VORNPCI_GET_STAMPED_TIME, &request, sizeof(request),
                        stamped);
    }

    void shutdown() override { m_process.terminate(); }

private:
    // A read's record is in place when the driver completes it; the completion tells it on.
    struct Completion {
        ArrivalHook arrived;
        const vornpci::SequencedEventRecord* event;
    };

    static void onCompletion(void* context, const ntemu::IoResult& result) {
        const auto& completion = *static_cast<const Completion*>(context);
        if (result.status == STATUS_SUCCESS && result.information >= sizeof(*completion.event))
            completion.arrived.run(completion.arrived.context, *completion.event);
    }

    // A reply shorter than its record is no reply.
    template <typename Record>
    NTSTATUS exchange(uint32_t code, const void* in, uint32_t inLength, Record* out,
                      ntemu::CompletionHook hook = {}) {
        const ChannelResult result = m_process.deviceIoControl(kThreadKey, m_handle, code, in,
                                                               inLength, out, sizeof(*out), hook);
        if (result.status == STATUS_SUCCESS && result.information < sizeof(*out))
            return STATUS_UNSUCCESSFUL;
        return result.status;
    }

    HostProcess m_process;
    uint64_t m_handle = 0;
};

} // namespace

NTSTATUS openDriverEventSource(DriverHost& host, std::u16string_view device,
                               std::unique_ptr<EventSource>* source) {
    auto made = std::make_unique<DriverEventSource>(host);
    const NTSTATUS status = made->open(device);
    if (status != STATUS_SUCCESS)
        return status;
    *source = std::move(made);
    return STATUS_SUCCESS;
}

} // namespace vornhost
