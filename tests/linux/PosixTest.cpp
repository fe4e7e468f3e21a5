// Bounded reads of whole files, from files that report their size and from /proc files that
// report none.
#include "platform/linux/Posix.h"
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace drovix {
namespace {

using testing::TempFolder;

TEST(ReadRegularFile, ReadsWholeFilesUpToOneByteBeyondTheLimit)
{
    TempFolder folder;
    const std::string path = folder.path() + "/file";
    const auto read = [&path](const std::string& bytes, std::size_t limit) {
        testing::writeFile(path, bytes);
        const posix::Result<std::string> result = posix::readRegularFile(path, limit);
        EXPECT_TRUE(result.ok()) << result.error();
        return result.ok() ? *result : "<failed>";
    };

    EXPECT_EQ("", read("", 100));
    EXPECT_EQ("small", read("small", 100));
    const std::string large(70000, 'x');
    EXPECT_EQ(large, read(large, 100000));
    EXPECT_EQ(large, read(large, large.size()));
    // One byte beyond the limit tells the caller the file is too large, without reading it all.
    EXPECT_EQ(large.substr(0, 1001), read(large, 1000));
    EXPECT_EQ(large.substr(0, 1), read(large, 0));
}

TEST(ReadRegularFile, ReadsProcFilesThatReportNoSizeWhole)
{
    // /proc files report a size of 0; this process's memory map is several pages long.
    const posix::Result<std::string> maps = posix::readRegularFile("/proc/self/smaps", 1 << 22);
    ASSERT_TRUE(maps.ok()) << maps.error();
    EXPECT_GT(maps->size(), 4096u * 2);
    EXPECT_TRUE(maps->ends_with('\n'));
    EXPECT_NE(std::string::npos, maps->find("[stack]"));

    const posix::Result<std::string> cut = posix::readRegularFile("/proc/self/smaps", 5000);
    ASSERT_TRUE(cut.ok()) << cut.error();
    EXPECT_EQ(5001u, cut->size());
}

} // namespace
} // namespace drovix
