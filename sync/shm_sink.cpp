// Delivers samples through the time daemons' shared-memory segment.
#include "shm_sink.h"

#include "board_time.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vornsync {

namespace {

std::string keyText(int unit) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(kShmKeyBase + unit));
    return text;
}

void storeShared(int& field, int value) {
    std::atomic_ref<int>(field).store(value, std::memory_order_seq_cst);
}

// A sequentially consistent read-modify-write: a full barrier, so no write moves across it.
void countUp(int& count) {
    std::atomic_ref<int>(count).fetch_add(1, std::memory_order_seq_cst);
}

} // namespace

int precisionOf(int64_t errorBoundNanos) {
    if (errorBoundNanos <= 1)
        return -30;
    const int exponent = static_cast<int>(std::ceil(std::log2(errorBoundNanos * 1e-9)));
    return exponent < -30 ? -30 : (exponent > 0 ? 0 : exponent);
}

void writeShmSample(ShmTime& segment, const Sample& sample) {
    const timespec system = fromNanos(sample.systemNanos);
    const timespec truth = fromNanos(sample.systemNanos + sample.offsetNanos);
    storeShared(segment.mode, 1);
    storeShared(segment.valid, 0);
    countUp(segment.count);
    segment.clockTimeStampSec = truth.tv_sec;
    segment.clockTimeStampUSec = static_cast<int>(truth.tv_nsec / 1000);
    segment.clockTimeStampNSec = static_cast<unsigned>(truth.tv_nsec);
    segment.receiveTimeStampSec = system.tv_sec;
    segment.receiveTimeStampUSec = static_cast<int>(system.tv_nsec / 1000);
    segment.receiveTimeStampNSec = static_cast<unsigned>(system.tv_nsec);
    segment.leap = static_cast<int>(sample.leap);
    segment.precision = precisionOf(sample.errorBoundNanos);
    segment.nsamples = 1;
    countUp(segment.count);
    storeShared(segment.valid, 1);
}

ShmSink::~ShmSink() {
    if (m_segment != nullptr)
        shmdt(m_segment);
}

std::string ShmSink::describe() const {
    return "SHM " + std::to_string(m_unit) + " (key " + keyText(m_unit) + ")";
}

DeliveryResult ShmSink::attach() {
    const std::string key = keyText(m_unit);
    const int id = shmget(kShmKeyBase + m_unit, sizeof(ShmTime), IPC_CREAT | m_permissions);
    if (id < 0 && (errno == EACCES || errno == EPERM))
        return {Delivery::PermissionDenied, "permission denied on shared memory " + key +
                                                ": run vornsync as root or as the segment's "
                                                "owner (vornsync keeps trying)"};
    if (id < 0)
        return {Delivery::Failed, "cannot make shared memory " + key + ": " + std::strerror(errno) +
                                      " (a smaller segment of that key exists? remove it with "
                                      "`ipcrm -M " +
                                      key + "`)"};
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) == 0 && status.shm_perm.uid != geteuid())
        return {Delivery::ForeignSegment,
                "shared memory " + key + " belongs to uid " + std::to_string(status.shm_perm.uid) +
                    ", another program: stop it and remove the segment with `ipcrm -M " + key +
                    "`, or choose another --shm unit (vornsync keeps trying)"};
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1))
        return {Delivery::PermissionDenied, "cannot attach shared memory " + key + ": " +
                                                std::strerror(errno) + " (vornsync keeps trying)"};
    m_segment = static_cast<ShmTime*>(memory);
    return {};
}

DeliveryResult ShmSink::deliver(const Sample& sample) {
    if (m_segment == nullptr) {
        DeliveryResult attached = attach();
        if (attached.outcome != Delivery::Sent)
            return attached;
    }
    writeShmSample(*m_segment, sample);
    return {};
}

} // namespace vornsync
