// The agent bundle's Info.plist and entitlements as the build writes them from their templates:
// they must parse, and name the bundle and the container as the agent's code does.
#include "Identifiers.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace drovix {
namespace {

using Plist = std::unique_ptr<void, decltype(&plist_free)>;

Plist load(const std::string& name)
{
    std::ifstream file(std::string(DROVIX_BUNDLE_FILES_DIR) + "/" + name, std::ios::binary);
    const std::string xml{std::istreambuf_iterator<char>(file), {}};
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    return Plist(root, plist_free);
}

// The node's string, or "?" when it holds none.
std::string text(plist_t node)
{
    return plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, nullptr) : "?";
}

TEST(BundleFilesTest, DescribeABackgroundAgentEntitledToTheCommandContainerOnly)
{
    const Plist info = load("Info.plist");
    EXPECT_EQ(text(plist_dict_get_item(info.get(), "CFBundleIdentifier")),
              std::string(mainAppBundleIdentifier) + ".Rescue");
    EXPECT_TRUE(plist_bool_val_is_true(plist_dict_get_item(info.get(), "LSBackgroundOnly")));
    EXPECT_TRUE(plist_bool_val_is_true(plist_dict_get_item(info.get(), "LSAppNapIsDisabled")));

    const Plist entitlements = load("DrovixRescue.entitlements");
    const auto onlyItem = [&](const char* key) {
        plist_t list = plist_dict_get_item(entitlements.get(), key);
        return plist_array_get_size(list) == 1 ? text(plist_array_get_item(list, 0)) : "?";
    };
    EXPECT_EQ(onlyItem("com.apple.developer.icloud-container-identifiers"),
              commandContainerIdentifier);
    EXPECT_EQ(onlyItem("com.apple.developer.icloud-services"), "CloudKit");
    EXPECT_EQ(text(plist_dict_get_item(entitlements.get(),
                                       "com.apple.developer.icloud-container-environment")),
              "Production");
    // No other: a sandbox, for one, would keep a restart from asking Drovix to quit.
    EXPECT_EQ(plist_dict_get_size(entitlements.get()), 3u);
}

} // namespace
} // namespace drovix
