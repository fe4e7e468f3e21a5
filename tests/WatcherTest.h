// A watcher on the fake platform, alone for a row of a table or as the fixture of a test.
#pragma once

#include "RescueWatcher.h"
#include "fake/FakePlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace drovix::testing {

using ::testing::ElementsAre;

struct Scene : FakePlatform {
    std::shared_ptr<RescueWatcher> watcher = std::make_shared<RescueWatcher>(platform());

    // Starts the watcher and lets the first look's fetch come back.
    void start()
    {
        watcher->start();
        loop.runUntilIdle();
    }
    // A record issued age seconds before the wall clock's now.
    CommandRecord command(const std::string& kind, const std::string& nonce, double age = 0)
    {
        return CommandRecord{kind, nonce, loop.now() - age};
    }
    void consider(const std::string& kind, const std::string& nonce, double age = 0)
    {
        watcher->considerRecord(command(kind, nonce, age));
    }
};

struct WatcherTest : ::testing::Test, Scene {};

} // namespace drovix::testing
