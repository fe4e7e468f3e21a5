// The benchmarks' scene: scratch bundles and records, child processes, open and instruction
// counters.
#include "BenchSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/perf_event.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drovix::bench {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "drovix-bench.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path layOutBundle(const fs::path& parent, const std::string& name,
                      const std::string& bundleIdentifier, const fs::path& executable)
{
    const fs::path contents = parent / (name + ".app") / "Contents";
    fs::create_directories(contents / "MacOS");
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>"
        << bundleIdentifier
        << "</string>\n"
           "\t<key>CFBundleExecutable</key>\n\t<string>"
        << name
        << "</string>\n"
           "\t<key>CFBundleName</key>\n\t<string>"
        << name << "</string>\n</dict>\n</plist>\n";
    const fs::path copy = contents / "MacOS" / name;
    fs::copy_file(executable, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    return copy;
}

void writeCommandRecord(const fs::path& file, std::string_view kind, std::string_view nonce,
                        std::int64_t issuedAtMilliseconds)
{
    fs::create_directories(file.parent_path());
    const fs::path temporary = file.string() + ".tmp";
    std::ofstream(temporary) << "{\"recordName\": \"command\", \"recordType\": \"Command\", "
                                "\"fields\": {\"kind\": {\"value\": \""
                             << kind << "\", \"type\": \"STRING\"}, \"nonce\": {\"value\": \""
                             << nonce << "\", \"type\": \"STRING\"}, \"issuedAt\": {\"value\": "
                             << issuedAtMilliseconds << ", \"type\": \"TIMESTAMP\"}}}\n";
    fs::rename(temporary, file);
}

std::int64_t wallClockMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

ChildProcess::ChildProcess(const fs::path& executable, const std::string& argument)
{
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        // Dies with the benchmark, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        const std::string path = executable.string();
        execl(path.c_str(), path.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The scan sees the child only once its exec has replaced the forked copy of this program.
    const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::error_code error;
        if (fs::read_symlink(link, error) == executable)
            return;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("child " + executable.string() + " did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ChildProcess::~ChildProcess()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

OpenCounter::OpenCounter(const fs::path& file)
{
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        fail("inotify_init1");
    // Closes are watched too: inotify merges an event into an identical one still unread, and a
    // close between two opens keeps them apart.
    if (inotify_add_watch(fd_, file.c_str(), IN_OPEN | IN_CLOSE) < 0)
        fail("inotify_add_watch " + file.string());
}

OpenCounter::~OpenCounter()
{
    close(fd_);
}

int OpenCounter::take()
{
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(fd_, buffer, sizeof buffer);
        if (length <= 0)
            return opens;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->mask & IN_OPEN)
                ++opens;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

InstructionCounter::InstructionCounter()
{
    perf_event_attr attributes{};
    attributes.type = PERF_TYPE_HARDWARE;
    attributes.size = sizeof attributes;
    attributes.config = PERF_COUNT_HW_INSTRUCTIONS;
    attributes.disabled = 1;
    attributes.inherit = 1;
    attributes.exclude_kernel = 1;
    attributes.exclude_hv = 1;
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0));
}

InstructionCounter::~InstructionCounter()
{
    if (fd_ >= 0)
        close(fd_);
}

void InstructionCounter::start()
{
    ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
    ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
}

std::uint64_t InstructionCounter::stop()
{
    ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
    std::uint64_t count = 0;
    if (read(fd_, &count, sizeof count) != static_cast<ssize_t>(sizeof count))
        return 0;
    return count;
}

StandingWorker::StandingWorker() : thread_([this] { run(); }) {}

StandingWorker::~StandingWorker()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void StandingWorker::submit(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void StandingWorker::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
        if (work_.empty())
            return;
        auto work = std::move(work_.front());
        work_.pop_front();
        lock.unlock();
        work();
        lock.lock();
    }
}

void CountingLog::log(std::string_view message)
{
    std::lock_guard lock(mutex_);
    last_ = message;
    ++lines_;
}

std::string CountingLog::lastLine() const
{
    std::lock_guard lock(mutex_);
    return last_;
}

} // namespace drovix::bench
