// A hundred client processes on one daemon, up to 32 of them at once, a seeded share of them
// killed with SIGKILL at a random call (while connecting, with a wait pending, in the middle of a
// query): the daemon keeps serving the survivors and a newcomer, ends every dead client's requests
// and handles, and unloads with an empty pool.
#include "chaos_rig.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace chaostest;

constexpr unsigned kClients = 100;
constexpr unsigned kCallsPerClient = 24;

std::vector<ClientPlan> planFleet(uint32_t seed, unsigned boards) {
    std::mt19937 random(seed);
    std::vector<ClientPlan> plans(kClients);
    for (unsigned i = 0; i < kClients; ++i) {
        plans[i].board = "VORNpci" + std::to_string(random() % boards);
        plans[i].seed = random();
        plans[i].steps = kCallsPerClient;
        // Half of them die: at any announced call, the connection (0) included.
        if (random() % 2 == 0)
            plans[i].killAtCall = int(random() % (kCallsPerClient + 1));
    }
    return plans;
}

unsigned plannedKills(const std::vector<ClientPlan>& plans) {
    unsigned kills = 0;
    for (const ClientPlan& plan : plans)
        kills += plan.killAtCall >= 0;
    return kills;
}

TEST(ClientKillTest, DaemonServesSurvivorsAndNewcomersAndLeaksNothing) {
    const uint32_t seed = chaosSeed();
    auto daemon = startDaemon(boardArgs({0x9070, 0x7100}));
    ASSERT_TRUE(daemon);
    const std::vector<ClientPlan> plans = planFleet(seed, 2);
    // Two long-lived clients work on through the whole massacre.
    Load steady(daemon->socketPath(), 2, 0, seed, [](const Driver& d, std::mt19937&) {
        std::string problem = unless("get time", d.getTime(), {STATUS_SUCCESS});
        problem += unless("get date", d.getDate(), {STATUS_SUCCESS});
        return problem;
    });

    FleetOutcome outcome = runFleet(daemon->socketPath(), plans);
    EXPECT_TRUE(steady.runRounds(1));
    steady.stop();
    for (const std::string& problem : steady.problems())
        ADD_FAILURE() << problem;
    EXPECT_GT(steady.rounds(), 0u);

    for (const std::string& failure : outcome.failures)
        ADD_FAILURE() << failure;
    EXPECT_EQ(outcome.finished + outcome.killed, kClients);
    EXPECT_GE(outcome.finished, kClients - plannedKills(plans));
    EXPECT_GT(outcome.killed, 0u);

    // A newcomer is served on each board, while the dead clients' connections wind down.
    auto newcomer = vornhost::DaemonClient::connect(daemon->socketPath());
    ASSERT_TRUE(newcomer);
    for (unsigned board = 0; board < 2; ++board) {
        uint64_t handle = 0;
        ASSERT_EQ(newcomer->open(boardName(board), kShareAll, &handle), STATUS_SUCCESS);
        Driver driver{*newcomer, handle};
        EXPECT_EQ(driver.getTime(), STATUS_SUCCESS);
        EXPECT_EQ(driver.getDate(), STATUS_SUCCESS);
        EXPECT_EQ(driver.flushFifo(), STATUS_SUCCESS);
        EXPECT_EQ(driver.simEvent(), STATUS_SUCCESS);
        EXPECT_EQ(driver.waitEvent(10'000), STATUS_SUCCESS);
        EXPECT_EQ(newcomer->close(handle), STATUS_SUCCESS);
    }
    EXPECT_TRUE(daemonIdle(*newcomer)) << "requests or connections of dead clients linger";
    newcomer.reset();
    expectCleanStop(*daemon);
    // Killed after their open, some clients left a handle that the daemon closed for them.
    std::regex leftOpen("ended, [1-9][0-9]* handle\\(s\\) left open were closed");
    const std::string log = daemon->log();
    auto closedForDead = std::distance(std::sregex_iterator(log.begin(), log.end(), leftOpen),
                                       std::sregex_iterator());
    EXPECT_GT(closedForDead, 0) << log;
}

// The same fleet with nobody killed: every client's calls end with the results their contract
// allows, so the failures above come from the kills alone.
TEST(ClientKillTest, UnkilledFleetFinishesWhole) {
    const uint32_t seed = chaosSeed() + 1;
    auto daemon = startDaemon(boardArgs({0x9070}));
    ASSERT_TRUE(daemon);
    std::vector<ClientPlan> plans = planFleet(seed, 1);
    plans.resize(kClients / 4);
    for (ClientPlan& plan : plans)
        plan.killAtCall = -1;

    FleetOutcome outcome = runFleet(daemon->socketPath(), plans);

    for (const std::string& failure : outcome.failures)
        ADD_FAILURE() << failure;
    EXPECT_EQ(outcome.finished, plans.size());
    expectCleanStop(*daemon);
}

} // namespace
