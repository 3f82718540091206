// Requests over a board's route, and the way back to a daemon that was restarted: one
// reconnect attempt in the call that finds the connection gone, then every open board opened
// again on its device name behind the caller's back.
#include "requests.h"
#include "vornpci_ioctl.h"

#include <mutex>
#include <optional>

namespace vornlib {
namespace {

// One thread reconnects at a time; the others find the channel replaced and take it.
std::mutex g_reconnecting;

// Opens the board's device on `channel` again; the same model must answer there, else the
// board counts as gone. Null when the channel was lost too (the board keeps its old route).
std::optional<Route> reopen(const Board& board,
                            const std::shared_ptr<vornhost::DeviceChannel>& channel) {
    uint64_t handle = 0;
    vornpci::OpenReply reply{};
    const NTSTATUS status = openDevice(*channel, board.deviceName, &handle, &reply);
    if (status == STATUS_DEVICE_NOT_CONNECTED)
        return std::nullopt;
    if (status != STATUS_SUCCESS || reply.modelCode != board.record.modelCode) {
        if (status == STATUS_SUCCESS)
            channel->close(handle);
        return Route{channel, 0, true};
    }
    return Route{channel, handle, false};
}

} // namespace

NTSTATUS openDevice(vornhost::DeviceChannel& channel, std::u16string_view name, uint64_t* handle,
                    vornpci::OpenReply* reply) {
    const NTSTATUS status = channel.open(name, kShareReadWrite, handle);
    if (status != STATUS_SUCCESS)
        return status;
    const vornhost::ChannelResult answer = channel.deviceIoControl(
        *handle, vornpci::IOCTL_VORNPCI_OPEN, reply, sizeof(*reply), reply, sizeof(*reply));
    if (answer.status == STATUS_SUCCESS && answer.information >= sizeof(*reply))
        return STATUS_SUCCESS;
    channel.close(*handle);
    *handle = 0;
    return answer.status == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : answer.status;
}

bool reconnectAfterLoss(const std::shared_ptr<vornhost::DeviceChannel>& lost) {
    std::lock_guard reconnecting(g_reconnecting);
    const HostLink link = hostLink();
    if (link.socketPath.empty() || !link.channel)
        return false;
    std::shared_ptr<vornhost::DeviceChannel> channel = link.channel;
    if (channel == lost) {
        channel = vornhost::connectDaemon(link.socketPath);
        if (!channel || !adoptChannel(lost, channel))
            return false;
    }
    for (const std::shared_ptr<Board>& board : boardsOn(lost)) {
        std::optional<Route> route = reopen(*board, channel);
        if (route && !setRouteIfOpen(*board, *route) && !route->gone)
            channel->close(route->deviceHandle);
    }
    return true;
}

vornhost::ChannelResult sendRequest(Board& board, uint32_t code, const void* in, uint32_t inLength,
                                    void* out, uint32_t outLength) {
    Route route = board.route();
    if (route.gone)
        return {kBoardGone, 0};
    vornhost::ChannelResult result =
        route.channel->deviceIoControl(route.deviceHandle, code, in, inLength, out, outLength);
    // A request under way when the daemon went is not sent again: it may have been done.
    if (result.status != STATUS_DEVICE_NOT_CONNECTED || !reconnectAfterLoss(route.channel) ||
        result.sent)
        return result;
    route = board.route();
    if (route.gone)
        return {kBoardGone, 0};
    return route.channel->deviceIoControl(route.deviceHandle, code, in, inLength, out, outLength);
}

NTSTATUS inspectOnRoute(Board& board, uint32_t index, vornhost::BoardState* state) {
    Route route = board.route();
    if (route.gone)
        return kBoardGone;
    NTSTATUS status = route.channel->inspectBoard(index, state);
    // Reading a board's state twice does no harm.
    if (status != STATUS_DEVICE_NOT_CONNECTED || !reconnectAfterLoss(route.channel))
        return status;
    route = board.route();
    return route.gone ? kBoardGone : route.channel->inspectBoard(index, state);
}

} // namespace vornlib
