// vornhost: boots the driver host on the simulated machine and serves client programs over a
// Unix socket until SIGTERM or SIGINT, then ends the clients and unloads the driver.
#include "driver_host.h"
#include "log.h"
#include "metrics_server.h"
#include "options.h"
#include "server.h"

#include "ntemu/verifier.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

bool readWholeFile(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file)
        return false;
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return !file.bad();
}

// Every thread the daemon starts inherits this mask, so the signals reach only sigwait.
sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// Unloads the driver and checks that nothing of it is left; true when clean.
bool unloadCleanly(vornhost::DriverHost& host) {
    bool unloaded = host.unload();
    size_t blocks = host.system().kernel().poolBlocks().size();
    size_t reports = ntemu::verifier::pendingCount();
    vornhost::logLine("driver %s; %zu pool block(s) left; %zu verifier report(s)",
                      unloaded ? "unloaded" : "did NOT unload", blocks, reports);
    return unloaded && blocks == 0;
}

// Often enough to date a loss of synchronization well within a scrape interval.
constexpr std::chrono::milliseconds kHealthWatchInterval{200};

bool startMetrics(vornhost::MetricsServer& metrics, const vornhost::MetricsAddress& address) {
    std::string error;
    if (!metrics.start(address, &error)) {
        vornhost::logLine("%s", error.c_str());
        return false;
    }
    vornhost::logLine("metrics at http://%s:%u/metrics", address.host.c_str(),
                      unsigned(metrics.port()));
    return true;
}

// Serves clients until SIGTERM or SIGINT, with the health watch looking at the boards meanwhile.
void serveUntilSignal(vornhost::DriverHost& host, vornhost::Server& server) {
    std::thread serving([&] { server.run(); });
    sigset_t signals = stopSignals();
    int received = 0;
    {
        vornhost::HealthWatch watch(host, kHealthWatchInterval);
        sigwait(&signals, &received);
    }
    vornhost::logLine("signal %d: stopping", received);
    server.stop();
    serving.join();
}

int serve(const vornhost::DaemonOptions& options) {
    vornhost::HostOptions hostOptions;
    hostOptions.virtualClock = false;
    hostOptions.specialIrpPool = false;
    std::unique_ptr<vornhost::DriverHost> host;
    try {
        host = std::make_unique<vornhost::DriverHost>(options.machine, hostOptions);
    } catch (const std::invalid_argument& refused) {
        vornhost::logLine("machine refused: %s", refused.what());
        return 1;
    }
    NTSTATUS loaded = host->load();
    if (!NT_SUCCESS(loaded)) {
        vornhost::logLine("driver did not load: status 0x%08X", unsigned(loaded));
        return 1;
    }
    vornhost::logLine("driver loaded; %zu card(s)", options.machine.cards.size());
    vornhost::MetricsServer metrics(*host);
    vornhost::Server server(*host, {options.socketPath, options.group});
    std::string error;
    const bool started = !options.metrics || startMetrics(metrics, *options.metrics);
    if (!started || !server.listen(&error)) {
        if (started)
            vornhost::logLine("%s", error.c_str());
        metrics.stop();
        unloadCleanly(*host);
        return 1;
    }
    serveUntilSignal(*host, server);
    metrics.stop();
    return unloadCleanly(*host) ? 0 : 2;
}

} // namespace

int main(int argc, char** argv) {
    sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    auto parsed = vornhost::parseDaemonOptions({argv + 1, argv + argc}, readWholeFile);
    if (!parsed.ok) {
        std::fprintf(stderr, "vornhost: %s\n%s", parsed.error.c_str(), vornhost::kDaemonUsage);
        return 64;
    }
    if (parsed.options.help) {
        std::fputs(vornhost::kDaemonUsage, stdout);
        return 0;
    }
    return serve(parsed.options);
}
