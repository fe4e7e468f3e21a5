// The path rules of application bundles.
#include "platform/linux/BundlePaths.h"

#include "platform/PathText.h"

namespace drovix {

std::optional<std::string> bundleOfExecutable(std::string_view executablePath)
{
    constexpr std::string_view executableFolder = "/Contents/MacOS/";
    const std::size_t slash = executablePath.rfind('/');
    if (slash == std::string_view::npos || !isPlainFileName(executablePath.substr(slash + 1)))
        return std::nullopt;
    const std::string_view folder = executablePath.substr(0, slash + 1);
    if (!folder.ends_with(executableFolder))
        return std::nullopt;
    const std::string_view bundle = folder.substr(0, folder.size() - executableFolder.size());
    if (bundle.empty() || bundle.ends_with('/'))
        return std::nullopt;
    return std::string(bundle);
}

std::string bundleOrFolderOfExecutable(std::string_view executablePath)
{
    if (auto bundle = bundleOfExecutable(executablePath))
        return *bundle;
    return deletingLastPathComponent(executablePath);
}

bool isPlainFileName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

} // namespace drovix
