// The Linux layer against real files and processes: the command record, Info.plists, links and
// files, the main loop, the log sink and clock, running instances, signals and opening bundles.
#include "Support.h"
#include "platform/Platform.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/linux/AppWorkspace.h"
#include "platform/linux/BundlePaths.h"
#include "platform/linux/CommandRecordFileStore.h"
#include "platform/linux/LogSink.h"
#include "platform/linux/MainThread.h"
#include "platform/linux/Time.h"

#include <sys/epoll.h>
#include <sys/stat.h>

#include <cmath>
#include <future>

namespace drovix {
namespace {

using namespace support;
using Table = std::vector<std::pair<std::string, Strings>>; // outcome, inputs that give it

std::string field(const std::string& name, const std::string& value,
                  const std::string& type = "STRING")
{
    return "\"" + name + "\": {\"value\": " + value + ", \"type\": \"" + type + "\"}";
}

std::string record(const std::string& fields)
{
    return "{\"recordName\": \"command\", \"fields\": {" + fields + "}}";
}

// "kind|nonce|issuedAt" with "-" for an absent field, or why the file is refused.
std::string read(const std::string& bytes)
{
    const posix::Result<CommandRecord> got = parseCommandRecordFile(bytes);
    char at[32] = "-";
    if (got && got->issuedAt)
        std::snprintf(at, sizeof at, "%.15g", *got->issuedAt);
    return !got ? got.error().substr(0, got.error().find(": ")) // without the parser's words
                : got->kind.value_or("-") + "|" + got->nonce.value_or("-") + "|" + at;
}

TEST(CommandRecordFile, ReadsFieldsOnlyAlongTheRecordsPathWhereTypeAndValueAgree)
{
    const std::string start = field("kind", "\"start\""), like = "{" + start + "}";
    const std::string kind = "\"kind\": {\"type\": \"STRING\", ", time = "\"issuedAt\": {";
    const std::string deepest = std::string(62, '[') + std::string(62, ']'); // 64 levels in all
    const std::string fits = record(start) + std::string(65536 - record(start).size(), ' ');
    const Table table = {
        {"restart|n é|1796575210",
         {record(field("kind", "\"restart\"") + ", " + field("nonce", "\"n é\"") + ", " +
                 field("issuedAt", "1796575210000", "TIMESTAMP") + ", \"x\": [{}]")}},
        {"start|-|-",
         {"\xEF\xBB\xBF" + record(start), record(kind + "\"value\": \"start\", \"z\": \"x\"}"),
          record(start + ", \"x\": " + deepest), fits}},
        {"-|-|1.5", {record(field("issuedAt", "1500.0", "TIMESTAMP"))}},
        // Without a type, a value of the field's own kind counts.
        {"start|n|2",
         {record("\"kind\": {\"value\": \"start\"}, \"nonce\": {\"value\": \"n\"}, "
                 "\"issuedAt\": {\"value\": 2e3}")}},
        {"-|x|-2",
         {record(field("kind", "1") + ", " + field("nonce", "\"x\"") + ", " +
                 field("issuedAt", "-2000", "TIMESTAMP"))}},
        // A later duplicate replaces the earlier one whole; keys after "value" are no value.
        {"-|-|0.002",
         {record(time +
                 "\"type\": \"X\", \"value\": \"x\", \"type\": \"TIMESTAMP\", \"value\": 2}")}},
        {"start|-|3",
         {"{\"fields\": {" + field("nonce", "\"n\"") + "}, \"fields\": {" + start +
          ", \"value\": 5, " + field("issuedAt", "[[]], \"value\": 3000", "TIMESTAMP") +
          "}, \"a\": {\"fields\": 1}}"}},
        {"-|-|-",
         {record(field("kind", "[\"start\"]")), record(field("kind", "\"s\"", "TIMESTAMP")),
          record(field("issuedAt", "\"1000\"", "TIMESTAMP")), record(field("issuedAt", "1")),
          record("\"kind\": \"start\""), record("\"nonce\": {\"value\": 5}"),
          record("\"issuedAt\": {\"value\": 1500.5}"), record("\"issuedAt\": {\"value\": \"1\"}"),
          record(kind + "\"z\": \"start\"}"), record(kind + "\"value\": \"a\", \"value\": 1}"),
          record(kind + "\"value\": \"a\", \"type\": \"X\"}"), record(start + ", \"kind\": \"b\""),
          record(time + "\"type\": \"TIMESTAMP\", \"value\": \"x\", \"z\": 5}"),
          record(time + "\"type\": \"TIMESTAMP\", \"value\": 5, \"value\": \"x\"}"),
          // Look-alikes anywhere else are passed over.
          record("\"other\": " + like), record(kind + "\"extra\": " + like + "}"),
          record(kind + "\"value\": {\"value\": \"start\"}}"), record("\"kind\": [" + like + "]")}},
        {"command.json has no \"fields\" object",
         {"{\"fields\": {" + start + "}, \"fields\": [1]}", "[{\"fields\": " + like + "}]",
          "{\"outer\": {\"fields\": " + like + "}}"}},
        {"command.json is not valid JSON",
         {"", record("") + " x", "{\"fields\": {\"k\": \"\xFF\"}}"}},
        {"command.json nests deeper than 64 levels",
         {record("\"x\": [" + deepest + "]"), std::string(65536, '[')}},
        {"command.json is larger than 64 KiB", {fits + " "}},
    };
    for (const auto& [expected, inputs] : table)
        for (const std::string& bytes : inputs)
            EXPECT_EQ(expected, read(bytes)) << bytes.substr(0, 200);

    // The parser quotes the string it stopped in; a cut at either parity must not split "é".
    for (std::string text : {"{\"", "{\"a"}) {
        for (int i = 0; i < 500; ++i)
            text += "é";
        const std::string message = parseCommandRecordFile(text).error();
        EXPECT_TRUE(message.starts_with("command.json is not valid JSON: parse error") &&
                    message.ends_with("é…") && message.size() < 300)
            << message;
    }
}

TEST(CommandRecordFile, LivesInTheContainersDefaultZoneAndIsFetchedLater)
{
    const std::string tail = "/cloud/iCloud.a/private/_defaultZone/command.json";
    const std::string noHome = "no home folder to find the command record in";
    const std::tuple<const char*, const char*, std::string> places[] = {
        {"/data//", "/u", "/data" + tail},
        {"/", nullptr, tail},
        {"", "/u", "/u/.local/share" + tail},
        {nullptr, "rel", noHome}};
    for (const auto& [dataHome, home, expected] : places) {
        const posix::Result<std::string> path = commandRecordPath("iCloud.a", dataHome, home);
        EXPECT_EQ(expected, path ? *path : path.error());
    }
    EXPECT_EQ("/c/cloud/iCloud.a/web-auth-token", *webAuthTokenPath("iCloud.a", "/c/", "/u"));
    EXPECT_EQ("/u/.config/cloud/iCloud.a/web-auth-token", *webAuthTokenPath("iCloud.a", "c", "/u"));

    // Read by a job of the loop, never inside the fetch.
    Scratch data;
    const std::string path = data.path + tail;
    const std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    const auto fetch = [&](const posix::Result<std::string>& file) {
        CommandRecordFileStore store(*loop, file);
        return fetched(*loop, store);
    };
    EXPECT_EQ("none", fetch(path));
    writeFile(data.path + "/cloud/iCloud.b", ""); // a file where a folder should be
    EXPECT_EQ("none", fetch(data.path + "/cloud/iCloud.b/private/command.json"));
    writeFile(path, commandRecordJson("start", "n", 0));
    EXPECT_EQ("start|n|0", fetch(path));
    // A FIFO, which would block a careless reader, in place of the file.
    ASSERT_TRUE(::unlink(path.c_str()) == 0 && ::mkfifo(path.c_str(), 0600) == 0);
    EXPECT_EQ(path + ": not a regular file", fetch(path));
    EXPECT_EQ(noHome, fetch(commandRecordPath("iCloud.a", nullptr, nullptr)));
}

// A binary property list of the objects given, each encoded, with one-byte references.
std::string bplist(const Strings& objects)
{
    const auto big = [](std::uint64_t value, int width) {
        std::string bytes;
        while (width-- > 0)
            bytes += char(value >> 8 * width);
        return bytes;
    };
    std::string out = "bplist00", offsets;
    for (const std::string& object : objects)
        offsets += big(out.size(), 4), out += object;
    return out + offsets + std::string(6, '\0') + "\x04\x01" + big(objects.size(), 8) + big(0, 8) +
           big(out.size(), 8);
}

// An object of a kind holding count items: an array's references or a string's characters.
std::string encoded(int kind, std::size_t count, const std::string& items)
{
    std::string head(1, char(kind | std::min<std::size_t>(count, 15)));
    if (count >= 15)
        head += "\x12" +
                std::string{char(count >> 24), char(count >> 16), char(count >> 8), char(count)};
    return head + items;
}

std::string array(const std::vector<int>& refs)
{
    return encoded(0xA0, refs.size(), std::string(refs.begin(), refs.end()));
}

std::string ascii(const std::string& text)
{
    return encoded(0x50, text.size(), text);
}

// Appends arrays that each hold the next; the last one holds then, when given.
Strings chain(Strings objects, int length, std::optional<int> then = std::nullopt)
{
    const int first = int(objects.size());
    for (int i = 1; i < length; ++i)
        objects.push_back(array({first + i}));
    objects.push_back(then ? array({*then}) : array({}));
    return objects;
}

std::string nested(int levels, const std::string& inside = "")
{
    std::string opening, closing;
    for (int i = 0; i < levels; ++i)
        opening += "<array>", closing += "</array>";
    return opening + inside + closing;
}

std::string info(const posix::Result<BundleInfo>& got)
{
    return got ? got->identifier.value_or("-") + "|" + got->executable.value_or("-") : got.error();
}

TEST(BundleInfo, ReadsXmlAndBinaryAndRefusesHostileFilesBeforeLibplistSeesThem)
{
    const std::string xml = infoPlist("a.b", "A");
    const std::string binary = bplist({"\xD2\x01\x02\x03\x04", ascii("CFBundleIdentifier"),
                                       ascii("CFBundleExecutable"), ascii("a.b"), ascii("A")});
    const std::string dict = "<plist><dict><key>CFBundleIdentifier</key><string>a.b</string>";
    Strings doubling;
    for (int i = 1; i < 40; ++i)
        doubling.push_back(array({i, i}));
    doubling.push_back(array({}));
    Strings dictionaries; // 65 deep, each holding the next under the key "k", the last object
    for (int i = 1; i <= 65; ++i)
        dictionaries.push_back(encoded(0xD0, 1, {char(65), char(i < 65 ? i : 65)}));
    dictionaries.push_back(ascii("k"));
    // Depth through a tail shared by a short path, walked first, and a long one.
    const auto shared = [](int via) {
        return bplist(chain(chain({array({1, 2}), array({3}), array({43})}, 40), via, 3));
    };
    const Table table = {
        {"a.b|A",
         {xml, binary, "\xEF\xBB\xBF" + xml,
          xml + std::string(maxInfoPlistSize - xml.size(), ' ')}},
        {"a.b|-",
         {dict + "<key>x</key>" + nested(62, "<true/>") + "</dict></plist>",
          dict + "<key>x</key><string><![CDATA[" + nested(70) + "]]></string><!--" + nested(70) +
              "--></dict></plist>",
          // libplist would assert on a NUL in a string; such a name names nothing.
          dict + "<key>CFBundleExecutable</key><string>A" + std::string(1, '\0') +
              "</string></dict></plist>"}},
        {"-|-",
         {"<plist><dict><key>CFBundleIdentifier</key><integer>7</integer><key>CFBundleExecutable"
          "</key><array><string>A</string></array></dict></plist>"}},
        {"not a dictionary",
         {bplist(chain({}, 64)), shared(22), "<plist><array><string>a</string></array></plist>",
          bplist({array(std::vector(131071, 1)), ascii("a")})}}, // 2^17 objects unfolded
        {"nested more than 64 levels deep",
         {dict + "<key>x</key>" + nested(63) + "</dict></plist>", bplist(chain({}, 65)), shared(23),
          bplist(dictionaries)}},
        {"has too many objects",
         {bplist(doubling), bplist({array(std::vector(131072, 1)), ascii("a")})}},
        {"not a property list",
         {bplist({array({0})}), bplist({array({1}), array({0})}), bplist({array({7})}), "bplist00",
          "bplist00" + std::string(31, '\x01'), binary.substr(0, binary.size() - 5), "", "\n",
          "hello", xml.substr(0, xml.size() / 2)}},
        {"larger than 1 MiB", {xml + std::string(maxInfoPlistSize, ' ')}},
    };
    for (const auto& [expected, inputs] : table)
        for (const std::string& bytes : inputs)
            EXPECT_EQ(expected, info(parseBundleInfo(bytes))) << bytes.substr(0, 100);

    // Read again when its file is another, or of another size or time.
    Scratch scratch;
    const std::string a = scratch.path + "/A.app", plist = a + "/Contents/Info.plist";
    writeFile(scratch.path + "/B.app/Contents/Info.plist", infoPlist("b", "B"));
    BundleInfoCache cache;
    const auto rewrite = [&](const std::string& identifier, const std::string& via, int time) {
        writeFile(plist + via, infoPlist(identifier, "A"));
        fs::rename(plist + via, plist);
        const timespec times[] = {{time, 0}, {time, 0}};
        ::utimensat(AT_FDCWD, plist.c_str(), times, 0);
        EXPECT_EQ("b|B", info(cache.infoForBundle(scratch.path + "/B.app"))); // kept beside A
        return info(cache.infoForBundle(a));
    };
    EXPECT_EQ("a.1|A", rewrite("a.1", "", 1000));
    EXPECT_EQ("a.1|A", rewrite("a.2", "", 1000));
    EXPECT_EQ("a.2|A", rewrite("a.2", "", 1009));
    EXPECT_EQ("a.3|A", rewrite("a.3", "~", 1009));
    EXPECT_EQ("a.34|A", rewrite("a.34", "", 1009));
    fs::remove(plist);
    EXPECT_EQ("No such file or directory", info(cache.infoForBundle(a)));
}

constexpr BootNanoseconds ms = 1'000'000;

// Runs a loop until something quits it; a loop still running after 10 s fails the test.
void run(MainLoop& loop)
{
    const BootNanoseconds began = MainLoop::now();
    loop.sleep(10, [&](SleepOutcome) { loop.quit(); });
    loop.run();
    EXPECT_LT(MainLoop::now() - began, 9'000 * ms);
}

TEST(MainLoop, RunsDueWorkByDeadlineThenInOrderCountedFromTheStartOfTheJobThatAskedForIt)
{
    // On time and several ticks late; durations within a century.
    EXPECT_EQ(20 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 10 * ms));
    EXPECT_EQ(60 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 55 * ms));
    EXPECT_EQ(0, durationInNanoseconds(-1) + durationInNanoseconds(std::nan("")));
    EXPECT_EQ(BootNanoseconds(100 * 365.25 * 86400 * 1e9), durationInNanoseconds(INFINITY));

    const std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    std::string order;
    const auto mark = [&](char c) {
        if ((order += c).size() == 11)
            loop->quit();
    };
    const auto sleep = [&](double seconds, char c) {
        loop->sleep(seconds, [&mark, c](SleepOutcome outcome) {
            mark(outcome == SleepOutcome::elapsed ? c : '!');
        });
    };
    loop->post([&] {
        sleep(0.3, 'z');
        loop->sleep(0.03, [&](SleepOutcome) { // the same for what a resumed sleep asks for
            mark('c'), sleep(0.06, 'w'), std::this_thread::sleep_for(70ms), sleep(0, 'v');
        });
        // However long the job takes, what it schedules keeps the order of its durations.
        std::this_thread::sleep_for(50ms);
        sleep(0.01, 'a'), sleep(0.02, 'b'), sleep(0.01, 'A'), sleep(0, '0'), sleep(-5, '1');
        // Its handle gone at once, the timer ticks on.
        loop->scheduleRepeating(0.025, [&, ticks = 0]() mutable { ticks++ ? void() : mark('t'); });
    });
    std::thread([&] { loop->post([&] { mark('p'); }); }).join(); // runs before what is only due
    const auto cpu = [] { return double(std::clock()) * (1e9 / CLOCKS_PER_SEC); };
    const BootNanoseconds began = MainLoop::now();
    const double cpuBefore = cpu();
    run(*loop);
    EXPECT_LT(cpu() - cpuBefore, 20 * ms) << "the loop did not block between wakes";
    EXPECT_EQ("p01aAbtcvwz", order);
    EXPECT_GE(MainLoop::now() - began, 100 * ms);
}

TEST(MainLoop, WatchesDescriptorsAndRingsOneAlarmAsLibcurlAsks)
{
    const std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    int ends[2];
    ASSERT_EQ(0, ::pipe2(ends, O_CLOEXEC | O_NONBLOCK));
    const posix::FileDescriptor reader(ends[0]), writer(ends[1]);
    std::string order;
    // Watched again, a descriptor is watched for the new events alone; unwatched, for none.
    loop->watch(writer.get(), EPOLLIN, [&](std::uint32_t) { order += '!'; });
    loop->watch(writer.get(), EPOLLOUT, [&](std::uint32_t events) {
        order += events == EPOLLOUT ? 'w' : '?';
        loop->unwatch(writer.get()), (void)!::write(writer.get(), "x", 1);
    });
    loop->watch(reader.get(), EPOLLIN, [&](std::uint32_t) {
        char byte = 0;
        order += ::read(reader.get(), &byte, 1) == 1 ? 'r' : '!'; // once: the pipe is empty again
    });
    // Set again, the alarm replaces the one before; cleared, it rings no more.
    loop->setAlarm(0.01, [&] { order += '!'; });
    loop->setAlarm(0.05, [&] {
        order += 'a', loop->setAlarm(0.01, [&] { order += '!'; }), loop->setAlarm({}, {});
    });
    loop->sleep(0.1, [&](SleepOutcome) { loop->quit(); });
    const std::clock_t cpuBefore = std::clock();
    loop->run();
    EXPECT_EQ("wra", order);
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 50) << "woken by what it stopped watching";
}

// Posts and sleeps again when it goes, as the frame of a suspended job may.
struct Reentrant {
    Reentrant(MainLoop& on, std::shared_ptr<int> held) : loop(on), token(std::move(held)) {}
    MainLoop& loop;
    std::shared_ptr<int> token;
    ~Reentrant()
    {
        loop.post([t = token] {}), loop.sleep(1, [t = token](SleepOutcome) {});
    }
};

TEST(MainLoop, DestructionFreesPendingWorkWithoutRunningItAndLogLinesOutliveABrokenStream)
{
    std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    // What the loop's own thread posts runs at once; what another thread posts wakes it.
    std::thread poster;
    loop->post([&] {
        loop->post([&] {
            poster = std::thread(
                [&] { std::this_thread::sleep_for(20ms), loop->post([&] { loop->quit(); }); });
        });
    });
    run(*loop);
    poster.join();
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    bool called = false;
    loop->sleep(3600,
                [&called, r = std::make_shared<Reentrant>(*loop, token)](auto) { called = true; });
    loop->post([&called, r = std::make_shared<Reentrant>(*loop, token)] { called = true; });
    token.reset();
    loop.reset();
    EXPECT_FALSE(called);
    EXPECT_TRUE(watch.expired()) << "work left at destruction was not freed";

    EXPECT_NEAR(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(),
        SystemClock().now(), 0.01);
    // The application object keeps a write into a pipe nobody reads from ending the process.
    const auto application = makeBackgroundOnlyApplication();
    // A line carries the local time of its writing to the millisecond, its writer and its message.
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    const auto before = std::chrono::system_clock::now() - 1ms;
    StandardErrorLog(ends[1]).log("DrovixRescue: hi");
    char line[200] = {};
    ASSERT_GT(::read(ends[0], line, sizeof line - 1), 0);
    std::tm local{};
    const char* rest = ::strptime(line, "%F %T.", &local);
    local.tm_isdst = -1;
    const auto written = std::chrono::system_clock::from_time_t(std::mktime(&local)) +
                         std::chrono::milliseconds(std::atoi(rest));
    EXPECT_TRUE(before <= written && written <= std::chrono::system_clock::now()) << line;
    EXPECT_EQ(" drovix_linux_tests[" + std::to_string(::getpid()) + ":" +
                  std::to_string(::gettid()) + "] DrovixRescue: hi\n",
              rest + 3);
    ::close(ends[0]);
    StandardErrorLog(ends[1]).log("DrovixRescue: into a pipe nobody reads");
    StandardErrorLog(-1).log("DrovixRescue: into no descriptor at all");
    ::close(ends[1]);
}

TEST(MainLoop, AnAgentWithoutRoomForItsDescriptorsSaysWhyAndEnds)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtimes need descriptors of their own";
#endif
    Child agent({"/usr/bin/prlimit", "--nofile=4", DROVIX_TEST_AGENT});
    EXPECT_THAT(agent.readLine().value_or(""),
                ::testing::EndsWith("] DrovixRescue: can't run without a main loop \u2014 eventfd: "
                                    "Too many open files"));
    EXPECT_EQ(1 << 8, agent.reap()) << "exit status 1";
}

std::vector<pid_t> running(const std::string& bundle)
{
    std::vector<pid_t> pids;
    for (const auto& process : bundleProcesses([&](auto& path) { return path == bundle; }))
        pids.push_back(process->pid());
    return pids;
}

TEST(RunningApplications, AreTheLiveProcessesOfThisUserFromBundlesWithTheIdentifier)
{
    Scratch scratch;
    const std::string id = testIdentifier + ".scan";
    scratch.bundle("F.app", id, "forking");
    scratch.bundle("R.app", id);
    scratch.bundle("O.app", id + ".other");
    Child forking({scratch.program("F.app")}), updated({scratch.program("R.app")});
    Child ended({scratch.program("R.app")}), other({scratch.program("O.app")});
    std::vector<pid_t> expected{forking.ready(), forking.ready(), updated.ready()};
    ASSERT_TRUE(ended.ready() > 0 && other.ready() > 0);
    ::kill(ended.pid(), SIGTERM);
    ASSERT_TRUE(ended.reap(false)); // a zombie, since nobody reaped it
    // An update replaces the program on disk while it runs: the kernel then reports its
    // executable as ".../Drovix (deleted)".
    fs::remove(scratch.program("R.app"));
    scratch.bundle("R.app", id);
    std::optional<Scratch> reachable;
    std::optional<Child> nobody;
    if (::getuid() == 0) { // as whom the agent may run; nobody's instance is not its user's
        // In a folder that the user nobody can reach, whatever folder TMPDIR names.
        reachable.emplace("/tmp");
        fs::permissions(reachable->path, fs::perms(0755));
        nobody.emplace(Strings{reachable->program(reachable->bundle("R.app", id))}, Strings{},
                       65534);
        ASSERT_GT(nobody->ready(), 0);
    }
    std::sort(expected.begin(), expected.end());
    const auto applications = LinuxWorkspace().runningApplications(id);
    std::vector<pid_t> found;
    for (const auto& application : applications)
        found.push_back(dynamic_cast<BundleProcess&>(*application).pid());
    ASSERT_EQ(expected, found);

    // A handle signals only its own process: forced, asked, and once it is reaped, none.
    applications[std::find(found.begin(), found.end(), updated.pid()) - found.begin()]
        ->forceTerminate();
    const std::optional<int> status = updated.reap();
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    const auto asked = bundleProcesses([&](auto& path) { return path == scratch.path + "/O.app"; });
    ASSERT_TRUE(asked.size() == 1 && asked[0]->pid() == other.pid());
    errno = EPERM; // left from an earlier call, it is no outcome of a signal that was sent
    EXPECT_EQ(0, asked[0]->sendSignal(0));
    asked[0]->terminate();
    EXPECT_EQ(0, other.reap()) << "asked to quit, it exits with status 0";
    EXPECT_EQ(ESRCH, asked[0]->sendSignal(SIGTERM));
}

// The outcome of one open: absent when it opened, else the error.
std::optional<std::string> open(LinuxWorkspace& workspace, const std::string& bundle)
{
    auto done = std::make_shared<std::promise<std::optional<std::string>>>();
    workspace.openApplication({bundle}, {}, [done, caller = std::this_thread::get_id()](auto e) {
        done->set_value(std::this_thread::get_id() == caller ? "on the calling thread" : e);
    });
    auto outcome = done->get_future();
    return outcome.wait_for(10s) == std::future_status::ready ? outcome.get() : "no completion";
}

TEST(OpenApplication, StartsOneDetachedInstanceAndNoneWhileItRuns)
{
    Scratch scratch;
    const std::string bundle = scratch.bundle("A.app", testIdentifier + ".open");
    LinuxWorkspace workspace;
    // The agent ignores SIGPIPE and may hold descriptors without close-on-exec: the application
    // inherits neither.
    const posix::FileDescriptor inherited(::open("/dev/zero", O_RDONLY));
    ::signal(SIGPIPE, SIG_IGN);
    ::setenv("DROVIX_SAMPLE_LIFETIME", "60", 1);
    auto concurrent = std::async(std::launch::async, [&] { return open(workspace, bundle); });
    EXPECT_EQ(std::nullopt, open(workspace, bundle));
    EXPECT_EQ(std::nullopt, concurrent.get());
    ::signal(SIGPIPE, SIG_DFL);
    const std::vector<pid_t> pids = running(bundle);
    ASSERT_EQ(1u, pids.size()) << "two opens at once start one instance";
    const std::string proc = "/proc/" + std::to_string(pids[0]);
    const std::string status = *posix::readRegularFile(proc + "/status", 4096);
    EXPECT_EQ(pids[0], ::getsid(pids[0])) << "not in a session of its own";
    EXPECT_EQ(std::string::npos, status.find("PPid:\t" + std::to_string(::getpid()) + "\n"));
    EXPECT_NE(std::string::npos, status.find("SigIgn:\t0000000000000000\n"));
    EXPECT_EQ("/", *posix::readLink(proc + "/cwd"));
    for (const char* stream : {"/fd/0", "/fd/1", "/fd/2"})
        EXPECT_EQ("/dev/null", *posix::readLink(proc + stream));
    // The application opens and closes files of its own meanwhile: look for the inherited one.
    std::error_code listing;
    for (const auto& entry : fs::directory_iterator(proc + "/fd", listing)) {
        const auto target = posix::readLink(entry.path());
        EXPECT_FALSE(target && *target == "/dev/zero") << "inherited as " << entry.path();
    }
    EXPECT_FALSE(listing) << listing.message();
    EXPECT_EQ(std::nullopt, open(workspace, bundle));
    EXPECT_EQ(pids, running(bundle));
    ::kill(pids[0], SIGTERM);
    for (int attempt = 0; attempt < 5000 && !running(bundle).empty(); ++attempt)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG)) << "the agent kept a child process";

    // Run from no bundle, the test's own folder stands in for the agent's bundle.
    const std::string self = *posix::readLink("/proc/self/exe");
    EXPECT_EQ(self.substr(0, self.rfind('/')), workspace.ownBundleUrl().path);
    EXPECT_TRUE(workspace.fileExists(self) && !workspace.fileExists(self + "/x"));
    for (const char* path : {"/x/A.app/Contents/MacOS/A", "/x/A.app/Contents/MacOS/A (deleted)"})
        EXPECT_EQ("/x/A.app", bundleOrFolderOfExecutable(path));
    for (const char* path :
         {"/x/A.app/Contents/MacOS/s/A", "/x/A.app/Contents/MacOS/..", "//Contents/MacOS/A"})
        EXPECT_FALSE(bundleOfExecutable(path)) << path;

    const std::string base = scratch.path + "/";
    for (const std::size_t length : {255, 256, 257, 4095}) { // links of any length
        const std::string target(length, 'x'), link = base + std::to_string(length);
        ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
        EXPECT_EQ(target, *posix::readLink(link));
    }
    EXPECT_EQ("/x: No such file or directory", posix::readLink("/x").error());
    writeFile(base + "File.app", "");
    writeFile(base + "Bare.app/Contents/MacOS/Drovix", "");
    writeFile(base + "Escaping.app/Contents/Info.plist", infoPlist("a.b", "../Drovix"));
    const std::string folder = scratch.program(scratch.bundle("Folder.app", "a.b"));
    fs::remove(folder), fs::create_directory(folder);
    fs::permissions(scratch.program(scratch.bundle("Locked.app", "a.b")), fs::perms(0644));
    for (const auto& [name, error] : std::vector<std::pair<std::string, std::string>>{
             {"Missing.app", " doesn't exist"},
             {"File.app", " is no application bundle"},
             {"Bare.app", " has no readable Contents/Info.plist: No such file or directory"},
             {"Escaping.app", " has no usable CFBundleExecutable in Contents/Info.plist"},
             {"Folder.app", " has no executable Contents/MacOS/Drovix"},
             {"Locked.app", "/Contents/MacOS/Drovix can't be started: Permission denied"}})
        EXPECT_EQ(base + name + error, open(workspace, base + name).value_or("opened"));

    // Found in ~/Applications, HOME's trailing slashes aside, before /Applications, first by name.
    for (const std::string name : {".app", "B.app", "C.app", "A.app"})
        writeFile(base + "Applications/" + name + "/Contents/Info.plist",
                  infoPlist(testIdentifier + (name == "A.app" ? ".a" : ".find"), "Drovix"));
    const std::string home = ::getenv("HOME") ? ::getenv("HOME") : "/";
    ::setenv("HOME", (base + "//").c_str(), 1);
    EXPECT_EQ(base + "Applications/B.app",
              workspace.urlForApplication(testIdentifier + ".find")->path);
    EXPECT_FALSE(workspace.urlForApplication(testIdentifier));
    ::setenv("HOME", home.c_str(), 1);
}

} // namespace
} // namespace drovix
