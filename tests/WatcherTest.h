// The fixture shared by the watcher's tests: a watcher on the fake platform.
#pragma once

#include "RescueWatcher.h"
#include "fake/FakePlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace drovix::testing {

class WatcherTest : public ::testing::Test {
protected:
    FakePlatform fake;
    std::shared_ptr<RescueWatcher> watcher = std::make_shared<RescueWatcher>(fake.platform());

    WatcherTest() { fake.workspace.installedUrl = AppUrl{"/Applications/Drovix.app"}; }

    // Starts the watcher and lets the first look's fetch come back.
    void start()
    {
        watcher->start();
        fake.loop.runUntilIdle();
    }

    std::vector<std::string> lines() const { return fake.log.lines(); }
    std::vector<std::string> fetches() const { return fake.transcript.entriesWith("fetch"); }

    // A record issued age seconds before the current wall-clock time.
    CommandRecord command(const std::string& kind, const std::string& nonce, double age = 0)
    {
        return CommandRecord{kind, nonce, fake.loop.now() - age};
    }
    void storeCommand(const std::string& kind, const std::string& nonce, double age = 0)
    {
        fake.store.record = command(kind, nonce, age);
        fake.store.error.reset();
    }
};

} // namespace drovix::testing
