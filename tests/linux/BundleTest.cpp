// Application bundles: path rules, Info.plist reading (XML, binary, hostile), the cache, the
// agent's own built bundle, and finding an installed application by identifier.
#include "Identifiers.h"
#include "LinuxTestSupport.h"
#include "platform/linux/BundleInfo.h"
#include "platform/PathText.h"
#include "platform/linux/BundlePaths.h"
#include "platform/linux/AppWorkspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace drovix {
namespace {

using testing::TempFolder;

TEST(BundlePaths, DeletingTheLastComponentIsLexical)
{
    EXPECT_EQ("/a/b", deletingLastPathComponent("/a/b/c.app"));
    EXPECT_EQ("/a", deletingLastPathComponent("/a/b/"));
    EXPECT_EQ("/a", deletingLastPathComponent("/a//b//"));
    EXPECT_EQ("/", deletingLastPathComponent("/a"));
    EXPECT_EQ("/", deletingLastPathComponent("/"));
    EXPECT_EQ("/", deletingLastPathComponent("//"));
    EXPECT_EQ("a", deletingLastPathComponent("a/b"));
    EXPECT_EQ("", deletingLastPathComponent("a"));
    EXPECT_EQ("", deletingLastPathComponent(""));

    // Installed as expected, the agent's bundle lies four levels inside the main application's.
    std::string path = "/Applications/Drovix.app/Contents/Library/LoginItems/DrovixRescue.app";
    for (int level = 0; level < 4; ++level)
        path = deletingLastPathComponent(path);
    EXPECT_EQ("/Applications/Drovix.app", path);
}

TEST(BundlePaths, AnExecutableBelongsToTheBundleItLiesDirectlyIn)
{
    EXPECT_EQ("/x/A.app", bundleOfExecutable("/x/A.app/Contents/MacOS/A"));
    EXPECT_EQ("/x/A", bundleOfExecutable("/x/A/Contents/MacOS/tool"));
    EXPECT_FALSE(bundleOfExecutable("/x/A.app/Contents/MacOS/sub/A"));
    EXPECT_FALSE(bundleOfExecutable("/x/A.app/Contents/A"));
    EXPECT_FALSE(bundleOfExecutable("/x/A.app/Contents/MacOS/"));
    EXPECT_FALSE(bundleOfExecutable("/x/A.app/Contents/MacOS/.."));
    EXPECT_FALSE(bundleOfExecutable("/Contents/MacOS/A"));
    EXPECT_FALSE(bundleOfExecutable("/usr/bin/env"));

    EXPECT_EQ("/x/A.app", bundleOrFolderOfExecutable("/x/A.app/Contents/MacOS/A"));
    EXPECT_EQ("/usr/bin", bundleOrFolderOfExecutable("/usr/bin/env"));

    EXPECT_EQ("/x/A.app/Contents/MacOS/A",
              withoutDeletedMark("/x/A.app/Contents/MacOS/A (deleted)"));
    EXPECT_EQ("/x/A", withoutDeletedMark("/x/A"));

    EXPECT_TRUE(isPlainFileName("Drovix"));
    EXPECT_TRUE(isPlainFileName("..x"));
    for (const char* name : {"", ".", "..", "a/b", "/a", "../a"})
        EXPECT_FALSE(isPlainFileName(name)) << name;
}

// The same dictionary as binary property list, through libplist.
std::string asBinary(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes, length);
    std::free(bytes);
    plist_free(root);
    return binary;
}

// A binary property list of arrays only, each referring to the objects listed for it.
std::string arraysAsBinary(const std::vector<std::vector<std::uint32_t>>& arrays)
{
    const auto bigEndian = [](std::string& out, std::uint64_t value, int width) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            out += static_cast<char>((value >> shift) & 0xFF);
    };
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& refs : arrays) {
        offsets.push_back(out.size());
        if (refs.size() < 15) {
            out += static_cast<char>(0xA0 | refs.size());
        } else {
            out += static_cast<char>(0xAF);
            out += static_cast<char>(0x12);
            bigEndian(out, refs.size(), 4);
        }
        for (const std::uint32_t ref : refs)
            bigEndian(out, ref, 4);
    }
    const std::uint64_t table = out.size();
    for (const std::uint64_t offset : offsets)
        bigEndian(out, offset, 4);
    out += std::string(6, '\0');
    out += static_cast<char>(4);
    out += static_cast<char>(4);
    bigEndian(out, arrays.size(), 8);
    bigEndian(out, 0, 8);
    bigEndian(out, table, 8);
    return out;
}

TEST(BundleInfo, ReadsXmlAndBinaryInfoPlists)
{
    const std::string xml = testing::infoPlist("com.example.App", "App");
    for (const std::string& bytes : {xml, asBinary(xml)}) {
        const auto info = parseBundleInfo(bytes);
        ASSERT_TRUE(info.ok()) << info.error();
        EXPECT_EQ("com.example.App", info->identifier);
        EXPECT_EQ("App", info->executable);
    }

    const auto neither = parseBundleInfo(testing::infoPlist(std::nullopt, std::nullopt));
    ASSERT_TRUE(neither.ok());
    EXPECT_FALSE(neither->identifier || neither->executable);

    const auto notStrings = parseBundleInfo(
        "<plist><dict><key>CFBundleIdentifier</key><integer>7</integer>"
        "<key>CFBundleExecutable</key><array><string>App</string></array></dict></plist>");
    ASSERT_TRUE(notStrings.ok());
    EXPECT_FALSE(notStrings->identifier || notStrings->executable);

    // libplist would assert on a string with a NUL in it; such a name names nothing.
    const auto withNul = parseBundleInfo(std::string(
        "<plist><dict><key>CFBundleIdentifier</key><string>a\0b</string></dict></plist>", 77));
    ASSERT_TRUE(withNul.ok()) << withNul.error();
    EXPECT_FALSE(withNul->identifier);

    // Nesting up to the limit is fine.
    std::string arrays;
    for (int i = 0; i < 60; ++i)
        arrays += "<array>";
    for (int i = 0; i < 60; ++i)
        arrays += "</array>";
    const auto nested = parseBundleInfo(
        "<plist><dict><key>CFBundleIdentifier</key><string>a.b</string><key>x</key>" + arrays +
        "</dict></plist>");
    ASSERT_TRUE(nested.ok()) << nested.error();
    EXPECT_EQ("a.b", nested->identifier);
}

TEST(BundleInfo, RefusesGarbageAndHostileFilesQuickly)
{
    const std::string xml = testing::infoPlist("com.example.App", "App");
    const std::string binary = asBinary(xml);
    EXPECT_EQ("not a property list", parseBundleInfo("").error());
    EXPECT_EQ("not a property list", parseBundleInfo("hello, world").error());
    // Formats other than XML and binary are not read, however deep.
    EXPECT_EQ("not a property list", parseBundleInfo(std::string(100'000, '[')).error());
    EXPECT_EQ("not a property list", parseBundleInfo("{CFBundleIdentifier = a.b;}").error());
    EXPECT_EQ("not a property list", parseBundleInfo(xml.substr(0, xml.size() / 2)).error());
    EXPECT_EQ("not a property list", parseBundleInfo(binary.substr(0, binary.size() - 5)).error());
    EXPECT_EQ("not a property list", parseBundleInfo("bplist00").error());
    EXPECT_EQ("not a dictionary",
              parseBundleInfo("<plist><array><string>a</string></array></plist>").error());
    EXPECT_EQ("larger than 1 MiB",
              parseBundleInfo(xml + std::string(maxInfoPlistSize, ' ')).error());

    const auto start = std::chrono::steady_clock::now();
    std::string deepXml = "<plist>";
    for (int i = 0; i < 100'000; ++i)
        deepXml += "<array>";
    EXPECT_EQ("nested more than 64 levels deep", parseBundleInfo(deepXml).error());

    // A chain of 100 000 arrays, each holding the next, under 1 MiB.
    std::vector<std::vector<std::uint32_t>> chain(100'000);
    for (std::uint32_t i = 0; i + 1 < chain.size(); ++i)
        chain[i] = {i + 1};
    const std::string deepBinary = arraysAsBinary(chain);
    ASSERT_LT(deepBinary.size(), maxInfoPlistSize);
    EXPECT_EQ("nested more than 64 levels deep", parseBundleInfo(deepBinary).error());

    // Forty arrays that each refer twice to the next unfold into 2^40 objects.
    std::vector<std::vector<std::uint32_t>> doubling(40);
    for (std::uint32_t i = 0; i + 1 < doubling.size(); ++i)
        doubling[i] = {i + 1, i + 1};
    EXPECT_EQ("has too many objects", parseBundleInfo(arraysAsBinary(doubling)).error());

    // One wide array of 200 000 references to a single empty array.
    std::vector<std::vector<std::uint32_t>> wide{std::vector<std::uint32_t>(200'000, 1), {}};
    EXPECT_EQ("has too many objects", parseBundleInfo(arraysAsBinary(wide)).error());

    EXPECT_EQ("not a property list", parseBundleInfo(arraysAsBinary({{0}})).error());
    EXPECT_EQ("not a property list", parseBundleInfo(arraysAsBinary({{1}, {0}})).error());
    EXPECT_EQ("not a property list", parseBundleInfo(arraysAsBinary({{7}})).error());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

void setModified(const std::string& path, timespec modified)
{
    const timespec times[2] = {modified, modified};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

TEST(BundleInfoCache, ReadsAnInfoPlistAgainOnlyWhenItsFileChanged)
{
    TempFolder folder;
    const std::string bundle = testing::makeBundle(folder.path(), "A.app", "a.one", "A", false);
    const std::string plist = bundle + "/Contents/Info.plist";
    BundleInfoCache cache;
    EXPECT_EQ("a.one", cache.infoForBundle(bundle)->identifier);

    struct stat before {};
    ASSERT_EQ(0, ::stat(plist.c_str(), &before));
    // Same inode, same size, modification time put back: taken for unchanged.
    testing::writeFile(plist, testing::infoPlist("a.two", "A"));
    setModified(plist, before.st_mtim);
    EXPECT_EQ("a.one", cache.infoForBundle(bundle)->identifier);

    setModified(plist, timespec{before.st_mtim.tv_sec + 10, 0});
    EXPECT_EQ("a.two", cache.infoForBundle(bundle)->identifier);

    testing::writeFile(plist, "garbage");
    EXPECT_EQ("not a property list", cache.infoForBundle(bundle).error());
    ASSERT_EQ(0, ::unlink(plist.c_str()));
    EXPECT_EQ("No such file or directory", cache.infoForBundle(bundle).error());
    EXPECT_EQ("No such file or directory", cache.infoForBundle(folder.path() + "/none").error());
}

TEST(AgentBundle, IsBuiltAsABundleNamedAfterTheMainApplication)
{
    const std::string bundle = DROVIX_TEST_AGENT_BUNDLE;
    BundleInfoCache cache;
    const auto info = cache.infoForBundle(bundle);
    ASSERT_TRUE(info.ok()) << info.error();
    EXPECT_EQ(std::string(mainAppBundleIdentifier) + ".Rescue", info->identifier);
    ASSERT_EQ("DrovixRescue", info->executable);
    const std::string executable = bundle + "/Contents/MacOS/DrovixRescue";
    EXPECT_EQ(0, ::access(executable.c_str(), X_OK));
    EXPECT_EQ(bundle, bundleOrFolderOfExecutable(executable));
}

TEST(LinuxWorkspace, FindsItsOwnFolderAndWhatExists)
{
    LinuxWorkspace workspace;
    const posix::Result<std::string> self = posix::readLink("/proc/self/exe");
    ASSERT_TRUE(self.ok());
    // The test runner lies in no bundle: its folder stands in.
    EXPECT_EQ(deletingLastPathComponent(*self), workspace.ownBundleUrl().path);
    EXPECT_EQ("/a", workspace.deletingLastPathComponent(AppUrl{"/a/b.app/"}).path);
    EXPECT_TRUE(workspace.fileExists(*self));
    EXPECT_TRUE(workspace.fileExists("/"));
    EXPECT_FALSE(workspace.fileExists(*self + "/nothing"));
}

// Points HOME elsewhere for the life of the object.
class HomeOverride {
public:
    explicit HomeOverride(const char* home)
    {
        if (const char* old = ::getenv("HOME"))
            old_ = old;
        home ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
    }
    ~HomeOverride() { old_ ? ::setenv("HOME", old_->c_str(), 1) : ::unsetenv("HOME"); }

private:
    std::optional<std::string> old_;
};

TEST(LinuxWorkspace, FindsTheFirstInstalledApplicationByNameWithTheIdentifier)
{
    TempFolder home;
    const std::string applications = home.path() + "/Applications";
    testing::makeFolders(applications);
    const std::string wanted = "org.example.drovix-test.find";
    testing::makeBundle(applications, "B.app", wanted, "B", false);
    testing::makeBundle(applications, "A.app", wanted, "A", false);
    testing::makeBundle(applications, "C.app", wanted + ".other", "C", false);
    testing::makeBundle(applications, "Plain", wanted, "P", false);
    testing::makeFolders(applications + "/0.app");
    testing::writeFile(applications + "/1.app", "not a folder");

    LinuxWorkspace workspace;
    {
        const HomeOverride override(home.path().c_str());
        EXPECT_EQ(AppUrl{applications + "/A.app"}, workspace.urlForApplication(wanted));
        EXPECT_EQ(AppUrl{applications + "/C.app"}, workspace.urlForApplication(wanted + ".other"));
        EXPECT_FALSE(workspace.urlForApplication("org.example.drovix-test.none"));
    }
    {
        const HomeOverride trailingSlash((home.path() + "/").c_str());
        EXPECT_EQ(AppUrl{applications + "/A.app"}, workspace.urlForApplication(wanted));
    }
    const HomeOverride noHome(nullptr);
    EXPECT_FALSE(workspace.urlForApplication(wanted));
}

} // namespace
} // namespace drovix
