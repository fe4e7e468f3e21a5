// The path rules of application bundles: where a bundle's executable lies, what its directory is,
// and what marks the kernel adds to it. Pure text, no filesystem access.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// The kernel's link to an executable that was replaced on disk ends in " (deleted)"; this is
// the path without that mark.
std::string_view withoutDeletedMark(std::string_view executableLink);

// The bundle B when the executable lies directly in B/Contents/MacOS/, otherwise absent.
std::optional<std::string> bundleOfExecutable(std::string_view executablePath);

// The bundle holding the executable, or its folder when it lies in no bundle.
std::string bundleOrFolderOfExecutable(std::string_view executablePath);

// True for a name that stays inside its folder: non-empty, no '/', not "." or "..".
bool isPlainFileName(std::string_view name);

} // namespace drovix
