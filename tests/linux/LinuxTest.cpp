// The Linux layer against real files and processes.
#include "Support.h"
#include "platform/Platform.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/linux/AppWorkspace.h"
#include "platform/linux/BundlePaths.h"
#include "platform/linux/LogSink.h"
#include "platform/linux/MainThread.h"
#include "platform/linux/Time.h"
#include "platform/posix/CommandRecordFileStore.h"

#include <sys/epoll.h>
#include <sys/stat.h>

#include <cmath>
#include <future>

namespace drovix {
namespace {

using namespace support;
using Table = std::vector<std::pair<std::string, Strings>>; // outcome, inputs that give it

TEST(CommandRecordFile, LivesInTheDefaultZoneIsFetchedLaterAndReadOnlyWhereTypeAndValueAgree)
{
    const auto field = [](std::string name, std::string value, std::string type = "STRING") {
        return "\"" + name + "\": {\"value\": " + value + ", \"type\": \"" + type + "\"}";
    };
    const auto stamp = [&](std::string value) { return field("issuedAt", value, "TIMESTAMP"); };
    const auto record = [](const std::string& fields) {
        return "{\"recordName\": \"command\", \"fields\": {" + fields + "}}";
    };
    const std::string start = field("kind", "\"start\""), like = "{" + start + "}";
    const std::string kind = "\"kind\": {\"type\": \"STRING\", ", time = "\"issuedAt\": {";
    const std::string deepest = std::string(62, '[') + std::string(62, ']'); // 64 levels in all
    const std::string fits = record(start) + std::string(65536 - record(start).size(), ' ');
    // "kind|nonce|issuedAt" with "-" for an absent field, or why the file is refused.
    const auto read = [](const std::string& bytes) {
        const posix::Result<CommandRecord> got = parseCommandRecordFile(bytes);
        char at[32] = "-";
        if (got && got->issuedAt)
            std::snprintf(at, sizeof at, "%.15g", *got->issuedAt);
        return !got ? got.error().substr(0, got.error().find(": ")) // without the parser's words
                    : got->kind.value_or("-") + "|" + got->nonce.value_or("-") + "|" + at;
    };
    const Table table = {
        {"restart|n é|1796575210",
         {record(field("kind", "\"restart\"") + ", " + field("nonce", "\"n é\"") + ", " +
                 stamp("1796575210000") + ", \"x\": [{}]")}},
        {"start|-|-",
         {"\xEF\xBB\xBF" + record(start), record(kind + "\"value\": \"start\", \"z\": \"x\"}"),
          record(start + ", \"x\": " + deepest), fits}},
        {"-|-|1.5", {record(stamp("1500.0"))}},
        // Without a type, a value of the field's own kind counts.
        {"start|n|2",
         {record("\"kind\": {\"value\": \"start\"}, \"nonce\": {\"value\": \"n\"}, "
                 "\"issuedAt\": {\"value\": 2e3}")}},
        {"-|x|-2",
         {record(field("kind", "1") + ", " + field("nonce", "\"x\"") + ", " + stamp("-2000"))}},
        // A later duplicate replaces the earlier one whole; keys after "value" are no value.
        {"-|-|0.002",
         {record(time +
                 "\"type\": \"X\", \"value\": \"x\", \"type\": \"TIMESTAMP\", \"value\": 2}")}},
        {"start|-|3",
         {"{\"fields\": {" + field("nonce", "\"n\"") + "}, \"fields\": {" + start +
          ", \"value\": 5, " + stamp("[[]], \"value\": 3000") + "}, \"a\": {\"fields\": 1}}"}},
        {"-|-|-",
         {record(field("kind", "[\"start\"]")), record(field("kind", "\"s\"", "TIMESTAMP")),
          record(stamp("\"1000\"")), record(field("issuedAt", "1")), record("\"kind\": \"start\""),
          record("\"nonce\": {\"value\": 5}"), record("\"issuedAt\": {\"value\": 1500.5}"),
          record("\"issuedAt\": {\"value\": \"1\"}"), record(kind + "\"z\": \"start\"}"),
          record(kind + "\"value\": \"a\", \"value\": 1}"),
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

    // Read by a job of the loop, never inside the fetch.
    Scratch data;
    const std::string path = data.path + tail;
    const auto fetch = [&, loop = std::move(*MainLoop::create())](auto file) {
        return fetched(*loop, *std::make_unique<CommandRecordFileStore>(*loop, file));
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

std::string big(std::uint64_t value, int width) // big-endian
{
    return width ? big(value >> 8, width - 1) + char(value) : "";
}

std::string nested(int levels, const std::string& inside = "")
{
    return levels ? "<array>" + nested(levels - 1, inside) + "</array>" : inside;
}

TEST(BundleInfo, ReadsXmlAndBinaryAndRefusesHostileFilesBeforeLibplistSeesThem)
{
    const auto info = [](const posix::Result<BundleInfo>& in) {
        return in ? in->identifier.value_or("-") + "|" + in->executable.value_or("-") : in.error();
    };
    // A binary property list of the objects given, each encoded, with one-byte references.
    const auto bplist = [&](const Strings& objects) {
        std::string out = "bplist00", offsets;
        for (const std::string& object : objects)
            offsets += big(out.size(), 4), out += object;
        return out + offsets + std::string(6, '\0') + "\x04\x01" + big(objects.size(), 8) +
               big(0, 8) + big(out.size(), 8);
    };
    // An object of a kind holding count items: an array's references or a string's characters.
    const auto encoded = [&](int kind, std::size_t count, const std::string& items) {
        return char(kind | std::min<std::size_t>(count, 15)) +
               (count < 15 ? "" : "\x12" + big(count, 4)) + items;
    };
    const auto array = [&](const std::string& refs) { return encoded(0xA0, refs.size(), refs); };
    const auto ascii = [&](const std::string& text) { return encoded(0x50, text.size(), text); };
    // Appends arrays that each hold the next, refs times; the last one holds then, if any.
    const auto chain = [&](Strings objects, int length, int then = -1, int refs = 1) {
        for (int i = 1, first = int(objects.size()); i < length; ++i)
            objects.push_back(array(std::string(refs, char(first + i))));
        return objects.push_back(array(then < 0 ? "" : std::string(1, char(then)))), objects;
    };
    const std::string xml = infoPlist("a.b", "A"),
                      full = xml + std::string(maxInfoPlistSize - xml.size(), ' ');
    const std::string binary = bplist({"\xD2\x01\x02\x03\x04", ascii("CFBundleIdentifier"),
                                       ascii("CFBundleExecutable"), ascii("a.b"), ascii("A")});
    const std::string dict = "<plist><dict><key>CFBundleIdentifier</key><string>a.b</string>";
    Strings dictionaries; // 65 deep, each holding the next under the key "k", the last object
    for (int i = 1; i <= 66; ++i)
        dictionaries.push_back(i <= 65 ? encoded(0xD0, 1, {char(65), char(i)}) : ascii("k"));
    // Depth through a tail shared by a short path, walked first, and a long one.
    const Strings shared = chain({array({1, 2}), array({3}), array({43})}, 40);
    const Table table = {
        {"a.b|A", {xml, binary, "\xEF\xBB\xBF" + xml, full}},
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
         {bplist(chain({}, 64)), bplist(chain(shared, 22, 3)),
          "<plist><array><string>a</string></array></plist>",
          bplist({array(std::string(131071, 1)), ascii("a")})}}, // 2^17 objects unfolded
        {"nested more than 64 levels deep",
         {dict + "<key>x</key>" + nested(63) + "</dict></plist>", bplist(chain({}, 65)),
          bplist(chain(shared, 23, 3)), bplist(dictionaries)}},
        {"has too many objects",
         {bplist(chain({}, 40, -1, 2)), bplist({array(std::string(131072, 1)), ascii("a")})}},
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
        writeFile(plist + via, infoPlist(identifier, "A")), fs::rename(plist + via, plist);
        ::utimensat(AT_FDCWD, plist.c_str(), std::vector<timespec>(2, {time, 0}).data(), 0);
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

// Runs a loop until something quits it, within 9 s; returns how long it ran.
BootNanoseconds run(MainLoop& loop)
{
    const BootNanoseconds began = MainLoop::now();
    loop.sleep(10, [&](SleepOutcome) { loop.quit(); });
    loop.run();
    EXPECT_LT(MainLoop::now() - began, 9'000 * ms);
    return MainLoop::now() - began;
}

TEST(MainLoop, RunsWorkByDeadlineFromItsJobsStartAndWatchesDescriptorsAndOneAlarmWithoutSpinning)
{
    // Early, on time, due exactly now and several ticks late; durations within a century.
    for (const auto& [now, next] : std::map<int, int>{{5, 20}, {10, 20}, {50, 60}, {55, 60}})
        EXPECT_EQ(next * ms, nextRepeatDeadline(10 * ms, 10 * ms, now * ms)) << now;
    EXPECT_EQ(0, durationInNanoseconds(-1) + durationInNanoseconds(std::nan("")));
    EXPECT_EQ(BootNanoseconds(100 * 365.25 * 86400 * 1e9), durationInNanoseconds(INFINITY));

    const std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    std::string order, events;
    const auto mark = [&](char c) { (order += c).size() == 11 ? loop->quit() : void(); };
    const auto sleep = [&](double seconds, char c) {
        loop->sleep(seconds, [&mark, c](auto o) { mark(o == SleepOutcome::elapsed ? c : '!'); });
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
    const std::clock_t cpuBefore = std::clock();
    EXPECT_GE(run(*loop), 100 * ms);
    EXPECT_EQ("p01aAbtcvwz", order);

    int ends[2];
    ASSERT_EQ(0, ::pipe2(ends, O_CLOEXEC | O_NONBLOCK));
    const posix::FileDescriptor reader(ends[0]), writer(ends[1]);
    EXPECT_EQ("epoll_ctl: Bad file descriptor", loop->watch(-1, EPOLLIN, {}).value().description);
    // Watched again, a descriptor is watched for the new events alone; unwatched, for none.
    loop->watch(writer.get(), EPOLLIN, [&](std::uint32_t) { events += '!'; });
    loop->watch(writer.get(), EPOLLOUT, [&](std::uint32_t got) {
        events += got == EPOLLOUT ? 'w' : '?';
        loop->unwatch(writer.get()), (void)!::write(writer.get(), "x", 1);
    });
    loop->watch(reader.get(), EPOLLIN, [&](std::uint32_t) {
        char byte = 0;
        events += ::read(reader.get(), &byte, 1) == 1 ? 'r' : '!'; // once: the pipe is empty again
    });
    // Set again, the alarm replaces the one before; cleared, it rings no more.
    loop->setAlarm(0.01, [&] { events += '!'; });
    loop->setAlarm(0.05, [&] {
        events += 'a', loop->setAlarm(0.01, [&] { events += '!'; }), loop->setAlarm({}, {});
    });
    loop->sleep(0.1, [&](SleepOutcome) { loop->quit(); }), loop->run();
    EXPECT_EQ("wra", events);
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 50) << "woken with nothing to do";
}

TEST(MainLoop, DestructionFreesPendingWorkWithoutRunningItAndLogLinesOutliveABrokenStream)
{
    std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    // What the loop's own thread posts runs at once; what another thread posts wakes it.
    const auto wake = [&] { std::this_thread::sleep_for(20ms), loop->post([&] { loop->quit(); }); };
    std::thread poster;
    loop->post([&] { loop->post([&] { poster = std::thread(wake); }); });
    run(*loop), poster.join();
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    bool called = false;
    // Posts and sleeps again when it goes, as the frame of a suspended job may.
    const auto reentrant = [&l = *loop, &token] {
        return std::shared_ptr<void>(
            nullptr, [&l, t = token](void*) { l.post([t] {}), l.sleep(1, [t](SleepOutcome) {}); });
    };
    loop->sleep(3600, [&called, r = reentrant()](auto) { called = true; });
    loop->post([&called, r = reentrant()] { called = true; });
    token.reset(), loop.reset();
    EXPECT_TRUE(!called && watch.expired()) << "work left at destruction ran or was not freed";

    using std::chrono::system_clock;
    EXPECT_NEAR(std::chrono::duration<double>(system_clock::now().time_since_epoch()).count(),
                SystemClock().now(), 0.01);
    // The application object keeps a write into a pipe nobody reads from ending the process.
    const auto application = makeBackgroundOnlyApplication();
    // A line carries the local time of its writing to the millisecond, its writer and its message.
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    const auto before = system_clock::now() - 1ms;
    StandardErrorLog(ends[1]).log("DrovixRescue: hi");
    char line[200] = {};
    ASSERT_GT(::read(ends[0], line, sizeof line - 1), 0);
    std::tm local{};
    const char* rest = ::strptime(line, "%F %T.", &local);
    local.tm_isdst = -1;
    const auto written = system_clock::from_time_t(std::mktime(&local)) + std::atoi(rest) * 1ms;
    EXPECT_TRUE(before <= written && written <= system_clock::now()) << line;
    EXPECT_EQ(rest + 3, " drovix_linux_tests[" + std::to_string(::getpid()) + ":" +
                            std::to_string(::gettid()) + "] DrovixRescue: hi\n");
    ::close(ends[0]), StandardErrorLog(ends[1]).log("DrovixRescue: into a pipe nobody reads");
    StandardErrorLog(-1).log("DrovixRescue: into no descriptor at all"), ::close(ends[1]);
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

TEST(RunningApplications, AreTheLiveProcessesOfThisUserFromBundlesWithTheIdentifier)
{
    Scratch scratch;
    const std::string id = testIdentifier + ".scan";
    scratch.bundle("F.app", id, "forking"), scratch.bundle("R.app", id);
    scratch.bundle("O.app", id + ".other");
    Child forking({scratch.program("F.app")}), updated({scratch.program("R.app")});
    Child ended({scratch.program("R.app")}), other({scratch.program("O.app")});
    std::vector<pid_t> expected{forking.ready(), forking.ready(), updated.ready()};
    ASSERT_TRUE(ended.ready() > 0 && other.ready() > 0);
    ::kill(ended.pid(), SIGTERM);
    ASSERT_TRUE(ended.reap(false)); // a zombie, since nobody reaped it
    // An update replaces the program while it runs: the kernel names it ".../Drovix (deleted)".
    fs::remove(scratch.program("R.app")), scratch.bundle("R.app", id);
    std::optional<Scratch> tmp; // in /tmp, which the user nobody reaches whatever TMPDIR names
    std::optional<Child> nobody;
    if (::getuid() == 0) { // as whom the agent may run; nobody's instance is not its user's
        tmp.emplace("/tmp"), fs::permissions(tmp->path, fs::perms(0755));
        nobody.emplace(Strings{tmp->program(tmp->bundle("R.app", id))}, Strings{}, 65534);
        ASSERT_GT(nobody->ready(), 0);
    }
    EXPECT_EQ(1000u, parseRealUid("Name:\tUid: 7\nUid:\t1000\t0\t0\t0\n")); // real, not the name
    std::ranges::sort(expected);
    const auto applications = LinuxWorkspace().runningApplications(id);
    std::vector<pid_t> found;
    for (const auto& application : applications)
        found.push_back(dynamic_cast<BundleProcess&>(*application).pid());
    ASSERT_EQ(expected, found);

    // A handle signals only its own process: forced, asked, and once it is reaped, none.
    applications[std::ranges::find(found, updated.pid()) - found.begin()]->forceTerminate();
    EXPECT_EQ(SIGKILL, updated.reap()) << "killed by SIGKILL";
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
    // Neither the agent's ignored signals (SIGHUP, the first, too) nor its descriptors reach it.
    const posix::FileDescriptor inherited(::open("/dev/zero", O_RDONLY));
    ::signal(SIGPIPE, SIG_IGN), ::signal(SIGHUP, SIG_IGN),
        ::setenv("DROVIX_SAMPLE_LIFETIME", "60", 1);
    auto concurrent = std::async(std::launch::async, [&] { return open(workspace, bundle); });
    EXPECT_EQ(std::nullopt, open(workspace, bundle));
    EXPECT_EQ(std::nullopt, concurrent.get());
    ::signal(SIGPIPE, SIG_DFL), ::signal(SIGHUP, SIG_DFL);
    const auto running = [&] { return bundleProcesses([&](auto& p) { return p == bundle; }); };
    const auto instances = running();
    ASSERT_EQ(1u, instances.size()) << "two opens at once start one instance";
    const pid_t pid = instances[0]->pid();
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = *posix::readRegularFile(proc + "/status", 4096);
    EXPECT_GT(posix::readRegularFile("/proc/self/maps", 1 << 20)->size(), 4096u); // sizeless
    EXPECT_EQ(pid, ::getsid(pid)) << "not in a session of its own";
    EXPECT_EQ(std::string::npos, status.find("PPid:\t" + std::to_string(::getpid()) + "\n"));
    EXPECT_NE(std::string::npos, status.find("SigIgn:\t0000000000000000\n"));
    EXPECT_EQ("/", *posix::readLink(proc + "/cwd"));
    for (const char* stream : {"/fd/0", "/fd/1", "/fd/2"})
        EXPECT_EQ("/dev/null", *posix::readLink(proc + stream));
    // The application opens and closes files of its own meanwhile: look for the inherited one.
    std::error_code listing, gone;
    for (const auto& entry : fs::directory_iterator(proc + "/fd", listing))
        EXPECT_NE("/dev/zero", fs::read_symlink(entry, gone).string()) << entry.path();
    EXPECT_FALSE(listing) << listing.message();
    EXPECT_EQ(std::nullopt, open(workspace, bundle));
    EXPECT_TRUE(running().size() == 1 && running()[0]->pid() == pid) << "opened while it runs";
    instances[0]->terminate(), readable(instances[0]->pidfd());
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
    writeFile(base + "File.app", ""), writeFile(base + "Bare.app/Contents/MacOS/Drovix", "");
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
