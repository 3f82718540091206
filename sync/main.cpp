// vornsync: keeps this machine's clock on a timing board by feeding the board's time to chronyd
// or ntpd, or steps the clock to it once.
#include "feed.h"
#include "one_shot.h"
#include "options.h"
#include "real_pacer.h"
#include "shm_sink.h"
#include "sock_sink.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>

namespace {

using namespace vornsync;

// The board for the feed: retried once a second (saying why once) until it opens or a stop is
// requested, since the driver host may come up after vornsync.
std::unique_ptr<BoardSource> openBoardPatiently(const std::string& deviceName) {
    std::string error;
    std::string reported;
    RealPacer pacer;
    for (;;) {
        if (auto board = openVornBoard(deviceName, error))
            return board;
        if (error != reported)
            std::cerr << "vornsync: " << error << "; trying again every second" << std::endl;
        reported = error;
        if (!pacer.sleepUntil(pacer.monotonicNanos() + kNanosPerSecond))
            return nullptr;
    }
}

LeapSecondList loadLeapSeconds(const std::string& path) {
    std::string problem;
    LeapSecondList leaps = LeapSecondList::load(path, problem);
    if (!problem.empty())
        std::cerr << "vornsync: warning: " << problem << std::endl;
    return leaps;
}

int runFeed(const Options& options) {
    std::vector<std::unique_ptr<SampleSink>> outputs;
    if (options.sockPath) {
        std::string error;
        std::optional<SockSink> sock = SockSink::create(*options.sockPath, error);
        if (!sock) {
            std::cerr << "vornsync: " << error << std::endl;
            return kExitUsage;
        }
        outputs.push_back(std::make_unique<SockSink>(std::move(*sock)));
    }
    if (options.shmUnit)
        outputs.push_back(std::make_unique<ShmSink>(*options.shmUnit, options.shmPermissions));
    const LeapSecondList leaps = loadLeapSeconds(options.leapSecondList);
    const std::unique_ptr<BoardSource> board = openBoardPatiently(options.deviceName);
    if (board) {
        std::vector<SampleSink*> sinks;
        for (const auto& output : outputs)
            sinks.push_back(output.get());
        Feed feed(*board, sinks, leaps,
                  {options.deviceName, options.rate, options.allowFreewheel, options.json},
                  std::cerr, std::cout);
        RealPacer pacer;
        feed.run(pacer);
        std::cerr << "vornsync: stopped after " << feed.status().sent << " samples sent"
                  << std::endl;
    }
    return kExitDone;
}

int runOneShot(const Options& options) {
    // Without the right to set the clock a step stops before it touches the board.
    if (options.mode == Mode::Step && !systemClock().maySet()) {
        std::cerr << kNoPrivilegeMessage << std::endl;
        return kExitClockNotSet;
    }
    std::string error;
    const std::unique_ptr<BoardSource> board = openVornBoard(options.deviceName, error);
    if (!board) {
        std::cerr << "vornsync: " << error << std::endl;
        return kExitBoardUnread;
    }
    if (options.mode == Mode::Step)
        return stepClock(*board, systemClock(), options.allowFreewheel, std::cout, std::cerr);
    return printOneSample(*board, loadLeapSeconds(options.leapSecondList), options.allowFreewheel,
                          std::cout, std::cerr);
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<Options> options =
        parseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::cerr << "vornsync: " << error << "\n" << kUsage;
        return kExitUsage;
    }
    if (options->mode == Mode::Help) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    stopOnTermination();
    if (options->mode == Mode::Feed)
        return runFeed(*options);
    return runOneShot(*options);
}
