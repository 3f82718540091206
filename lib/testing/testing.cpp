// The test-only ways of pointing the library at a driver host.
#include "boards.h"
#include "vorn_testing.h"

namespace vornlib::testing {

bool useChannel(std::shared_ptr<vornhost::DeviceChannel> channel) {
    return replaceChannel(std::move(channel));
}

std::shared_ptr<HostChannel> useHost(const vornsim::MachineDescription& machine,
                                     vornhost::HostOptions options) {
    // One kernel at a time in a process: the old host goes before the new one boots.
    if (!replaceChannel(nullptr))
        return nullptr;
    auto host = std::make_shared<vornhost::DriverHost>(machine, options);
    if (host->load() != STATUS_SUCCESS)
        return nullptr;
    auto channel = std::make_shared<HostChannel>(std::move(host));
    return replaceChannel(channel) ? channel : nullptr;
}

bool useDaemon(const std::string& socketPath) {
    std::shared_ptr<vornhost::DeviceChannel> channel = vornhost::connectDaemon(socketPath);
    return channel && replaceChannel(std::move(channel), socketPath);
}

bool resetChannel() {
    return replaceChannel(nullptr);
}

size_t openBoardCount() {
    return boardCount();
}

} // namespace vornlib::testing
