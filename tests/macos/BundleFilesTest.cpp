// The agent bundle's Info.plist and entitlements as the build writes them: they must parse, and
// say what the bundle is and what it may reach.
#include "Identifiers.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace drovix {
namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

// The property list in the file, or null when the file is missing or is not an XML property list
// whose root is a dictionary.
Plist loadDictionary(const std::string& name)
{
    std::ifstream file(std::string(DROVIX_BUNDLE_FILES_DIR) + "/" + name, std::ios::binary);
    const std::string xml{std::istreambuf_iterator<char>(file), {}};
    plist_t root = nullptr;
    if (!xml.empty())
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    Plist owned(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT)
        return nullptr;
    return owned;
}

std::optional<std::string> stringValue(plist_t node)
{
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string value(text ? text : "");
    std::free(text);
    return value;
}

std::optional<std::string> stringAt(const Plist& dictionary, const char* key)
{
    return stringValue(plist_dict_get_item(dictionary.get(), key));
}

std::optional<bool> boolAt(const Plist& dictionary, const char* key)
{
    plist_t node = plist_dict_get_item(dictionary.get(), key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN)
        return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

// The strings of an array, or absent when the key holds no array of strings.
std::optional<std::vector<std::string>> stringsAt(const Plist& dictionary, const char* key)
{
    plist_t node = plist_dict_get_item(dictionary.get(), key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY)
        return std::nullopt;
    std::vector<std::string> values;
    for (uint32_t index = 0; index < plist_array_get_size(node); ++index) {
        auto value = stringValue(plist_array_get_item(node, index));
        if (!value)
            return std::nullopt;
        values.push_back(*value);
    }
    return values;
}

TEST(BundleFilesTest, InfoPlistDescribesABackgroundOnlyAgent)
{
    const Plist info = loadDictionary("Info.plist");
    ASSERT_TRUE(info) << "Info.plist is not a property list dictionary";
    EXPECT_EQ(stringAt(info, "CFBundleIdentifier"),
              std::string(mainAppBundleIdentifier) + ".Rescue");
    EXPECT_EQ(stringAt(info, "CFBundleExecutable"), "DrovixRescue");
    EXPECT_EQ(stringAt(info, "CFBundlePackageType"), "APPL");
    EXPECT_EQ(boolAt(info, "LSBackgroundOnly"), true);
    EXPECT_EQ(stringAt(info, "LSMinimumSystemVersion"), "26.4");
}

TEST(BundleFilesTest, EntitlementsGrantCloudKitInTheCommandContainerOnly)
{
    const Plist entitlements = loadDictionary("DrovixRescue.entitlements");
    ASSERT_TRUE(entitlements) << "the entitlements are not a property list dictionary";
    EXPECT_EQ(stringsAt(entitlements, "com.apple.developer.icloud-container-identifiers"),
              std::vector<std::string>{std::string(commandContainerIdentifier)});
    EXPECT_EQ(stringsAt(entitlements, "com.apple.developer.icloud-services"),
              std::vector<std::string>{"CloudKit"});
    EXPECT_EQ(stringAt(entitlements, "com.apple.developer.icloud-container-environment"),
              "Production");
    // A sandboxed process cannot ask another application to quit, which a restart needs.
    EXPECT_EQ(plist_dict_get_item(entitlements.get(), "com.apple.security.app-sandbox"), nullptr);
    EXPECT_EQ(plist_dict_get_size(entitlements.get()), 3u)
        << "an entitlement beyond CloudKit's three was granted";
}

} // namespace
} // namespace drovix
