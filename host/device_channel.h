// The way a program reaches the driver host: device requests (open, device control, close) and
// the operator's control of the simulated boards, either in-process or through the vornhost daemon.
#pragma once

#include "health.h"
#include "ntddk.h"
#include "sim/machine_description.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vornhost {

// Outcome of one device control request: its status and the bytes written to the output buffer.
// `sent` is false when the request never reached the host, whose connection had already gone
// (STATUS_DEVICE_NOT_CONNECTED): it may be sent again elsewhere without being done twice.
struct ChannelResult {
    NTSTATUS status = STATUS_SUCCESS;
    uint32_t information = 0;
    bool sent = true;
};

// What a simulate command does to a board.
enum class SimAction : uint8_t {
    StrobeEvent = 1,    // one external event, tagged now
    StrobeEvents = 2,   // `count` events tagged at the same instant (1 to 1,000)
    StrobeEventAt = 3,  // one event tagged when the board time next reaches `at`
    SetReference = 4,   // the reference signal is present (`referencePresent`) or lost
    SetGpsScenario = 5, // position, altitude and satellites the board reports
    SetFaults = 6,      // fault modes: no answer to queries, bad echo, slow FIFO reads
    // The reference against this machine's clock: true − system is `referenceOffsetMicros`
    // from now on (at the same rate); the reference runs `referencePpb` parts per billion fast.
    SetReferenceOffset = 7,
    SetReferenceRate = 8,
    // `count` events `intervalMicros` apart on the board's clock, the first at once.
    StrobeEventTrain = 9,
};

// A command for the simulated board `board` (index in machine description order). Fields that
// the action does not use are ignored.
struct SimCommand {
    uint32_t board = 0;
    SimAction action = SimAction::StrobeEvent;
    uint32_t count = 1;          // StrobeEvents, StrobeEventTrain
    uint32_t intervalMicros = 0; // StrobeEventTrain
    // StrobeEventAt: day of year 1 to 366, hours, minutes, microseconds within the minute.
    uint16_t atDayOfYear = 1;
    uint8_t atHours = 0;
    uint8_t atMinutes = 0;
    uint32_t atMicrosInMinute = 0;
    bool referencePresent = false; // SetReference
    // SetGpsScenario, in the board's own digits (see vornsim::GpsScenario).
    uint32_t altitudeDecimetres = 0; // 0 to 9,999,999
    uint16_t latitudeDegrees = 0;    // 0 to 359; 180 and above mean south (value - 180)
    uint32_t latitudeMinutes = 0;    // minutes of arc x 10,000, 0 to 599,999
    uint16_t longitudeDegrees = 0;   // 0 to 359; 180 and above mean west (value - 180)
    uint32_t longitudeMinutes = 0;
    uint8_t satellites = 0; // 0 to 15
    // SetFaults.
    bool faultNoAnswer = false;
    bool faultBadEcho = false;
    uint32_t faultSlowFifoReads = 0;   // 0 to 1,000
    int64_t referenceOffsetMicros = 0; // SetReferenceOffset: a day either way
    int64_t referencePpb = 0;          // SetReferenceRate: 1,000 ppm either way
};

// A snapshot of a simulated board for tests and operators, read with inspectBoard.
struct BoardState {
    uint16_t model = 0;
    int32_t year = 0;
    int32_t dayOfYear = 0;
    int32_t hours = 0;
    int32_t minutes = 0;
    uint32_t microsInMinute = 0;
    bool freewheel = false; // the board's mode (Synchronize when false)
    bool referencePresent = false;
    bool inSync = false;
    int32_t propagationDelayMicros = 0;
    uint16_t heartbeatDivider = 0; // 0: stopped
    bool heartbeatSquare = false;
    bool heartbeatImmediately = false;
    bool matchArmed = false;
    bool matchStop = false;
    uint16_t matchDayOfYear = 0;
    uint8_t matchHours = 0;
    uint8_t matchMinutes = 0;
    uint32_t matchMicrosInMinute = 0;
    uint16_t enables = 0;
    uint32_t fifoLevel = 0;
    uint64_t eventsTagged = 0;
    uint64_t heartbeats = 0;
    uint64_t matches = 0;
};

// One time tag as an event subscriber receives it.
struct HostEvent {
    uint64_t sequence = 0; // the board's count of tagged events, those it lost included
    // Events numbered between the subscriber's previous event and this one that it will never
    // receive: lost before the driver held them, or pushed out of the subscriber's full queue.
    uint64_t droppedBefore = 0;
    uint16_t year = 0; // the board's year for that day; 0 when it could not be told
    uint16_t dayOfYear = 0;
    uint64_t microsOfDay = 0;      // UTC, 0 to 86,399,999,999
    int64_t receivedUnixNanos = 0; // the host's system time when the event reached it
};

// A connection to a driver host. Every call may be made from any number of threads at once:
// each calling OS thread acts as a thread of its own in the host, so a request blocked in the
// driver (a wait) holds up no other thread's requests. A channel is destroyed only when
// no call on it is under way.
class DeviceChannel {
public:
    virtual ~DeviceChannel();

    // Opens "\\.\VORNpciN" (or another device name) for read and write with the given share
    // access. STATUS_SUCCESS and a nonzero handle, or the kernel's status for the failure
    // (STATUS_OBJECT_NAME_NOT_FOUND for a device that does not exist, STATUS_SHARING_VIOLATION).
    virtual NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) = 0;

    // Sends one device control request and blocks until it completes. `out` receives at most
    // `outLength` bytes; `information` says how many were written. STATUS_INVALID_HANDLE for a
    // handle not open on this channel; STATUS_DEVICE_NOT_CONNECTED when the host has gone.
    virtual ChannelResult deviceIoControl(uint64_t handle, uint32_t code, const void* in,
                                          uint32_t inLength, void* out, uint32_t outLength) = 0;

    // Closes the handle; requests still pending on it are cancelled first.
    virtual NTSTATUS close(uint64_t handle) = 0;

    // Drives the simulated board. STATUS_NO_SUCH_DEVICE for a board index the machine lacks or a
    // card without a board, STATUS_INVALID_PARAMETER for an action or value out of range.
    virtual NTSTATUS simulate(const SimCommand& command) = 0;

    // Reads a snapshot of the simulated board; errors as for simulate.
    virtual NTSTATUS inspectBoard(uint32_t board, BoardState* state) = 0;

    // Every event the board tags from now on, for this channel, with a queue of its own: a
    // nonzero subscription, or the status of opening the device or reading its events.
    virtual NTSTATUS subscribeEvents(std::u16string_view deviceName, uint32_t* subscription) = 0;
    // The subscription's next event, waiting up to `timeoutMs` for one (0: none waited for).
    // STATUS_DEVICE_NOT_READY on the time-out, STATUS_INVALID_HANDLE for a subscription this
    // channel does not hold, STATUS_CANCELLED when it is ended meanwhile.
    virtual NTSTATUS nextEvent(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) = 0;
    virtual NTSTATUS unsubscribeEvents(uint32_t subscription) = 0;
    // The host's health record of board device `board` (n of "VORNpci" + n), looked at now.
    // STATUS_NO_SUCH_DEVICE for a device number without a board; STATUS_NOT_IMPLEMENTED from a
    // channel that keeps none.
    virtual NTSTATUS readHealth(uint32_t board, BoardHealth* health);
    // Hands the host a synchronization feed's latest sample of board device `board`; errors as
    // readHealth, and STATUS_INVALID_PARAMETER for a negative error bound.
    virtual NTSTATUS reportSyncSample(uint32_t board, const SyncSample& sample);
};

// Options of an in-process host.
struct InProcessOptions {
    unsigned processors = 2;
};

// Boots a driver host inside this program on the real clock, loads the driver and returns a
// channel to it; null when the description is refused or the driver does not load. The host is
// taken down (driver unloaded) when the channel is destroyed.
std::unique_ptr<DeviceChannel> openInProcessChannel(const vornsim::MachineDescription& machine,
                                                    InProcessOptions options = {});

// Connects to a vornhost daemon listening on `socketPath`; null when no daemon answers there
// (no socket, refused, or a peer that does not speak the protocol).
std::unique_ptr<DeviceChannel> connectDaemon(const std::string& socketPath);

// The address a daemon listens on unless told otherwise: /run/vornhost/vornhost.sock.
const char* defaultSocketPath();

// The machine a program gets when it names none: one board of model 0x9070 on bus 0 (slot 3,
// IRQ 11), found as "\\.\VORNpci0".
vornsim::MachineDescription defaultMachine();

} // namespace vornhost
