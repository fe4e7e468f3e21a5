// A month of a desktop's life on virtual time: every invariant of the watcher holds after every
// event, and the same seed always gives the same month.
#include "WatcherSimulation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace drovix::simulation {
namespace {

constexpr double day = 86400.0;

// DROVIX_SOAK_SEED picks another month to explore; the default one is what CI runs.
std::uint64_t monthSeed()
{
    if (const char* seed = std::getenv("DROVIX_SOAK_SEED"))
        return std::strtoull(seed, nullptr, 10);
    return 20261206;
}

std::string failureReport(std::uint64_t seed, const RunOutcome& outcome)
{
    std::string report =
        "seed " + std::to_string(seed) + ", " + outcome.figures.summary() + "\nviolations:\n";
    for (const std::string& violation : outcome.violations)
        report += "  " + violation + "\n";
    report += "last events, oldest first:\n";
    for (const std::string& event : outcome.recentEvents)
        report += "  " + event + "\n";
    return report;
}

TEST(MonthSoakTest, ThirtyDaysOfRandomEventsKeepEveryInvariant)
{
    const std::uint64_t seed = monthSeed();
    SeededChoices choices(seed);
    SimulationLimits limits;
    limits.largestForwardSkew = day;
    const RunOutcome outcome = runSimulation(choices, limits, 30 * day);
    std::cout << "[ figures  ] 30 days, seed " << seed << ": " << outcome.figures.summary()
              << std::endl;
    ASSERT_TRUE(outcome.violations.empty()) << failureReport(seed, outcome);

    // The month must have reached what the invariants are about, or their holding says little.
    const Figures& figures = outcome.figures;
    EXPECT_GT(figures.actions, 1000u);
    EXPECT_GT(figures.restarts, 100u);
    EXPECT_GT(figures.forcings, 10u);
    EXPECT_GT(figures.notFound, 10u);
    EXPECT_GT(figures.fetchesWhileRunning, 1000u);
    EXPECT_GT(figures.wallJumps, 100u);
    EXPECT_GT(figures.standingBy, 1000u);
}

TEST(MonthSoakTest, TheSameSeedGivesTheSameRun)
{
    const auto twoDays = [](std::uint64_t seed) {
        SeededChoices choices(seed);
        return runSimulation(choices, SimulationLimits{}, 2 * day).figures.summary();
    };
    EXPECT_EQ(twoDays(7), twoDays(7));
    EXPECT_NE(twoDays(7), twoDays(8));
}

} // namespace
} // namespace drovix::simulation
