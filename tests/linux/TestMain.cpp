// The test runner, which doubles as the sample application that the process tests start.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (const std::optional<int> status = drovix::testing::runAsChildIfAsked(argv[0]))
        return *status;
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests re-run this executable rather than fork a process that has threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
