// The path rules of application bundles: where a bundle's executable lies and what its directory
// is. Pure text, no filesystem access.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// The bundle B when the executable lies directly in B/Contents/MacOS/, otherwise absent. The
// " (deleted)" the kernel adds to the link of an executable replaced on disk changes nothing:
// "B/Contents/MacOS/name (deleted)" still lies in B.
std::optional<std::string> bundleOfExecutable(std::string_view executablePath);

// The bundle holding the executable, or its folder when it lies in no bundle.
std::string bundleOrFolderOfExecutable(std::string_view executablePath);

// True for a name that stays inside its folder: non-empty, no '/', not "." or "..".
bool isPlainFileName(std::string_view name);

} // namespace drovix
