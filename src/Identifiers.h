// The identities fixed at build time.
#pragma once

#include <string_view>

#ifndef DROVIX_MAIN_APP_BUNDLE_IDENTIFIER
#error "DROVIX_MAIN_APP_BUNDLE_IDENTIFIER must be set by the build"
#endif

namespace drovix {

// The bundle identifier of the application the agent watches over.
inline constexpr std::string_view mainAppBundleIdentifier = DROVIX_MAIN_APP_BUNDLE_IDENTIFIER;

// The cloud container whose private database carries the command record.
inline constexpr std::string_view commandContainerIdentifier =
    "iCloud." DROVIX_MAIN_APP_BUNDLE_IDENTIFIER;

} // namespace drovix
