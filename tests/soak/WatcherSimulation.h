// A watcher on virtual time driven by a stream of random events, with its invariants checked
// after every event. The month-long soak test and the watcher fuzzer drive the same thing.
#pragma once

#include "RescueWatcher.h"
#include "fake/FakePlatform.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace drovix::simulation {

// Where the simulation takes its decisions from.
class ChoiceSource {
public:
    virtual ~ChoiceSource() = default;
    // A number below count (count > 0).
    virtual std::uint32_t below(std::uint32_t count) = 0;
    // True once the source has nothing left to give; it then answers 0.
    virtual bool exhausted() const = 0;
};

// Reproducible choices from a seed, the same on every machine.
class SeededChoices final : public ChoiceSource {
public:
    explicit SeededChoices(std::uint64_t seed) : state_(seed) {}
    std::uint32_t below(std::uint32_t count) override;
    bool exhausted() const override { return false; }

private:
    std::uint64_t state_;
};

// Choices read from bytes, as a fuzzer hands them over.
class ByteChoices final : public ChoiceSource {
public:
    explicit ByteChoices(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint32_t below(std::uint32_t count) override;
    bool exhausted() const override { return position_ >= bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// One thing that happens to the agent. The fields are choices that apply() interprets against
// the state of the simulation at that moment (which nonce was written last, what runs).
struct Event {
    enum class Kind : std::uint8_t {
        advance,           // time passes: seconds
        writeCommand,      // a client writes the record: kind, nonce, date choices
        writeFreshCommand, // a well-behaved client: "start" or "restart", new nonce, now
        writeIncomplete,   // a record without kind, nonce or both
        removeRecord,      // no record at all
        storeFails,        // the store answers with an error: which one
        storeHeals,        // the store answers with its record again
        fetchLatency,      // how long the store takes to answer: which latency
        appStarts,         // an instance of the main application starts by itself
        appExits,          // one instance, or all, exit by themselves
        instanceBehaviour, // how later instances answer a quit request: which behaviour
        wallJump,          // the wall clock is set off the true time, or right again
        cancelSleeps,      // the next sleeps end early with a cancellation: how many
        openOutcome,       // how the next opens end: which outcome and latency
        installation,      // where the main application is installed: which way
    };
    Kind kind = Kind::advance;
    double seconds = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint32_t third = 0;

    std::string describe() const;
};

// Bounds that keep one run within reach of its driver.
struct SimulationLimits {
    // Longest quiet spell one event may skip over.
    double longestAdvance = 3600.0;
    // Farthest the wall clock may be set ahead. An action taken while it is ahead keeps the agent
    // quiet until the true time catches up, so a month that should keep acting stays below years.
    double largestForwardSkew = 3.0e8;
};

// Decodes the next event from the choices.
Event nextEvent(ChoiceSource& choices, const SimulationLimits& limits);

// What happened during a run.
struct Figures {
    std::uint64_t events = 0;
    std::uint64_t fetches = 0;
    std::uint64_t fetchesWhileRunning = 0;
    std::uint64_t actions = 0;
    std::uint64_t restarts = 0;
    std::uint64_t forcings = 0;
    std::uint64_t opens = 0;
    std::uint64_t notFound = 0;
    std::uint64_t lines = 0;
    std::uint64_t standingBy = 0;
    std::uint64_t wallJumps = 0;
    std::size_t mostPendingWork = 0;
    std::size_t mostPendingEvents = 0;

    std::string summary() const;
};

// The watcher on the fake main loop, with a workspace whose instances obey or ignore quit
// requests, a store that answers late or fails, and an observer that checks the invariants at
// every fetch, every log line and after every event.
class WatcherSimulation {
public:
    WatcherSimulation();
    ~WatcherSimulation();
    WatcherSimulation(const WatcherSimulation&) = delete;
    WatcherSimulation& operator=(const WatcherSimulation&) = delete;

    void apply(const Event& event);

    // Drops the watcher and checks that nothing it left behind keeps looking or acting.
    void finish();

    // Broken invariants, each with the virtual time it was found at; empty while all hold.
    const std::vector<std::string>& violations() const { return violations_; }
    const Figures& figures() const { return figures_; }
    double monotonicNow() const { return loop_.monotonicNow(); }

    // Pending timers, jobs and sleeps of the main loop past this many break an invariant.
    static constexpr std::size_t pendingWorkLimit = 16;

private:
    class Workspace;
    class Store;
    class Observer;
    struct Instance {
        int id = 0;
        std::optional<double> quitDelay;
        bool leaving = false;
    };
    // A fetch issued by the watcher and not yet answered: how many actions came before it.
    struct Fetch {
        std::uint64_t actions = 0;
    };
    // The state of the checker between events.
    struct Watch {
        std::optional<std::string> lastActedNonce;
        double lastActionWall = 0;
        double lastActionMonotonic = 0;
        std::uint64_t jumpsAtLastAction = 0;
        std::optional<double> lastRunningFetchWall;
        std::optional<std::string> lastStandingBy;
        bool lastQueryFoundRunning = false;
        std::deque<double> launchesOwed;
        // Set while a fetch answer or an open completion is being delivered.
        const Fetch* answering = nullptr;
        std::optional<CommandRecord> answeredRecord;
        int answerLines = 0;
        bool acted = false;
        bool mustRestart = false;
        bool restarted = false;
        // No refusal has been logged since the last action.
        bool refusalOwed = false;
        bool completingOpen = false;
        int completionLines = 0;
    };

    void advance(double seconds);
    void at(double delay, std::function<void()> work);
    void checkAfterEvent();
    void violation(const std::string& what);

    void writeRecord(std::optional<std::string> kind, std::optional<std::string> nonce,
                     std::optional<Instant> issuedAt);
    std::string nonceFor(std::uint32_t choice, std::uint32_t detail);
    std::optional<Instant> dateFor(std::uint32_t choice, std::uint32_t detail) const;
    void startInstance();
    void endInstance(int id);
    void askToQuit(int id);
    void forceToQuit(int id);
    int runningCount() const;

    void onFetch(FetchCompletion completion);
    void answerFetch(const Fetch& fetch, FetchCompletion& completion);
    void onOpen(const AppUrl& url, const OpenConfiguration& configuration,
                OpenCompletion completion);
    void onLine(std::string_view line);
    void onActing();
    void onLaunchDone();

    testing::VirtualMainLoop loop_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<Observer> observer_;
    std::shared_ptr<RescueWatcher> watcher_;

    // Events of the simulated world, on the monotonic clock: (due, order) -> work.
    std::map<std::pair<double, std::uint64_t>, std::function<void()>> pending_;
    std::uint64_t nextOrder_ = 0;

    // The world.
    std::optional<CommandRecord> record_;
    std::optional<std::string> storeError_;
    double fetchLatency_ = 0.5;
    std::vector<Instance> instances_;
    int nextInstanceId_ = 1;
    std::optional<double> nextQuitDelay_ = 1.5;
    std::optional<std::string> openError_;
    double openLatency_ = 0.5;
    std::uint32_t installation_ = 0;
    std::uint64_t nextFreshNonce_ = 1;
    std::uint64_t lastFamily_ = 0;
    bool lastFamilyIsUnicode_ = false;
    std::uint32_t lastForm_ = 0;
    std::uint64_t jumps_ = 0;

    Watch watch_;
    Figures figures_;
    std::vector<std::string> violations_;
};

// What one run left behind.
struct RunOutcome {
    Figures figures;
    std::vector<std::string> violations;
    // The last events before the first violation, oldest first, for reproducing it.
    std::vector<std::string> recentEvents;
};

// Applies events from choices until the source is exhausted, the virtual clock passes
// untilSeconds or an invariant breaks; then, if all held, lets the watcher go and checks that too.
RunOutcome runSimulation(ChoiceSource& choices, const SimulationLimits& limits,
                         double untilSeconds);

} // namespace drovix::simulation
