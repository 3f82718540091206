// chaos_client: one client process of the chaos tests. It reaches the daemon given through
// libvorn, runs a seeded random mix of board calls and announces each call on standard output
// (one byte) before it makes it, so that the test can kill it with a request in flight.
// With a uid and gid after the other arguments it first becomes that user, as a peer the daemon
// may refuse. Exit codes: 0 every call ended with a result its contract allows, 2 bad
// arguments, 3 no daemon would serve it, 4 a call ended with a result it must not give
// (written to standard error), 5 the test no longer reads the announcements, 6 the user
// could not be taken on.
#include "vorn.h"
#include "vorn_testing.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

struct Client {
    BoardHandle board = nullptr;
    std::string name;
    std::mt19937 random;
};

using Call = uint8_t (*)(Client&);

uint8_t waitEvent(Client& c) {
    EventObj event{};
    event.timeoutMs = 1 + c.random() % 30;
    return VORN_waitEvent(c.board, &event);
}

uint8_t waitHeartbeat(Client& c) {
    uint32_t timeoutMs = 1 + c.random() % 30;
    return VORN_waitHeartbeat(c.board, &timeoutMs);
}

uint8_t waitMatch(Client& c) {
    uint32_t timeoutMs = 1 + c.random() % 10;
    return VORN_waitMatch(c.board, &timeoutMs);
}

uint8_t getTime(Client& c) {
    TimeObj time{};
    return VORN_getTime(c.board, &time);
}

uint8_t getDate(Client& c) {
    DateObj date{};
    return VORN_getDate(c.board, &date);
}

uint8_t setYear(Client& c) {
    uint16_t year = 2026;
    return VORN_setYear(c.board, &year);
}

uint8_t setDelay(Client& c) {
    int32_t micros = int32_t(c.random() % 10'000) - 5000;
    return VORN_setPropDelayCorr(c.board, &micros);
}

uint8_t setHeartbeat(Client& c) {
    HeartObj heart{};
    heart.start = 1;
    heart.mode = 0xE5;
    heart.frequency = 100.0;
    return VORN_setHeartbeat(c.board, &heart);
}

uint8_t synchStatus(Client& c) {
    uint8_t status = 0;
    return VORN_synchStatus(c.board, &status);
}

uint8_t simEvent(Client& c) {
    return VORN_simEvent(c.board);
}
uint8_t flushFifo(Client& c) {
    return VORN_flushFIFO(c.board);
}

uint8_t firmware(Client& c) {
    uint8_t buffer[10] = {};
    return VORN_getFirmware(c.board, buffer);
}

uint8_t reopen(Client& c) {
    uint8_t closed = VORN_close(c.board);
    c.board = nullptr;
    if (closed != VORN_OK)
        return closed;
    return VORN_open(&c.board, c.name.c_str());
}

struct Step {
    const char* name;
    Call call;
    bool wait; // 13 and 14 are results of the call as well
};

constexpr Step kSteps[] = {
    {"waitEvent", waitEvent, true},        {"waitHeartbeat", waitHeartbeat, true},
    {"waitMatch", waitMatch, true},        {"getTime", getTime, false},
    {"getDate", getDate, false},           {"setYear", setYear, false},
    {"setPropDelayCorr", setDelay, false}, {"setHeartbeat", setHeartbeat, false},
    {"synchStatus", synchStatus, false},   {"simEvent", simEvent, false},
    {"flushFIFO", flushFifo, false},       {"getFirmware", firmware, false},
    {"close and open", reopen, false},
};

bool allowed(const Step& step, uint8_t result) {
    if (result == VORN_OK)
        return true;
    return step.wait && (result == VORN_WAIT_TIMEOUT || result == VORN_WAIT_NOT_STARTED);
}

void announce() {
    const char mark = '.';
    if (::write(STDOUT_FILENO, &mark, 1) != 1)
        std::_Exit(5);
}

bool becomeUser(const char* uid, const char* gid) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(gid_t(std::strtoul(gid, nullptr, 10))) == 0 &&
           ::setuid(uid_t(std::strtoul(uid, nullptr, 10))) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: chaos_client SOCKET BOARD SEED STEPS [UID GID]\n");
        return 2;
    }
    if (argc == 7 && !becomeUser(argv[5], argv[6]))
        return 6;
    Client c;
    c.name = argv[2];
    c.random.seed(unsigned(std::strtoul(argv[3], nullptr, 10)));
    const long steps = std::strtol(argv[4], nullptr, 10);
    announce(); // the connection and the open come first
    if (!vornlib::testing::useDaemon(argv[1]))
        return 3;
    if (uint8_t opened = VORN_open(&c.board, c.name.c_str()); opened != VORN_OK) {
        std::fprintf(stderr, "chaos_client: open %s gave %u\n", c.name.c_str(), opened);
        return 4;
    }
    for (long i = 0; i < steps; ++i) {
        const Step& step = kSteps[c.random() % std::size(kSteps)];
        announce();
        const uint8_t result = step.call(c);
        if (!allowed(step, result)) {
            std::fprintf(stderr, "chaos_client: step %ld %s gave %u\n", i, step.name, result);
            return 4;
        }
    }
    return VORN_close(c.board) == VORN_OK ? 0 : 4;
}
