// What one look costs on the real Linux layer: the /proc scan with about 100 and 1,000 processes
// on the machine, the record read and parsed, and one whole look of the agent's own watcher on
// its own main loop, with the record file and with CloudKit's web services (a stand-in on a unix
// socket, the connection kept between looks). The record is a "restart" issued an hour ago, so
// that each look reads it and evaluates it all the way to its age.
// Then 10,000 looks of the web store against a stand-in that misbehaves in every way it can:
// what they leave behind in memory and descriptors.
//
//   drovix_bench [Google Benchmark options]
#include "Identifiers.h"
#include "RescueWatcher.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/linux/AppWorkspace.h"
#include "platform/linux/CommandRecordWebStore.h"
#include "platform/linux/MainThread.h"
#include "platform/linux/Services.h"
#include "platform/posix/CommandRecordFileStore.h"

#include "../sample/StandInService.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace drovix {

namespace {

namespace fs = std::filesystem;

// However many processes a benchmark asks for, it starts no more than this.
constexpr std::size_t maxChildren = 1000;

constexpr std::int64_t staleAgeMilliseconds = 3600 * 1000;

int processCount()
{
    int count = 0;
    const posix::Directory proc(::opendir("/proc"));
    while (const dirent* entry = proc ? ::readdir(proc.get()) : nullptr)
        count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
    return count;
}

// Children that only sleep, enough to bring the machine to a number of processes. They are
// killed and reaped when this goes, and by the kernel should the benchmark die first.
class SleepingChildren {
public:
    explicit SleepingChildren(int processes)
    {
        const pid_t parent = ::getpid();
        for (int missing = processes - processCount(); missing > 0 && pids_.size() < maxChildren;
             --missing) {
            const pid_t pid = ::fork();
            if (pid < 0)
                break; // The user's process limit: the scan sees what there is.
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() != parent)
                    ::_exit(0);
                for (;;)
                    ::pause();
            }
            pids_.push_back(pid);
        }
    }
    SleepingChildren(const SleepingChildren&) = delete;
    SleepingChildren& operator=(const SleepingChildren&) = delete;
    ~SleepingChildren()
    {
        for (const pid_t pid : pids_)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
    }

private:
    std::vector<pid_t> pids_;
};

// Benchmarks must not write to the terminal.
class QuietLog final : public LogSink {
public:
    void log(std::string_view) override {}
};

// The agent's main loop, run until a look's answer has been handed over: the job the watcher
// posts when the store answers.
class LookLoop final : public MainThread {
public:
    explicit LookLoop(MainLoop& loop) : loop_(loop) {}
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double seconds,
                                                      std::function<void()> tick) override
    {
        return loop_.scheduleRepeating(seconds, std::move(tick));
    }
    void post(std::function<void()> job) override
    {
        loop_.post([this, job = std::move(job)] { job(), loop_.quit(); });
    }
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override
    {
        loop_.sleep(seconds, std::move(resume));
    }

private:
    MainLoop& loop_;
};

posix::Result<std::string> recordPath()
{
    return commandRecordPath(commandContainerIdentifier, ::getenv("XDG_DATA_HOME"), nullptr);
}

std::int64_t staleIssueTime()
{
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    return now.count() - staleAgeMilliseconds;
}

void scan(benchmark::State& state)
{
    const SleepingChildren children(static_cast<int>(state.range(0)));
    LinuxWorkspace workspace;
    for (auto _ : state)
        benchmark::DoNotOptimize(workspace.runningApplications(mainAppBundleIdentifier));
    state.counters["processes"] = processCount();
}
BENCHMARK(scan)->ArgName("processes")->Arg(100)->Arg(1000);

void recordRead(benchmark::State& state)
{
    const posix::Result<std::string> path = recordPath();
    bool read = false;
    const FetchCompletion completion = [&read](std::optional<CommandRecord> record,
                                               std::optional<std::string>) {
        read = record && record->issuedAt;
    };
    for (auto _ : state) {
        CommandRecordFileStore::fetchNow(path, completion);
        if (!read) {
            state.SkipWithError("the record was not read");
            break;
        }
    }
}
BENCHMARK(recordRead);

void recordParse(benchmark::State& state)
{
    const std::string text = commandRecordJson("restart", "bench", staleIssueTime());
    if (!parseCommandRecordFile(text))
        state.SkipWithError("the record text does not parse");
    for (auto _ : state)
        benchmark::DoNotOptimize(parseCommandRecordFile(text));
}
BENCHMARK(recordParse);

// The scan, the fetch on the main loop, the hand-over and the evaluation, through the store that
// openStore makes.
void wholeLook(benchmark::State& state,
               const std::function<std::unique_ptr<CommandRecordStore>(MainLoop&)>& openStore)
{
    posix::Result<std::unique_ptr<MainLoop>> loop = MainLoop::create();
    if (!loop) {
        state.SkipWithError(loop.error().c_str());
        return;
    }
    LookLoop mainThread(**loop);
    LinuxWorkspace workspace;
    if (!workspace.runningApplications(mainAppBundleIdentifier).empty()) {
        state.SkipWithError("Drovix runs on this machine: a look would not fetch");
        return;
    }
    const std::unique_ptr<Clock> clock = makeClock();
    QuietLog log;
    const auto watcher = std::make_shared<RescueWatcher>(Platform{
        workspace, [&](std::string_view) { return openStore(**loop); }, mainThread, *clock, log});
    for (auto _ : state) {
        watcher->look();
        (*loop)->run();
    }
}

void fileLook(benchmark::State& state)
{
    wholeLook(state, [](MainLoop& loop) {
        return std::make_unique<CommandRecordFileStore>(loop, recordPath());
    });
}
BENCHMARK(fileLook);

void webLook(benchmark::State& state)
{
    const std::string folder = ::getenv("XDG_DATA_HOME");
    support::StandInService service(folder + "/ck.sock", [](const support::StandInRequest&) {
        return support::StandInReply{
            200, "{\"records\":[" + commandRecordJson("restart", "bench", staleIssueTime()) + "]}"};
    });
    (void)posix::replaceFile(folder + "/web-auth-token", "bench-token");
    wholeLook(state, [&](MainLoop& loop) {
        return std::make_unique<CommandRecordWebStore>(
            loop, WebServiceSettings{"bench", "http://ck.bench", folder + "/ck.sock", "iCloud.b"},
            folder + "/web-auth-token");
    });
    state.counters["connections"] = service.requests().back().connection;
}
BENCHMARK(webLook);

// The resident set in KiB, and the open descriptors.
std::pair<double, double> footprint()
{
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    const auto fds = std::distance(fs::directory_iterator("/proc/self/fd"), {});
    return {double(resident) * double(::sysconf(_SC_PAGESIZE)) / 1024, double(fds)};
}

void faultyWebLooks(benchmark::State& state)
{
    using support::StandInReply;
    const std::string folder = ::getenv("XDG_DATA_HOME");
    const std::string token = folder + "/web-auth-token",
                      record = "{\"records\":[" +
                               commandRecordJson("restart", "bench", staleIssueTime()) + "]}";
    const auto error = [](int status, const std::string& code) {
        return StandInReply{status, R"({"serverErrorCode":")" + code + R"(","reason":"r"})"};
    };
    const std::vector<StandInReply> replies = {
        {200, record},
        {200, record, "", StandInReply::reset},
        {200, record, "X-Apple-CloudKit-Session: renewed\r\n", StandInReply::dribble},
        {200, "\x89PNG garbage\r\n\r\n\xff\xfe", "", StandInReply::raw},
        {200, record, "", StandInReply::cut},
        {502, "<html><body><h1>502 Bad Gateway</h1></body></html>"},
        error(503, "THROTTLED"),
        error(401, "AUTHENTICATION_FAILED"),
        {200, "{\"records\":[{\"recordName\":"},
        {0, "", "", StandInReply::silent}, // the request's time limit ends it
    };
    // The stand-in runs in a child of its own, so that only the store's memory and descriptors
    // are counted here.
    fs::remove(folder + "/ck.sock");
    const pid_t standIn = ::fork();
    if (standIn == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const support::StandInService service(folder + "/ck.sock",
                                              [&, count = std::size_t(0)](const auto&) mutable {
                                                  return replies[count++ % replies.size()];
                                              });
        for (;;)
            ::pause();
    }
    for (int wait = 0; wait < 1000 && !fs::exists(folder + "/ck.sock"); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    (void)posix::replaceFile(token, "bench-token");
    std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    CommandRecordWebStore store(
        *loop, {"bench", "http://ck.bench", folder + "/ck.sock", "iCloud.b", 1000, 50}, token);
    std::pair<double, double> before;
    std::int64_t looks = 0;
    for (auto _ : state) {
        store.fetchCommandRecord([&](auto, auto) { loop->quit(); });
        loop->run();
        if (++looks == 100) // libcurl's and the allocator's first needs met
            before = footprint();
    }
    const auto after = footprint();
    state.counters["rssBeforeKiB"] = before.first;
    state.counters["rssAfterKiB"] = after.first;
    state.counters["fdsBefore"] = before.second;
    state.counters["fdsAfter"] = after.second;
    ::kill(standIn, SIGKILL);
    ::waitpid(standIn, nullptr, 0);
}
BENCHMARK(faultyWebLooks)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

} // namespace

} // namespace drovix

int main(int argc, char** argv)
{
    using namespace drovix;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;

    // A data folder of its own, holding the record.
    std::string scratch = (fs::temp_directory_path() / "drovix-bench.XXXXXX").string();
    if (!::mkdtemp(scratch.data()) || ::setenv("XDG_DATA_HOME", scratch.c_str(), 1) != 0) {
        std::perror("drovix_bench: scratch folder");
        return 1;
    }
    const posix::Result<std::string> path = recordPath();
    fs::create_directories(fs::path(*path).parent_path());
    std::ofstream(*path) << commandRecordJson("restart", "bench", staleIssueTime());

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(scratch);
    return 0;
}
