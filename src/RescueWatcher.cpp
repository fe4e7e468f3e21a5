// The watcher: look cadence, evaluation of the command record, and main-application control.
#include "RescueWatcher.h"

#include "Identifiers.h"
#include "LogText.h"
#include "platform/TextEquality.h"

#include <cmath>
#include <string>
#include <utility>

namespace drovix {

namespace {

bool optionalTextEquals(const std::optional<std::string>& stored, std::string_view text)
{
    return stored && textsEqual(*stored, text);
}

} // namespace

void logMessage(LogSink& sink, std::string_view text)
{
    std::string message(logPrefix);
    message += text;
    sink.log(escapedForLog(message));
}

RescueWatcher::RescueWatcher(Platform platform)
    : platform_(std::move(platform)), lastAction(platform_.clock.distantPast()),
      lastLookWhileRunning(platform_.clock.distantPast())
{
}

void RescueWatcher::log(std::string_view text)
{
    logMessage(platform_.logSink, text);
}

bool RescueWatcher::mainAppRuns()
{
    return !platform_.workspace.runningApplications(mainAppBundleIdentifier).empty();
}

void RescueWatcher::start()
{
    std::weak_ptr<RescueWatcher> weakSelf = weak_from_this();
    MainThread& mainThread = platform_.mainThread;
    timer = mainThread.scheduleRepeating(lookInterval, [weakSelf, &mainThread] {
        mainThread.post([weakSelf] {
            if (auto self = weakSelf.lock())
                self->look();
        });
    });
    look();
}

void RescueWatcher::look()
{
    Clock& clock = platform_.clock;
    if (mainAppRuns()) {
        if (!(clock.now() - lastLookWhileRunning > runningLookInterval))
            return;
        lastLookWhileRunning = clock.now();
    }
    if (!(clock.now() - lastAction > actionCooldown))
        return;

    if (!container)
        container = platform_.openContainer(commandContainerIdentifier);
    std::weak_ptr<RescueWatcher> weakSelf = weak_from_this();
    MainThread& mainThread = platform_.mainThread;
    container->fetchCommandRecord([weakSelf, &mainThread](std::optional<CommandRecord> record,
                                                          std::optional<std::string> error) {
        mainThread.post([weakSelf, record = std::move(record), error = std::move(error)] {
            if (auto self = weakSelf.lock())
                self->handleFetchResult(record, error);
        });
    });
}

void RescueWatcher::handleFetchResult(std::optional<CommandRecord> record,
                                      std::optional<std::string> error)
{
    if (record)
        considerRecord(*record);
    else if (error)
        skip("can't read the command record: " + *error);
    else
        skip("no command record in this container yet");
}

void RescueWatcher::skip(const std::string& reason)
{
    if (optionalTextEquals(lastSkip, reason))
        return;
    lastSkip = reason;
    log("standing by, " + reason);
}

void RescueWatcher::considerRecord(const CommandRecord& record)
{
    if (!record.kind || !record.nonce) {
        skip("the command record has no kind or nonce");
        return;
    }
    const std::string& kind = *record.kind;
    const std::string& nonce = *record.nonce;

    const bool isStart = textsEqual(kind, "start");
    const bool isRestart = textsEqual(kind, "restart");
    if (!isStart && !isRestart) {
        skip("latest command is " + kind + ", which is Drovix's to answer, not ours");
        return;
    }
    if (optionalTextEquals(lastNonce, nonce)) {
        skip("already acted on command " + nonce);
        return;
    }
    if (!record.issuedAt) {
        skip("command " + nonce + " carries no readable issuedAt, refusing it");
        return;
    }

    const double age = platform_.clock.now() - *record.issuedAt;
    const std::optional<std::string> ageText = wholeSecondsText(age);
    const std::string window = *wholeSecondsText(commandWindow);
    // Written so that an age that is not a number is refused too.
    if (!(std::fabs(age) <= commandWindow) || !ageText) {
        if (ageText)
            skip("command " + kind + " is " + *ageText + "s old, outside the " + window +
                 "s window");
        else
            skip("command " + kind + " has an age beyond measure, outside the " + window +
                 "s window");
        return;
    }

    lastNonce = nonce;
    lastAction = platform_.clock.now();
    lastSkip.reset();
    log("acting on " + kind + " (" + *ageText + "s old)");
    if (isRestart && mainAppRuns())
        restartMainApp();
    else
        launchMainApp();
}

std::optional<AppUrl> RescueWatcher::locateMainApp()
{
    AppWorkspace& workspace = platform_.workspace;
    if (auto url = workspace.urlForApplication(mainAppBundleIdentifier))
        return url;

    // The agent is installed four levels inside the main application's bundle.
    AppUrl candidate = workspace.ownBundleUrl();
    for (int level = 0; level < 4; ++level)
        candidate = workspace.deletingLastPathComponent(candidate);
    if (workspace.fileExists(candidate.path))
        return candidate;
    return std::nullopt;
}

void RescueWatcher::launchMainApp()
{
    const std::optional<AppUrl> url = locateMainApp();
    if (!url) {
        log("asked to start Drovix but couldn't find it");
        return;
    }
    // The completion runs on a platform thread: it only logs and touches no watcher state.
    LogSink& sink = platform_.logSink;
    platform_.workspace.openApplication(
        *url, OpenConfiguration{.activates = true}, [&sink](std::optional<std::string> error) {
            if (error)
                logMessage(sink, "couldn't start Drovix — " + *error);
            else
                logMessage(sink, "started Drovix");
        });
}

void RescueWatcher::restartMainApp()
{
    auto instances = platform_.workspace.runningApplications(mainAppBundleIdentifier);
    log("restarting Drovix (" + std::to_string(instances.size()) + " running)");
    for (auto& instance : instances)
        instance->terminate();
    restartSequence(platform_.mainThread, shared_from_this());
}

MainThreadTask RescueWatcher::restartSequence(MainThread& mainThread,
                                              std::shared_ptr<RescueWatcher> self)
{
    // A cancelled wait counts as a full one.
    int waits = 0;
    for (;;) {
        co_await SleepFor(mainThread, 1.0);
        if (self->mainAppRuns() && waits != quitWaitLimit - 1)
            ++waits;
        else
            break;
    }
    if (!self->mainAppRuns()) {
        self->launchMainApp();
        co_return;
    }
    self->log("Drovix wouldn't quit, forcing it");
    for (auto& instance : self->platform_.workspace.runningApplications(mainAppBundleIdentifier))
        instance->forceTerminate();
    co_await SleepFor(mainThread, 1.0);
    self->launchMainApp();
}

} // namespace drovix
