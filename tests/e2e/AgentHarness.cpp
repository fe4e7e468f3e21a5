// Real processes for the end-to-end tests: spawning, reaping, finding instances by executable
// path, and reading the agent's log lines.
#include "AgentHarness.h"

#include "Identifiers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drovix::e2e {

namespace {

// Wait statuses of the children reaped so far, by pid.
std::map<pid_t, int>& endedChildren()
{
    static std::map<pid_t, int> statuses;
    return statuses;
}

void pause10ms()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

bool isNumber(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<LogLine> parseAgentLine(const std::string& line)
{
    static const std::regex header(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) )"
                                   R"(DrovixRescue\[(\d+):(\d+)\] (DrovixRescue: .*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, header))
        return std::nullopt;
    const auto number = [&](size_t group) { return std::stoi(match[group].str()); };
    using namespace std::chrono;
    const year_month_day date{year{number(1)}, month{unsigned(number(2))},
                              day{unsigned(number(3))}};
    LogLine parsed;
    parsed.message = match[10].str();
    parsed.pid = pid_t(number(8));
    parsed.wallSeconds = double(sys_days{date}.time_since_epoch().count()) * 86400.0 +
                         number(4) * 3600.0 + number(5) * 60.0 + number(6) + number(7) / 1000.0;
    parsed.received = true;
    return parsed;
}

} // namespace

Deadline secondsFromNow(double seconds)
{
    return SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                    std::chrono::duration<double>(seconds));
}

fs::path builtAgentBundle()
{
    // The executable lies in Bundle.app/Contents/MacOS.
    return fs::path(DROVIX_AGENT_EXECUTABLE).parent_path().parent_path().parent_path();
}

fs::path builtSampleBundle()
{
    return fs::path(DROVIX_SAMPLE_EXECUTABLE).parent_path().parent_path().parent_path();
}

fs::path builtCommandWriter()
{
    return DROVIX_COMMAND_WRITER;
}

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "drovix-e2e.XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw systemError("can't create a scratch folder");
    path_ = fs::canonical(pattern);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void copyBundle(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void writeInfoPlist(const fs::path& bundle, const std::string& identifier,
                    const std::string& executable)
{
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "    <key>CFBundleExecutable</key>\n    <string>"
        << executable
        << "</string>\n"
           "    <key>CFBundleIdentifier</key>\n    <string>"
        << identifier << "</string>\n</dict>\n</plist>\n";
}

void replaceFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    const fs::path partial = path.parent_path() / ("." + path.filename().string() + ".partial");
    std::ofstream(partial, std::ios::binary) << text;
    fs::rename(partial, path);
}

pid_t spawnProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, int outputFd)
{
    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    std::vector<char*> variables;
    for (const auto& variable : environment)
        variables.push_back(const_cast<char*>(variable.c_str()));
    variables.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        throw systemError("can't open /dev/null");
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        // A test that dies (a crash, its timeout) takes its processes with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(outputFd >= 0 ? outputFd : devNull, STDOUT_FILENO);
        ::dup2(outputFd >= 0 ? outputFd : devNull, STDERR_FILENO);
        ::execve(arguments[0], arguments.data(), variables.data());
        ::_exit(127);
    }
    ::close(devNull);
    if (pid < 0)
        throw systemError("can't fork");
    return pid;
}

int runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               Deadline deadline, std::string& output)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw systemError("can't make a pipe");
    const pid_t pid = spawnProcess(argv, environment, fds[1]);
    ::close(fds[1]);
    std::optional<int> status;
    char buffer[4096];
    for (;;) {
        pollfd readable{fds[0], POLLIN, 0};
        if (::poll(&readable, 1, 20) > 0) {
            const ssize_t count = ::read(fds[0], buffer, sizeof buffer);
            if (count > 0) {
                output.append(buffer, size_t(count));
                continue;
            }
        }
        reapEndedChildren();
        if (const auto ended = endedChildren().find(pid); ended != endedChildren().end()) {
            status = ended->second;
            break;
        }
        if (SteadyClock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            awaitExitStatus(pid, secondsFromNow(5));
            break;
        }
    }
    // The output the program left in the pipe after its last poll.
    for (ssize_t count; (count = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, size_t(count));
    ::close(fds[0]);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

void becomeSubreaper()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void reapEndedChildren()
{
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;)
        endedChildren()[pid] = status;
}

std::optional<int> awaitExitStatus(pid_t pid, Deadline deadline)
{
    for (;;) {
        reapEndedChildren();
        if (const auto ended = endedChildren().find(pid); ended != endedChildren().end())
            return ended->second;
        if (SteadyClock::now() >= deadline)
            return std::nullopt;
        pause10ms();
    }
}

std::vector<pid_t> processesRunningFrom(const fs::path& folder)
{
    const std::string prefix = folder.string() + "/";
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (!isNumber(name))
            continue;
        // Unreadable for processes that are gone or are zombies: neither runs anything.
        std::error_code unreadable;
        const fs::path executable = fs::read_symlink(entry.path() / "exe", unreadable);
        if (!unreadable && executable.string().starts_with(prefix))
            found.push_back(pid_t(std::stol(name)));
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<pid_t> instancesOf(const fs::path& bundle)
{
    return processesRunningFrom(bundle / "Contents" / "MacOS");
}

std::vector<pid_t> awaitInstanceCount(const fs::path& bundle, size_t count, Deadline deadline)
{
    for (;;) {
        reapEndedChildren();
        auto instances = instancesOf(bundle);
        if (instances.size() == count || SteadyClock::now() >= deadline)
            return instances;
        pause10ms();
    }
}

void killProcessesRunningFrom(const fs::path& folder, Deadline deadline)
{
    for (;;) {
        reapEndedChildren();
        const auto running = processesRunningFrom(folder);
        if (running.empty() || SteadyClock::now() >= deadline)
            return;
        for (const pid_t pid : running)
            ::kill(pid, SIGKILL);
        pause10ms();
    }
}

AgentProcess::AgentProcess(const fs::path& executable, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw systemError("can't make a pipe");
    std::vector<std::string> argv{executable.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = spawnProcess(argv, environment, fds[1]);
    ::close(fds[1]);
    readFd_ = fds[0];
}

AgentProcess::~AgentProcess()
{
    kill();
    ::close(readFd_);
}

void AgentProcess::kill()
{
    if (killed_)
        return;
    killed_ = true;
    ::kill(pid_, SIGKILL);
    awaitExitStatus(pid_, secondsFromNow(5));
}

LogLine AgentProcess::nextMessage(Deadline deadline)
{
    while (unread_.empty()) {
        if (!readMore(deadline)) {
            LogLine none;
            none.message = ended_ ? "(the agent's log ended)"
                                  : "(no message from the agent before the deadline)";
            return none;
        }
    }
    LogLine next = unread_.front();
    unread_.pop_front();
    return next;
}

bool AgentProcess::readMore(Deadline deadline)
{
    char buffer[4096];
    while (!ended_) {
        // Short polls, so that instances that end meanwhile are reaped promptly.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0)
            return false;
        pollfd readable{readFd_, POLLIN, 0};
        const int ready = ::poll(&readable, 1, int(std::min<long>(left.count(), 50)));
        reapEndedChildren();
        if (ready <= 0)
            continue;
        const ssize_t count = ::read(readFd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            ended_ = true;
            break;
        }
        pending_.append(buffer, size_t(count));
        bool gotMessage = false;
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            transcript_.push_back(line);
            if (auto parsed = parseAgentLine(line)) {
                unread_.push_back(*parsed);
                gotMessage = true;
            } else if (line.find("DrovixRescue: ") != std::string::npos) {
                malformed_.push_back(line);
            }
        }
        if (gotMessage)
            return true;
    }
    return false;
}

bool machineHasDrovix()
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/Applications", error)) {
        std::ostringstream plist;
        plist << std::ifstream(entry.path() / "Contents" / "Info.plist").rdbuf();
        if (plist.str().find(std::string(mainAppBundleIdentifier)) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace drovix::e2e
