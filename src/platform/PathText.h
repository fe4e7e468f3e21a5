// The lexical path rule of file URLs, for platforms whose URLs are plain path texts.
#pragma once

#include <string>
#include <string_view>

namespace drovix {

// The path without its last component, as Foundation removes one from a file URL:
// "/a/b/c.app" -> "/a/b", "/a/b/" -> "/a", "/" -> "/", "a" -> "".
inline std::string deletingLastPathComponent(std::string_view path)
{
    const auto withoutTrailingSlashes = [](std::string_view text) {
        while (text.size() > 1 && text.back() == '/')
            text.remove_suffix(1);
        return text;
    };
    path = withoutTrailingSlashes(path);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    if (slash == 0)
        return "/";
    return std::string(withoutTrailingSlashes(path.substr(0, slash)));
}

} // namespace drovix
