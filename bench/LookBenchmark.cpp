// What one look costs, part by part, beside one wake of the minimal loop.
//
//   drovix_bench [Google Benchmark options]   time (and instructions, where the machine counts
//                                             them) of each part
//   drovix_bench --check                      runs each part and checks what it found
//   drovix_bench --instructions PART RUNS     runs one part for callgrind (bench/instructions)
#include "LookScene.h"

#include <benchmark/benchmark.h>

// Valgrind's header marks where callgrind counts; without it the instruction counts come from the
// kernel's counters alone.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) ((void)(name))
#endif

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>

namespace drovix::bench {

namespace {

LookScene* scene = nullptr;

// The parts by name, as the benchmarks and the instruction counts call them.
const std::map<std::string, std::function<void()>>& parts()
{
    static const std::map<std::string, std::function<void()>> table{
        {"MinimalWake", [] { benchmark::DoNotOptimize(scene->minimalWake()); }},
        {"Scan", [] { benchmark::DoNotOptimize(scene->scan()); }},
        {"RecordRead", [] { benchmark::DoNotOptimize(scene->readRecord()); }},
        {"RecordParse", [] { benchmark::DoNotOptimize(scene->parseRecord()); }},
        {"Evaluation", [] { scene->evaluate(); }},
        {"WholeLook", [] { benchmark::DoNotOptimize(scene->wholeLook()); }},
        {"HandOffFromNewThread", [] { scene->handOffFromNewThread(); }},
        {"HandOffFromStandingWorker", [] { scene->handOffFromStandingWorker(); }},
    };
    return table;
}

// Runs a part for as long as the benchmark asks, adding the instructions per run where the
// machine counts them.
void measure(benchmark::State& state, const std::function<void()>& part)
{
    static InstructionCounter instructions;
    part(); // Warm: caches filled, container opened.
    if (instructions.available())
        instructions.start();
    for (auto _ : state)
        part();
    if (instructions.available())
        state.counters["instructions"] = benchmark::Counter(
            static_cast<double>(instructions.stop()), benchmark::Counter::kAvgIterations);
}

void registerBenchmarks()
{
    benchmark::RegisterBenchmark("MinimalWake",
                                 [](benchmark::State& state) {
                                     scene->setDrovixRunning(false);
                                     measure(state, parts().at("MinimalWake"));
                                 })
        ->MeasureProcessCPUTime()
        ->UseRealTime();

    // Without and with a running Drovix; an unrelated bundle runs throughout. plistOpens counts
    // the reads of that bundle's Info.plist per scan: the cache keeps it at zero.
    benchmark::RegisterBenchmark("Scan",
                                 [](benchmark::State& state) {
                                     scene->setDrovixRunning(state.range(0) != 0);
                                     scene->infoPlistOpens();
                                     measure(state, parts().at("Scan"));
                                     state.counters["plistOpens"] = benchmark::Counter(
                                         static_cast<double>(scene->infoPlistOpens()),
                                         benchmark::Counter::kAvgIterations);
                                     scene->setDrovixRunning(false);
                                 })
        ->ArgName("running")
        ->Arg(0)
        ->Arg(1);

    // A scan just after the unrelated bundle's Info.plist changed: the one re-read it costs.
    benchmark::RegisterBenchmark("ScanAfterBundleChange", [](benchmark::State& state) {
        scene->setDrovixRunning(false);
        scene->infoPlistOpens();
        for (auto _ : state) {
            state.PauseTiming();
            scene->touchInfoPlist();
            state.ResumeTiming();
            benchmark::DoNotOptimize(scene->scan());
        }
        state.counters["plistOpens"] = benchmark::Counter(
            static_cast<double>(scene->infoPlistOpens()), benchmark::Counter::kAvgIterations);
    });

    benchmark::RegisterBenchmark(
        "RecordRead", [](benchmark::State& state) { measure(state, parts().at("RecordRead")); });
    benchmark::RegisterBenchmark(
        "RecordParse", [](benchmark::State& state) { measure(state, parts().at("RecordParse")); });
    benchmark::RegisterBenchmark(
        "Evaluation", [](benchmark::State& state) { measure(state, parts().at("Evaluation")); });

    // The fetch runs on a thread of its own and hands back to the main loop: the CPU time is the
    // whole process's, and the real time shows the hops between threads too.
    benchmark::RegisterBenchmark(
        "WholeLook",
        [](benchmark::State& state) {
            scene->setDrovixRunning(false);
            if (scene->scan() != 0) {
                state.SkipWithError("Drovix runs on this machine, so a look would not fetch");
                return;
            }
            measure(state, parts().at("WholeLook"));
        })
        ->MeasureProcessCPUTime()
        ->UseRealTime();

    // What the fetch's trip through another thread costs, and what it would with a thread that
    // stays (two threads while idle instead of one).
    for (const char* name : {"HandOffFromNewThread", "HandOffFromStandingWorker"}) {
        benchmark::RegisterBenchmark(
            name, [name](benchmark::State& state) { measure(state, parts().at(name)); })
            ->MeasureProcessCPUTime()
            ->UseRealTime();
    }
}

// --check: each part once or a few times, with what it must have found.
int check()
{
    int failures = 0;
    auto expect = [&failures](bool ok, const std::string& what) {
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
        if (!ok)
            ++failures;
    };
    auto near = [](double a, double b) { return std::fabs(a - b) < 120; };

    // Another Drovix may run on this machine, as the user's own: the scan counts it too.
    scene->setDrovixRunning(false);
    const std::size_t elsewhere = scene->scan();
    expect(scene->minimalWake() == 0, "the minimal wake finds no Drovix while none runs");
    scene->setDrovixRunning(true);
    expect(scene->minimalWake() == 1, "the minimal wake finds the running Drovix");
    expect(scene->scan() == elsewhere + 1, "the scan finds the running Drovix");
    scene->setDrovixRunning(false);
    expect(scene->scan() == elsewhere, "the scan no longer finds Drovix once it ended");

    scene->infoPlistOpens();
    for (int look = 0; look < 5; ++look)
        scene->scan();
    expect(scene->infoPlistOpens() == 0, "scans of an unchanged bundle read no Info.plist");
    scene->touchInfoPlist();
    scene->scan();
    expect(scene->infoPlistOpens() == 1, "the scan after a change reads that Info.plist once");
    scene->scan();
    expect(scene->infoPlistOpens() == 0, "and the scan after it reads none");

    const double hourAgo = static_cast<double>(wallClockMilliseconds()) / 1000 - 3600;
    for (const auto& [name, record] :
         {std::pair{"read", scene->readRecord()}, std::pair{"parse", scene->parseRecord()}}) {
        expect(record && record->kind == "restart" && record->nonce == "bench-stale" &&
                   record->issuedAt && near(*record->issuedAt, hourAgo),
               std::string("the record ") + name + " gives the restart issued an hour ago");
    }

    scene->evaluate();
    expect(scene->evaluationLine() ==
               "DrovixRescue: standing by, command restart is 3600s old, outside the 120s window",
           "the evaluation refuses the stale command: " + scene->evaluationLine());

    if (elsewhere == 0) {
        const int fetchesBefore = scene->wholeLook();
        const int fetchesAfter = scene->wholeLook();
        expect(fetchesAfter == fetchesBefore + 1, "each whole look fetches the record");
        expect(scene->lookLine().starts_with("DrovixRescue: standing by, command restart is 360"),
               "the whole look evaluates the fetched record: " + scene->lookLine());
    } else {
        std::printf("skip the whole look: Drovix runs elsewhere on this machine, so a look would "
                    "not fetch\n");
    }

    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

// --instructions PART RUNS: under callgrind, the cost of RUNS runs of PART is dumped on its own
// ("part PART"), after one warming run; where the machine counts instructions, they are printed.
int countInstructions(const std::string& name, long runs)
{
    const auto found = parts().find(name);
    if (found == parts().end() || runs <= 0) {
        std::fprintf(stderr, "unknown part or run count: %s %ld\n", name.c_str(), runs);
        return 2;
    }
    scene->setDrovixRunning(false);
    if (name == "WholeLook" && scene->scan() != 0) {
        std::fprintf(stderr, "Drovix runs on this machine, so a look would not fetch\n");
        return 1;
    }
    found->second();
    InstructionCounter instructions;
    CALLGRIND_ZERO_STATS;
    if (instructions.available())
        instructions.start();
    for (long run = 0; run < runs; ++run)
        found->second();
    const std::uint64_t counted = instructions.available() ? instructions.stop() : 0;
    const std::string dumpName = "part " + name;
    CALLGRIND_DUMP_STATS_AT(dumpName.c_str());
    if (instructions.available())
        std::printf("%s: %.0f instructions per run\n", name.c_str(),
                    static_cast<double>(counted) / static_cast<double>(runs));
    return 0;
}

} // namespace

} // namespace drovix::bench

int main(int argc, char** argv)
{
    using namespace drovix::bench;
    // The stand-in for a running application: the scene runs copies of this program in bundles.
    if (argc == 2 && std::strcmp(argv[1], "--sleep") == 0) {
        for (;;)
            pause();
    }

    // Output piped into a reader that quit early must not end the program before the scene's
    // children and scratch folder are cleaned up.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        LookScene theScene;
        scene = &theScene;
        if (argc == 2 && std::strcmp(argv[1], "--check") == 0)
            return check();
        if (argc == 4 && std::strcmp(argv[1], "--instructions") == 0)
            return countInstructions(argv[2], std::strtol(argv[3], nullptr, 10));

        registerBenchmarks();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            return 2;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "drovix_bench: %s\n", error.what());
        return 1;
    }
}
