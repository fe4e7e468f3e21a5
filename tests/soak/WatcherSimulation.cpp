// The simulated world around the watcher, the event decoder and the invariant checker.
#include "WatcherSimulation.h"

#include "Identifiers.h"
#include "LogText.h"
#include "platform/TextEquality.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <sstream>
#include <string_view>

namespace drovix::simulation {

using namespace std::string_view_literals;

namespace {

// Every duration of the simulated world is a multiple of 1/8 s, so that sums of them are exact
// and the world's events and the main loop's work fall due in one well-defined order.
constexpr std::array advanceSteps{0.0,    0.125, 0.5,  1.0,    2.0,   5.0,    9.875,  10.0,
                                  10.125, 15.0,  20.0, 29.875, 30.0,  30.125, 44.875, 45.0,
                                  45.125, 50.0,  60.0, 90.0,   120.0, 300.0};
constexpr std::array fetchLatencies{0.0, 0.125, 0.5, 2.0, 9.875, 10.0, 15.0, 25.0};
constexpr std::array openLatencies{0.0, 0.5, 2.0, 15.0};
// How long an instance takes to quit when asked; absent: it ignores the request.
constexpr std::array<std::optional<double>, 8> quitDelays{0.0, 0.5, 1.5,  3.0,
                                                          8.5, 9.5, 12.0, std::nullopt};
// How far the wall clock is set from the true time; the next setting replaces it, as a user or
// the network time service puts a wrong clock right again. Mostly right or a little off, now and
// then an hour or a day, rarely years.
double wallSkew(std::uint32_t choice, const SimulationLimits& limits)
{
    constexpr std::array small{5.0, -5.0, 31.0, -31.0, 46.0, -46.0, 121.0, -121.0};
    double skew = 0;
    if (choice < 100)
        skew = 0;
    else if (choice < 190)
        skew = small[choice % small.size()];
    else if (choice < 196)
        skew = choice % 2 ? 3600.0 : -3600.0;
    else if (choice < 198)
        skew = choice % 2 ? 86400.0 : -86400.0;
    else
        skew = choice % 2 ? 3.0e8 : -3.0e8;
    return std::min(skew, limits.largestForwardSkew);
}
constexpr std::uint32_t wallSkewChoices = 200;
constexpr std::array kinds{"start"sv,     "restart"sv,  "start"sv,    "restart"sv,
                           "Start"sv,     "RESTART"sv,  "reStart"sv,  "stop"sv,
                           "quit"sv,      ""sv,         "start "sv,   "\xef\xbd\x93tart"sv,
                           "restart\n"sv, "start\0x"sv, "\xff\xfe"sv, "re\xcc\x81start"sv};
constexpr std::array hostileNonces{""sv, "\n"sv, "a\0b"sv, "\xc3"sv, "\\xff"sv, "\xe2\x80\xa8"sv};
constexpr std::array storeErrors{"The network connection was lost."sv,
                                 "Account temporarily unavailable"sv,
                                 ""sv,
                                 "bad\nline"sv,
                                 "\xfe\xff"sv,
                                 "Server rejected request (15/2000); \"command\""sv};
constexpr std::array openErrors{"The application couldn't be launched."sv, "boom\r\n"sv};

constexpr double restartLongest = 11.0;
constexpr std::size_t pendingEventLimit = 64;
constexpr std::size_t violationLimit = 20;
constexpr int mostInstances = 3;

const AppUrl mainAppUrl{"/Applications/Drovix.app"};
const AppUrl agentBundleUrl{
    "/Applications/Drovix.app/Contents/Library/LoginItems/DrovixRescue.app"};

template <typename Table> auto pick(const Table& table, std::uint32_t choice)
{
    return table[choice % table.size()];
}

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// One of three canonically equivalent spellings of a nonce that is not ASCII: "Å" precomposed,
// decomposed and as the Angstrom sign, then "é" precomposed or decomposed.
constexpr std::array nonceForms{"\xc3\x85-caf\xc3\xa9-"sv, "A\xcc\x8a-cafe\xcc\x81-"sv,
                                "\xe2\x84\xab-caf\xc3\xa9-"sv};

std::string unicodeNonce(std::uint64_t family, std::uint32_t form)
{
    return std::string(nonceForms[form % nonceForms.size()]) + std::to_string(family);
}

// The same nonce spelled another canonically equivalent way, when it has another spelling.
std::string respelled(const std::string& nonce, std::uint32_t detail)
{
    for (std::size_t form = 0; form < nonceForms.size(); ++form) {
        if (!nonce.starts_with(nonceForms[form]))
            continue;
        const std::size_t other = (form + 1 + detail % 2) % nonceForms.size();
        return std::string(nonceForms[other]) + nonce.substr(nonceForms[form].size());
    }
    return nonce;
}

} // namespace

std::uint32_t SeededChoices::below(std::uint32_t count)
{
    // splitmix64: small, fast and the same everywhere.
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<std::uint32_t>(((z >> 32) * count) >> 32);
}

std::uint32_t ByteChoices::below(std::uint32_t count)
{
    if (count <= 1)
        return 0;
    std::uint32_t value = 0;
    const int bytes = count <= 256 ? 1 : count <= 65536 ? 2 : 4;
    for (int i = 0; i < bytes && position_ < bytes_.size(); ++i)
        value = (value << 8) | bytes_[position_++];
    return value % count;
}

std::string Event::describe() const
{
    const auto choices = [this] {
        return " " + std::to_string(first) + "/" + std::to_string(second) + "/" +
               std::to_string(third);
    };
    switch (kind) {
    case Kind::advance:
        return "advance " + number(seconds) + "s";
    case Kind::writeCommand:
        return "write command kind/nonce/date" + choices() + " detail " + number(seconds);
    case Kind::writeFreshCommand:
        return "write fresh " + std::string(first % 2 ? "restart" : "start") +
               (first < 2 ? "" : " with a nonce beyond ASCII") + " aged " + number(seconds) + "s";
    case Kind::writeIncomplete:
        return "write incomplete record" + choices();
    case Kind::removeRecord:
        return "remove record";
    case Kind::storeFails:
        return "store fails" + choices();
    case Kind::storeHeals:
        return "store heals";
    case Kind::fetchLatency:
        return "fetch latency " + number(pick(fetchLatencies, first)) + "s";
    case Kind::appStarts:
        return "app starts";
    case Kind::appExits:
        return first % 2 ? "all instances exit" : "one instance exits";
    case Kind::instanceBehaviour: {
        const auto delay = pick(quitDelays, first);
        return "instances quit " + (delay ? "after " + number(*delay) + "s" : "never");
    }
    case Kind::wallJump:
        return "wall clock set " + number(seconds) + "s from the true time";
    case Kind::cancelSleeps:
        return "cancel next " + std::to_string(first) + " sleeps";
    case Kind::openOutcome:
        return "opens end" + choices();
    case Kind::installation:
        return "installation " + std::to_string(first % 3);
    }
    return "unknown event";
}

Event nextEvent(ChoiceSource& choices, const SimulationLimits& limits)
{
    using Kind = Event::Kind;
    Event event;
    const std::uint32_t roll = choices.below(64);
    const auto choose = [&](Kind kind, std::uint32_t firstCount, std::uint32_t secondCount = 1,
                            std::uint32_t thirdCount = 1) {
        event.kind = kind;
        event.first = choices.below(firstCount);
        event.second = choices.below(secondCount);
        event.third = choices.below(thirdCount);
    };
    if (roll < 26) {
        event.kind = Kind::advance;
        event.seconds = pick(advanceSteps, choices.below(advanceSteps.size()));
    } else if (roll < 29) {
        event.kind = Kind::advance;
        event.seconds = (1 + choices.below(16)) / 8.0;
    } else if (roll < 35) {
        choose(Kind::writeFreshCommand, 4);
        event.seconds = (static_cast<double>(choices.below(33)) - 16) / 2;
    } else if (roll < 39) {
        choose(Kind::writeCommand, kinds.size(), 10, 16);
        event.seconds = choices.below(241);
    } else if (roll < 40) {
        choose(Kind::writeIncomplete, 3, kinds.size(), 16);
    } else if (roll < 41) {
        choose(Kind::removeRecord, 1);
    } else if (roll < 42) {
        choose(Kind::storeFails, storeErrors.size());
    } else if (roll < 45) {
        choose(Kind::storeHeals, 1);
    } else if (roll < 46) {
        choose(Kind::fetchLatency, fetchLatencies.size());
    } else if (roll < 49) {
        choose(Kind::appStarts, 1);
    } else if (roll < 52) {
        choose(Kind::appExits, 2);
    } else if (roll < 53) {
        choose(Kind::instanceBehaviour, quitDelays.size());
    } else if (roll < 54) {
        choose(Kind::wallJump, wallSkewChoices);
        event.seconds = wallSkew(event.first, limits);
    } else if (roll < 56) {
        choose(Kind::cancelSleeps, 4);
        event.first += 1;
    } else if (roll < 58) {
        choose(Kind::openOutcome, 2 + openErrors.size(), openLatencies.size());
    } else if (roll < 59) {
        choose(Kind::installation, 3);
    } else if (roll < 63) {
        event.kind = Kind::advance;
        event.seconds = pick(advanceSteps, choices.below(advanceSteps.size()));
    } else {
        // A long quiet spell: stale commands, many looks in a row.
        event.kind = Kind::advance;
        event.seconds = std::min(limits.longestAdvance, 600.0 * (1 + choices.below(6)));
    }
    return event;
}

std::string Figures::summary() const
{
    std::ostringstream text;
    text << events << " events: " << fetches << " fetches (" << fetchesWhileRunning
         << " while the app ran), " << actions << " actions, " << restarts << " restarts, "
         << forcings << " forced quits, " << opens << " open requests, " << notFound
         << " launches that found no app, " << lines << " log lines (" << standingBy
         << " standing by), " << wallJumps << " wall-clock jumps; at most " << mostPendingWork
         << " pending main-loop items and " << mostPendingEvents << " pending world events";
    return text.str();
}

// The workspace of the simulated desktop: instances that obey quit requests after their own
// delay or never, and an installation that can be found by identifier, only by its place, or not.
class WatcherSimulation::Workspace final : public AppWorkspace {
public:
    explicit Workspace(WatcherSimulation& simulation) : simulation_(simulation) {}

    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override
    {
        if (bundleIdentifier != mainAppBundleIdentifier)
            simulation_.violation("asked about the running instances of another application");
        std::vector<std::unique_ptr<RunningApplication>> handles;
        for (const Instance& instance : simulation_.instances_)
            handles.push_back(std::make_unique<Handle>(simulation_, instance.id));
        simulation_.watch_.lastQueryFoundRunning = !handles.empty();
        return handles;
    }

    std::optional<AppUrl> urlForApplication(std::string_view) override
    {
        if (simulation_.installation_ == 0)
            return mainAppUrl;
        return std::nullopt;
    }

    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override
    {
        simulation_.onOpen(url, configuration, std::move(completion));
    }

    AppUrl ownBundleUrl() override { return agentBundleUrl; }

    AppUrl deletingLastPathComponent(const AppUrl& url) override
    {
        const auto slash = url.path.find_last_of('/');
        return AppUrl{slash == std::string::npos || slash == 0 ? "/" : url.path.substr(0, slash)};
    }

    bool fileExists(const std::string& path) override
    {
        return simulation_.installation_ == 1 && path == mainAppUrl.path;
    }

private:
    class Handle final : public RunningApplication {
    public:
        Handle(WatcherSimulation& simulation, int id) : simulation_(simulation), id_(id) {}
        void terminate() override { simulation_.askToQuit(id_); }
        void forceTerminate() override { simulation_.forceToQuit(id_); }

    private:
        WatcherSimulation& simulation_;
        int id_;
    };

    WatcherSimulation& simulation_;
};

// The store's container handle; every fetch is answered by the world later.
class WatcherSimulation::Store final : public CommandRecordStore {
public:
    explicit Store(WatcherSimulation& simulation) : simulation_(simulation) {}
    void fetchCommandRecord(FetchCompletion completion) override
    {
        simulation_.onFetch(std::move(completion));
    }

private:
    WatcherSimulation& simulation_;
};

class WatcherSimulation::Observer final : public LogSink {
public:
    explicit Observer(WatcherSimulation& simulation) : simulation_(simulation) {}
    void log(std::string_view message) override { simulation_.onLine(message); }

private:
    WatcherSimulation& simulation_;
};

WatcherSimulation::WatcherSimulation()
    : workspace_(std::make_unique<Workspace>(*this)), observer_(std::make_unique<Observer>(*this))
{
    int containersOpened = 0;
    ContainerFactory openContainer =
        [this, containersOpened](
            std::string_view identifier) mutable -> std::unique_ptr<CommandRecordStore> {
        if (identifier != commandContainerIdentifier)
            violation("opened another container than the command container");
        if (++containersOpened > 1)
            violation("opened the container more than once");
        return std::make_unique<Store>(*this);
    };
    watcher_ = std::make_shared<RescueWatcher>(
        Platform{*workspace_, std::move(openContainer), loop_, loop_, *observer_});
    watcher_->start();
    loop_.runUntilIdle();
}

WatcherSimulation::~WatcherSimulation()
{
    watcher_.reset();
    pending_.clear();
}

void WatcherSimulation::violation(const std::string& what)
{
    if (violations_.size() >= violationLimit)
        return;
    violations_.push_back("at " + number(loop_.monotonicNow()) + "s (wall " + number(loop_.now()) +
                          "): " + what);
}

void WatcherSimulation::at(double delay, std::function<void()> work)
{
    pending_.emplace(std::pair{loop_.monotonicNow() + delay, nextOrder_++}, std::move(work));
}

void WatcherSimulation::advance(double seconds)
{
    constexpr double never = std::numeric_limits<double>::infinity();
    const double target = loop_.monotonicNow() + seconds;
    for (;;) {
        const double worldDue = pending_.empty() ? never : pending_.begin()->first.first;
        const double loopDue = loop_.nextDue().value_or(never);
        if (std::min(worldDue, loopDue) > target)
            break;
        if (loopDue <= worldDue) {
            loop_.advance(loopDue - loop_.monotonicNow());
            continue;
        }
        loop_.advance(worldDue - loop_.monotonicNow());
        auto next = pending_.extract(pending_.begin());
        next.mapped()();
        loop_.runUntilIdle();
    }
    loop_.advance(target - loop_.monotonicNow());
}

int WatcherSimulation::runningCount() const
{
    return static_cast<int>(instances_.size());
}

void WatcherSimulation::startInstance()
{
    if (runningCount() < mostInstances)
        instances_.push_back(Instance{nextInstanceId_++, nextQuitDelay_, false});
}

void WatcherSimulation::endInstance(int id)
{
    std::erase_if(instances_, [id](const Instance& instance) { return instance.id == id; });
}

void WatcherSimulation::askToQuit(int id)
{
    for (Instance& instance : instances_) {
        if (instance.id != id || instance.leaving || !instance.quitDelay)
            continue;
        instance.leaving = true;
        at(*instance.quitDelay, [this, id] { endInstance(id); });
    }
}

void WatcherSimulation::forceToQuit(int id)
{
    // Even a forced process takes a moment to go.
    at(0.25, [this, id] { endInstance(id); });
}

std::string WatcherSimulation::nonceFor(std::uint32_t choice, std::uint32_t detail)
{
    switch (choice) {
    case 3:
        lastFamily_ = nextFreshNonce_++;
        lastFamilyIsUnicode_ = true;
        lastForm_ = detail % 3;
        break;
    case 4:
    case 9:
        break; // the nonce written last, byte for byte
    case 5:
        if (lastFamilyIsUnicode_)
            lastForm_ = (lastForm_ + 1 + detail % 2) % 3;
        break;
    case 6:
        // The nonce acted on last, byte for byte or spelled another equivalent way.
        if (watch_.lastActedNonce)
            return detail % 2 ? respelled(*watch_.lastActedNonce, detail / 2)
                              : *watch_.lastActedNonce;
        break;
    case 7:
        return std::string(pick(hostileNonces, detail));
    default:
        lastFamily_ = nextFreshNonce_++;
        lastFamilyIsUnicode_ = false;
        break;
    }
    return lastFamilyIsUnicode_ ? unicodeNonce(lastFamily_, lastForm_)
                                : "n" + std::to_string(lastFamily_);
}

std::optional<Instant> WatcherSimulation::dateFor(std::uint32_t choice, std::uint32_t detail) const
{
    const Instant now = loop_.now();
    // The wall-clock time at which the next tick's fetch will be answered, unless the clock or
    // the store changes meanwhile: dates at the very edge of the window as that answer sees them.
    const double monotonic = loop_.monotonicNow();
    const double nextTick =
        (std::floor(monotonic / RescueWatcher::lookInterval) + 1) * RescueWatcher::lookInterval;
    const Instant nextAnswer = now + (nextTick - monotonic) + fetchLatency_;
    constexpr std::array edges{-120.0, 120.0, -120.5, 120.5, -0.5, 0.0};
    switch (choice) {
    case 6:
    case 7:
        return nextAnswer - pick(edges, detail);
    case 8:
        return now - 120.5;
    case 9:
        return now + 0.5;
    case 10:
        return now - 121.0 - 1000.0 * detail;
    case 11:
        return now + 121.0 + 60.0 * detail;
    case 12:
        return std::numeric_limits<double>::quiet_NaN();
    case 13:
        return detail % 2 ? std::numeric_limits<double>::infinity()
                          : -std::numeric_limits<double>::infinity();
    case 14: {
        constexpr std::array extremes{1e300, -1e300, 0.0, -62'135'596'800.0};
        return pick(extremes, detail);
    }
    case 15:
        return std::nullopt;
    default:
        return now - (static_cast<double>(detail) - 120);
    }
}

void WatcherSimulation::writeRecord(std::optional<std::string> kind,
                                    std::optional<std::string> nonce,
                                    std::optional<Instant> issuedAt)
{
    record_ = CommandRecord{std::move(kind), std::move(nonce), issuedAt};
}

void WatcherSimulation::apply(const Event& event)
{
    using Kind = Event::Kind;
    ++figures_.events;
    switch (event.kind) {
    case Kind::advance:
        advance(event.seconds);
        break;
    case Kind::writeFreshCommand:
        writeRecord(event.first % 2 ? "restart" : "start", nonceFor(event.first < 2 ? 0 : 3, 0),
                    loop_.now() - event.seconds);
        break;
    case Kind::writeCommand:
        writeRecord(std::string(pick(kinds, event.first)),
                    nonceFor(event.second, static_cast<std::uint32_t>(event.seconds)),
                    dateFor(event.third, static_cast<std::uint32_t>(event.seconds)));
        break;
    case Kind::writeIncomplete: {
        std::optional<std::string> kind = std::string(pick(kinds, event.second));
        std::optional<std::string> nonce = nonceFor(0, 0);
        if (event.first != 1)
            kind.reset();
        if (event.first != 0)
            nonce.reset();
        writeRecord(kind, nonce, dateFor(event.third, 0));
        break;
    }
    case Kind::removeRecord:
        record_.reset();
        break;
    case Kind::storeFails:
        storeError_ = std::string(pick(storeErrors, event.first));
        break;
    case Kind::storeHeals:
        storeError_.reset();
        break;
    case Kind::fetchLatency:
        fetchLatency_ = pick(fetchLatencies, event.first);
        break;
    case Kind::appStarts:
        startInstance();
        break;
    case Kind::appExits:
        if (event.first % 2)
            instances_.clear();
        else if (!instances_.empty())
            instances_.erase(instances_.begin());
        break;
    case Kind::instanceBehaviour:
        nextQuitDelay_ = pick(quitDelays, event.first);
        break;
    case Kind::wallJump:
        ++jumps_;
        ++figures_.wallJumps;
        loop_.setWallTime(testing::VirtualMainLoop::startWallTime + loop_.monotonicNow() +
                          event.seconds);
        break;
    case Kind::cancelSleeps:
        loop_.cancelNextSleeps(static_cast<int>(event.first));
        break;
    case Kind::openOutcome:
        if (event.first < 2)
            openError_.reset();
        else
            openError_ = std::string(pick(openErrors, event.first - 2));
        openLatency_ = pick(openLatencies, event.second);
        break;
    case Kind::installation:
        installation_ = event.first % 3;
        break;
    }
    checkAfterEvent();
}

void WatcherSimulation::checkAfterEvent()
{
    const double now = loop_.monotonicNow();
    if (!watch_.launchesOwed.empty() && now - watch_.launchesOwed.front() > restartLongest)
        violation("the action at " + number(watch_.launchesOwed.front()) +
                  "s never ended in a launch");
    const std::size_t pendingWork = loop_.pendingWork();
    figures_.mostPendingWork = std::max(figures_.mostPendingWork, pendingWork);
    if (pendingWork > pendingWorkLimit)
        violation(std::to_string(pendingWork) + " timers, jobs and sleeps pending");
    figures_.mostPendingEvents = std::max(figures_.mostPendingEvents, pending_.size());
    if (pending_.size() > pendingEventLimit)
        violation(std::to_string(pending_.size()) + " fetches, opens and exits pending");
}

void WatcherSimulation::onFetch(FetchCompletion completion)
{
    ++figures_.fetches;
    const Instant wall = loop_.now();
    // The gates read the wall clock, so the gaps hold in wall time whatever jumps it made; the
    // stored dates only move forward past a gate that found them more than the gap behind.
    if (figures_.actions > 0 && !(wall - watch_.lastActionWall > RescueWatcher::actionCooldown))
        violation("fetched " + number(wall - watch_.lastActionWall) +
                  "s of wall time after an action");
    if (watch_.lastQueryFoundRunning) {
        ++figures_.fetchesWhileRunning;
        if (watch_.lastRunningFetchWall &&
            !(wall - *watch_.lastRunningFetchWall > RescueWatcher::runningLookInterval))
            violation("fetched while the app runs " + number(wall - *watch_.lastRunningFetchWall) +
                      "s of wall time after the last such fetch");
        watch_.lastRunningFetchWall = wall;
    }
    const Fetch fetch{figures_.actions};
    at(fetchLatency_, [this, fetch, completion = std::move(completion)]() mutable {
        answerFetch(fetch, completion);
    });
}

namespace {

// Whether a record must be acted on, given the nonce acted on last and the wall clock now.
bool answerable(const CommandRecord& record, const std::optional<std::string>& lastNonce,
                Instant now)
{
    if (!record.kind || !record.nonce || !record.issuedAt)
        return false;
    if (!textsEqual(*record.kind, "start") && !textsEqual(*record.kind, "restart"))
        return false;
    if (lastNonce && textsEqual(*lastNonce, *record.nonce))
        return false;
    return std::fabs(now - *record.issuedAt) <= RescueWatcher::commandWindow;
}

} // namespace

void WatcherSimulation::answerFetch(const Fetch& fetch, FetchCompletion& completion)
{
    std::optional<CommandRecord> record;
    std::optional<std::string> error;
    if (storeError_)
        error = storeError_;
    else
        record = record_;

    const bool watched = watcher_ != nullptr;
    const bool mustAct = record && answerable(*record, watch_.lastActedNonce, loop_.now());
    watch_.answering = &fetch;
    watch_.answeredRecord = record;
    watch_.answerLines = 0;
    watch_.acted = false;
    watch_.mustRestart = false;
    watch_.restarted = false;
    completion(std::move(record), std::move(error));
    loop_.runUntilIdle();
    watch_.answering = nullptr;

    if (!watched)
        return;
    if (mustAct && !watch_.acted)
        violation("did not act on an answerable, new and fresh command");
    if (!mustAct && watch_.acted)
        violation("acted on a command that was stale, repeated or not ours");
    if (watch_.mustRestart != watch_.restarted)
        violation(watch_.restarted ? "restarted for a start, or with nothing running"
                                   : "did not restart a running app on a restart command");
    // An action forgets the last reason, so the first refusal after it is always news.
    if (!watch_.acted && watch_.answerLines == 0 && watch_.refusalOwed)
        violation("the first refusal after an action went unlogged");
    if (watch_.answerLines > 0)
        watch_.refusalOwed = watch_.acted;
}

void WatcherSimulation::onOpen(const AppUrl& url, const OpenConfiguration& configuration,
                               OpenCompletion completion)
{
    ++figures_.opens;
    if (!configuration.activates)
        violation("opened the app without bringing it to the front");
    if (url != mainAppUrl)
        violation("opened " + url.path + " instead of the main application");
    onLaunchDone();
    at(openLatency_, [this, error = openError_, completion = std::move(completion)] {
        watch_.completingOpen = true;
        watch_.completionLines = 0;
        completion(error);
        watch_.completingOpen = false;
        if (watch_.completionLines != 1)
            violation("an open completion logged " + std::to_string(watch_.completionLines) +
                      " lines");
        if (!error && instances_.empty())
            startInstance();
    });
}

void WatcherSimulation::onLaunchDone()
{
    if (watch_.launchesOwed.empty()) {
        violation("a launch that no action asked for");
        return;
    }
    if (loop_.monotonicNow() - watch_.launchesOwed.front() > restartLongest)
        violation("launched " + number(loop_.monotonicNow() - watch_.launchesOwed.front()) +
                  "s after the action");
    watch_.launchesOwed.pop_front();
}

void WatcherSimulation::onActing()
{
    const CommandRecord& record = *watch_.answeredRecord;
    const std::string& nonce = *record.nonce;
    if (watch_.lastActedNonce && textsEqual(*watch_.lastActedNonce, nonce))
        violation("acted again on the nonce acted on last");
    // A fetch issued after the previous action, with no clock jump since that action.
    const bool comparable = figures_.actions > 0 && watch_.answering->actions == figures_.actions &&
                            watch_.jumpsAtLastAction == jumps_;
    if (comparable &&
        !(loop_.monotonicNow() - watch_.lastActionMonotonic > RescueWatcher::actionCooldown))
        violation("acted " + number(loop_.monotonicNow() - watch_.lastActionMonotonic) +
                  "s after the previous action");

    ++figures_.actions;
    watch_.acted = true;
    watch_.mustRestart = textsEqual(*record.kind, "restart") && runningCount() > 0;
    watch_.lastActedNonce = nonce;
    watch_.lastActionWall = loop_.now();
    watch_.lastActionMonotonic = loop_.monotonicNow();
    watch_.jumpsAtLastAction = jumps_;
    watch_.launchesOwed.push_back(loop_.monotonicNow());
    watch_.lastStandingBy.reset();
}

void WatcherSimulation::onLine(std::string_view line)
{
    ++figures_.lines;
    if (!line.starts_with(logPrefix)) {
        violation("a line without the prefix");
        return;
    }
    if (std::any_of(line.begin(), line.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7f;
        }))
        violation("a control character in a log line");
    const std::string_view text = line.substr(logPrefix.size());
    const auto evaluationLine = [this] {
        if (!watch_.answering)
            violation("an evaluation line outside a fetch answer");
        else if (++watch_.answerLines > 1)
            violation("one fetch answer logged two evaluation lines");
        return watch_.answering != nullptr;
    };

    if (text.starts_with("standing by, ")) {
        ++figures_.standingBy;
        evaluationLine();
        if (watch_.lastStandingBy && textsEqual(*watch_.lastStandingBy, line))
            violation("the same standing-by reason twice in a row");
        watch_.lastStandingBy = std::string(line);
    } else if (text.starts_with("acting on ")) {
        if (evaluationLine() && watch_.answeredRecord && watch_.answeredRecord->nonce)
            onActing();
        else
            violation("acted without a record that has a nonce");
    } else if (text.starts_with("restarting Drovix (")) {
        ++figures_.restarts;
        watch_.restarted = true;
        if (!watch_.answering || !watch_.acted)
            violation("a restart outside an action");
        if (text != "restarting Drovix (" + std::to_string(runningCount()) + " running)")
            violation("a restart that miscounted the running instances");
    } else if (text == "Drovix wouldn't quit, forcing it") {
        ++figures_.forcings;
    } else if (text == "asked to start Drovix but couldn't find it") {
        ++figures_.notFound;
        if (installation_ != 2)
            violation("did not find an installed app");
        onLaunchDone();
    } else if (text == "started Drovix" || text.starts_with("couldn't start Drovix \u2014 ")) {
        if (!watch_.completingOpen)
            violation("an open outcome outside an open completion");
        ++watch_.completionLines;
    } else {
        violation("an unexpected line: " + std::string(line));
    }
}

void WatcherSimulation::finish()
{
    std::weak_ptr<RescueWatcher> weak = watcher_;
    watcher_.reset();
    // A restart sequence under way holds the watcher until it ends.
    advance(restartLongest + 1);
    if (!weak.expired())
        violation("the watcher outlived its last restart sequence");
    checkAfterEvent();
    const Figures before = figures_;
    advance(600);
    if (figures_.fetches != before.fetches || figures_.actions != before.actions ||
        figures_.standingBy != before.standingBy)
        violation("looked or acted after the watcher was gone");
}

RunOutcome runSimulation(ChoiceSource& choices, const SimulationLimits& limits, double untilSeconds)
{
    constexpr std::size_t remembered = 24;
    WatcherSimulation simulation;
    std::deque<Event> recent;
    while (!choices.exhausted() && simulation.monotonicNow() < untilSeconds &&
           simulation.violations().empty()) {
        recent.push_back(nextEvent(choices, limits));
        if (recent.size() > remembered)
            recent.pop_front();
        simulation.apply(recent.back());
    }
    if (simulation.violations().empty())
        simulation.finish();
    RunOutcome outcome{simulation.figures(), simulation.violations(), {}};
    for (const Event& event : recent)
        outcome.recentEvents.push_back(event.describe());
    return outcome;
}

} // namespace drovix::simulation
